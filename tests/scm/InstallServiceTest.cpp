#include "ScmTest.h"

namespace {

const std::wstring Description = L"Запускает видимый агент Orvella в активной пользовательской сессии";

class InstallServiceTest : public ScmTest {
protected:
    // Not there yet, in a folder only administrators can change: registered all the same.
    std::wstring Executable;
    std::wstring Quoted;

    void SetUp() override
    {
        ScmTest::SetUp();
        Executable = (exeDir / "OrvellaService.exe").wstring();
        Quoted = L"\"" + Executable + L"\"";
    }

    // What every successful or partly successful installation leaves registered.
    void ExpectFullRegistration(const model::ServiceRecord& service)
    {
        EXPECT_EQ(service.displayName, L"Orvella Service");
        EXPECT_EQ(service.type, DWORD{SERVICE_WIN32_OWN_PROCESS});
        EXPECT_EQ(service.startType, DWORD{SERVICE_AUTO_START});
        EXPECT_EQ(service.errorControl, DWORD{SERVICE_ERROR_NORMAL});
        EXPECT_EQ(service.binaryPath, Quoted);
        EXPECT_FALSE(service.loadOrderGroup.has_value());
        EXPECT_FALSE(service.dependencies.has_value());
        EXPECT_FALSE(service.account.has_value());
        EXPECT_FALSE(service.passwordGiven);
        EXPECT_EQ(service.description, Description);
        ASSERT_TRUE(service.failureActions.has_value());
        EXPECT_EQ(service.failureActions->resetPeriod, 86400u);
        EXPECT_FALSE(service.failureActions->rebootMsg.has_value());
        EXPECT_FALSE(service.failureActions->command.has_value());
        std::vector<std::pair<int, DWORD>> actions;
        for (const SC_ACTION& action : service.failureActions->actions)
            actions.push_back({action.Type, action.Delay});
        EXPECT_EQ(
            actions,
            (std::vector<std::pair<int, DWORD>>{{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 15000}}));
    }

    static Args ArgsFrom(const model::Call& call, size_t from)
    {
        return {call.args.begin() + static_cast<std::ptrdiff_t>(std::min(from, call.args.size())),
                call.args.end()};
    }

    // A registration from an earlier version, differing in everything the install writes.
    static model::ServiceRecord* InstallOlder(DWORD state)
    {
        model::ServiceRecord* service = Install(state);
        service->displayName = L"Old name";
        service->binaryPath = L"C:\\Old\\OrvellaService.exe";
        service->description = L"old";
        return service;
    }
};

TEST_F(InstallServiceTest, FirstInstallRegistersEveryParameterStartsAndWaitsUntilRunning)
{
    EXPECT_EQ(InstallService(Executable), Ok);
    EXPECT_EQ(model::Now(), t0 + 200);

    ASSERT_NE(Registered(), nullptr);
    ExpectFullRegistration(*Registered());
    EXPECT_EQ(Registered()->state, DWORD{SERVICE_RUNNING});

    const auto manager = Only("OpenSCManagerW");
    EXPECT_EQ(manager.args, (Args{0, 0, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE}));
    const auto open = Only("OpenServiceW");
    EXPECT_EQ(open.arg(2), 0x16u);
    EXPECT_EQ(open.error, DoesNotExist);

    const auto create = Only("CreateServiceW");
    EXPECT_EQ(create.arg(0), manager.result);
    EXPECT_EQ(create.text(0), L"OrvellaService");
    EXPECT_EQ(create.text(1), L"Orvella Service");
    EXPECT_EQ(create.text(2), Quoted);
    // Access, type, start, error control; the path (its text above); then group, tag,
    // dependencies, account, password.
    Args args = ArgsFrom(create, 3);
    args.erase(args.begin() + 4);
    EXPECT_EQ(args, (Args{0x16, 0x10, 2, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(model::CountOf("ChangeServiceConfigW"), 0u);

    const auto config = model::CallsTo("ChangeServiceConfig2W");
    ASSERT_EQ(config.size(), 2u);
    EXPECT_EQ(config[0].arg(1), uintptr_t{SERVICE_CONFIG_DESCRIPTION});
    EXPECT_EQ(config[0].text(0), Description);
    EXPECT_EQ(config[1].arg(1), uintptr_t{SERVICE_CONFIG_FAILURE_ACTIONS});
    EXPECT_TRUE(config[1].isNull(0) && config[1].isNull(1));

    const auto start = Only("StartServiceW");
    EXPECT_EQ(start.args, (Args{create.result, 0, 0}));
    EXPECT_EQ(TimesOf("QueryServiceStatusEx"), EveryPoll(t0, t0 + 200));
}

TEST_F(InstallServiceTest, AFolderWithBlanksIsRegisteredInQuotesAndAPathFromNoRootNotAtAll)
{
    exeDir = root / "Program Files" / "Orvella";
    std::filesystem::create_directories(exeDir);
    const std::wstring blanks = (exeDir / "OrvellaService.exe").wstring();
    EXPECT_EQ(InstallService(blanks), Ok);
    EXPECT_EQ(Registered()->binaryPath, L"\"" + blanks + L"\"");

    // The service manager would look such a name up in whatever folder it finds current.
    for (const std::wstring relative : {L"", L"OrvellaService.exe", L"C:OrvellaService.exe"}) {
        EXPECT_EQ(InstallService(relative), DWORD{ERROR_BAD_PATHNAME});
        EXPECT_EQ(Registered()->binaryPath, L"\"" + blanks + L"\"");
    }
    // Nor one whose full form could not be had, even where the lookup set no error.
    model::FailNext("GetFullPathNameW", 0);
    EXPECT_EQ(InstallService(blanks), DWORD{ERROR_BAD_PATHNAME});
}

// LocalSystem runs the file at every start: one that someone else could change, or put a
// DLL beside, registers nothing and touches nothing, not even the data folder.
TEST_F(InstallServiceTest, AnExecutableSomeoneElseCouldChangeIsRefusedBeforeAnythingElse)
{
    model::SetSecurity(exeDir.wstring(), L"D:(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)");
    EXPECT_EQ(InstallService(Executable), AccessDenied);
    EXPECT_EQ(Registered(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dataRoot / "Orvella"));

    model::ServiceRecord* older = InstallOlder(SERVICE_RUNNING);
    EXPECT_EQ(InstallService(Executable), AccessDenied);
    EXPECT_EQ(older->binaryPath, L"C:\\Old\\OrvellaService.exe");
    EXPECT_EQ(model::CountOf("ChangeServiceConfigW"), 0u);
}

TEST_F(InstallServiceTest, ReinstallOverARunningServiceRewritesItInPlaceWithoutRestarting)
{
    model::ServiceRecord* service = InstallOlder(SERVICE_RUNNING);
    service->startType = SERVICE_DEMAND_START;
    const DWORD pid = service->pid;

    EXPECT_EQ(InstallService(Executable), Ok);

    ExpectFullRegistration(*service);
    EXPECT_EQ(model::CountOf("CreateServiceW"), 0u);
    const auto change = Only("ChangeServiceConfigW");
    const uintptr_t same = SERVICE_NO_CHANGE;
    // Type, start, error control; the path and display name (their texts below) left out.
    Args args = ArgsFrom(change, 1);
    args.erase(args.begin() + 9);
    args.erase(args.begin() + 3);
    EXPECT_EQ(args, (Args{same, SERVICE_AUTO_START, same, 0, 0, 0, 0, 0}));
    EXPECT_EQ(change.text(0), Quoted);
    EXPECT_EQ(change.text(5), L"Orvella Service");
    EXPECT_EQ(Only("StartServiceW").error, AlreadyRunning);
    EXPECT_EQ(model::CountOf("QueryServiceStatusEx"), 1u);
    EXPECT_EQ(service->pid, pid);
    EXPECT_TRUE(Alive(pid));
}

TEST_F(InstallServiceTest, ReinstallOfAStoppedDisabledServiceMakesItAutomaticAndStartsIt)
{
    model::ServiceRecord* service = InstallOlder(SERVICE_STOPPED);
    service->startType = SERVICE_DISABLED;

    EXPECT_EQ(InstallService(Executable), Ok);

    ExpectFullRegistration(*service);
    EXPECT_EQ(service->state, DWORD{SERVICE_RUNNING});
}

struct StartRow {
    const char* name;
    void (*arrange)(model::ServiceRecord&);
    DWORD expected;
    ULONGLONG returnsAfter;
};

class InstallStartTest : public InstallServiceTest, public ::testing::WithParamInterface<StartRow> {};

TEST_P(InstallStartTest, ServiceThatDoesNotReachRunningFailsTheInstallButStaysRegistered)
{
    model::ServiceRecord* service = InstallOlder(SERVICE_STOPPED);
    GetParam().arrange(*service);

    EXPECT_EQ(InstallService(Executable), GetParam().expected);
    EXPECT_EQ(model::Now(), t0 + GetParam().returnsAfter);
    ASSERT_EQ(Registered(), service);
    ExpectFullRegistration(*service);
    EXPECT_EQ(model::CountOf("DeleteService"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, InstallStartTest,
    ::testing::Values(
        StartRow{"StartRefused", [](model::ServiceRecord& s) { s.startFailsWith = NotFound; }, NotFound, 0},
        StartRow{"ExitsWithoutACode", [](model::ServiceRecord& s) { s.exitsAtStartWith = 0; }, NotActive,
                 200},
        StartRow{"ExitsWithACode", [](model::ServiceRecord& s) { s.exitsAtStartWith = 1067; }, 1067, 200},
        StartRow{"NeverLeavesStartPending", [](model::ServiceRecord& s) { s.staysStartPending = true; },
                 Timeout, 15000},
        // The state is looked at before the deadline: running at the last poll is running.
        StartRow{"RunningExactlyAtTheDeadline", [](model::ServiceRecord& s) { s.startDelayMs = 15000; }, Ok,
                 15000}),
    [](const auto& info) { return std::string(info.param.name); });

struct InstallFailureRow {
    Failure failure;
    bool installedBefore;
    bool registeredAfter;
};

class InstallFailureTest : public InstallServiceTest,
                           public ::testing::WithParamInterface<InstallFailureRow> {};

// Nothing is undone: whatever was written before the failure stays registered.
TEST_P(InstallFailureTest, FailedStepEndsTheInstallWithItsErrorAndUndoesNothing)
{
    const InstallFailureRow& row = GetParam();
    if (row.installedBefore)
        InstallOlder(SERVICE_STOPPED);
    Inject(row.failure);

    EXPECT_EQ(InstallService(Executable), row.failure.error);
    EXPECT_EQ(LastStep(), row.failure.function);
    EXPECT_EQ(Registered() != nullptr, row.registeredAfter);
    EXPECT_EQ(model::CountOf("DeleteService"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InstallFailureTest,
    ::testing::Values(InstallFailureRow{{"OpenSCManagerW", 1, AccessDenied}, false, false},
                      InstallFailureRow{{"OpenServiceW", 1, AccessDenied}, true, true},
                      InstallFailureRow{{"CreateServiceW", 1, ServiceExists}, false, false},
                      InstallFailureRow{{"ChangeServiceConfigW", 1, AccessDenied}, true, true},
                      InstallFailureRow{{"ChangeServiceConfig2W", 1, AccessDenied}, false, true},
                      InstallFailureRow{{"ChangeServiceConfig2W", 2, AccessDenied}, false, true},
                      InstallFailureRow{{"StartServiceW", 1, Disabled}, false, true},
                      InstallFailureRow{{"QueryServiceStatusEx", 1, InvalidHandle}, false, true},
                      InstallFailureRow{{"QueryServiceStatusEx", 2, InvalidHandle}, true, true}));

TEST_F(InstallServiceTest, DescriptionWrittenBeforeAFailedFailureActionsStepIsKept)
{
    model::FailNth("ChangeServiceConfig2W", 2, AccessDenied);

    EXPECT_EQ(InstallService(Executable), AccessDenied);
    EXPECT_EQ(Registered()->description, Description);
    EXPECT_EQ(Registered()->binaryPath, Quoted);
    EXPECT_FALSE(Registered()->failureActions.has_value());
    EXPECT_EQ(model::CountOf("StartServiceW"), 0u);
}

// A folder that cannot be made safe registers nothing that could start an agent at the
// next boot, and leaves an existing registration, and the service it runs, as they were.
// One that only could not be walked whole is still one every launch accepts: the service
// is registered, not started, so that no failed installation leaves the machine without it.
TEST_F(InstallServiceTest, ADataFolderStepThatFailsIsTheStatusAndRegistersOnlyOverASafeFolder)
{
    const std::filesystem::path folder = dataRoot / "Orvella";
    std::filesystem::create_directories(folder);
    model::SetOwner(folder.wstring(), L"S-1-5-21-1111-2222-3333-1001");
    HANDLE holder = CreateFileW(folder.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_EQ(InstallService(Executable), SharingViolation);
    EXPECT_EQ(Registered(), nullptr);

    model::ServiceRecord* running = InstallOlder(SERVICE_RUNNING);
    EXPECT_EQ(InstallService(Executable), SharingViolation);
    EXPECT_EQ(running->binaryPath, L"C:\\Old\\OrvellaService.exe");
    EXPECT_EQ(running->state, DWORD{SERVICE_RUNNING});
    CloseHandleAndForget(holder);
    model::RemoveServiceRecord(Name);

    model::SetOwner(folder.wstring(), L"SY");
    std::ofstream(folder / "planted") << "planted";
    model::SetOwner((folder / "planted").wstring(), L"S-1-5-21-1111-2222-3333-1001");
    holder = CreateFileW((folder / "planted").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    // Windows renames no folder with something open below it.
    EXPECT_EQ(InstallService(Executable), AccessDenied);
    ASSERT_NE(Registered(), nullptr);
    ExpectFullRegistration(*Registered());
    EXPECT_EQ(model::CountOf("StartServiceW"), 0u) << "an installer may be about to put older files back";
    CloseHandleAndForget(holder);
}

} // namespace
