#include "HostTest.h"

#include "entry/Entry.h"

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

// The product's entry point, as the C runtime calls it.
int wmain(int argc, wchar_t* argv[]);

namespace {

class EntryTest : public HostTest {
protected:
    std::wostringstream output;
    std::wstreambuf* savedOutput = nullptr;

    void SetUp() override
    {
        HostTest::SetUp();
        savedOutput = std::wcout.rdbuf(output.rdbuf());
    }

    void TearDown() override
    {
        std::wcout.rdbuf(savedOutput);
        // Every mode that created the StopEvent must have closed and forgotten it.
        EXPECT_EQ(StopEvent.load(), nullptr);
        HostTest::TearDown();
    }

    DWORD Run(std::vector<std::wstring> arguments) { return RunAs(wmain, std::move(arguments)); }

    // The administrative rows open the service manager and never create the StopEvent.
    void ExpectAdministrativeMode(DWORD serviceAccess)
    {
        EXPECT_EQ(model::CountOf("CreateEventW"), 0u);
        EXPECT_EQ(model::CountOf("StartServiceCtrlDispatcherW"), 0u);
        auto opens = model::CallsTo("OpenServiceW");
        ASSERT_FALSE(opens.empty());
        EXPECT_EQ(opens[0].arg(2), serviceAccess);
    }

    void ExpectServiceRun()
    {
        EXPECT_EQ(model::CountOf("CreateEventW"), 1u);
        EXPECT_EQ(model::CountOf("StartServiceCtrlDispatcherW"), 1u);
        EXPECT_EQ(model::CountOf("OpenSCManagerW"), 0u);
        EXPECT_TRUE(output.str().empty());
    }
};

TEST_F(EntryTest, AdministrativeRowsNeedTheirExactArgumentCount)
{
    model::AddService(L"OrvellaService", SERVICE_STOPPED);
    EXPECT_EQ(Run({L"--start-service"}), 0u);
    ExpectAdministrativeMode(SERVICE_START);
    model::ClearJournal();

    EXPECT_EQ(Run({L"--remove-service"}), 0u);
    ExpectAdministrativeMode(SERVICE_STOP | SERVICE_QUERY_STATUS);
    EXPECT_EQ(model::Service(L"OrvellaService"), nullptr);
    model::ClearJournal();

    EXPECT_EQ(Run({L"--prepare-update", (root / "absent.exe").wstring(), (root / "state").wstring()}), 0u);
    ExpectAdministrativeMode(SERVICE_STOP | SERVICE_QUERY_STATUS);
    model::ClearJournal();

    model::FailNext("OpenSCManagerW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Run({L"--install-service", L"C:\\Orvella\\OrvellaService.exe"}),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    auto managers = model::CallsTo("OpenSCManagerW");
    ASSERT_EQ(managers.size(), 1u);
    EXPECT_EQ(managers[0].arg(2), static_cast<uintptr_t>(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    EXPECT_EQ(model::CountOf("CreateEventW"), 0u);
}

TEST_F(EntryTest, AWrongCountOrSpellingFallsThroughToTheServiceRun)
{
    const std::vector<std::vector<std::wstring>> commandLines = {
        {},
        {L"--start-service", L"extra"},
        {L"--remove-service", L"extra"},
        {L"--install-service"},
        {L"--install-service", L"a", L"b"},
        {L"--prepare-update", L"a"},
        {L"--prepare-update", L"a", L"b", L"c"},
        {L"--Console"},
        {L"--SELF-TEST"},
        {L"--console-run"},
        {L"console"},
        {L""},
    };
    for (const auto& commandLine : commandLines) {
        model::ClearJournal();
        EXPECT_EQ(Run(commandLine), 1u) << "argument count " << commandLine.size() + 1;
        ExpectServiceRun();
    }
}

TEST_F(EntryTest, StopEventIsCreatedUnnamedManualResetAndUnsignalled)
{
    Run({L"--self-test"});
    auto creations = model::CallsTo("CreateEventW");
    ASSERT_EQ(creations.size(), 1u);
    EXPECT_EQ(creations[0].arg(0), 0u);
    EXPECT_EQ(creations[0].arg(1), static_cast<uintptr_t>(TRUE));
    EXPECT_EQ(creations[0].arg(2), static_cast<uintptr_t>(FALSE));
    EXPECT_TRUE(creations[0].isNull(0));
}

TEST_F(EntryTest, StopEventFailureEndsWithOneAndRunsNoMode)
{
    for (const wchar_t* mode : {L"--self-test", L"--console", L"--anything"}) {
        model::ClearJournal();
        model::FailNext("CreateEventW", ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(Run({mode}), 1u);
        EXPECT_EQ(model::CallNames(), std::vector<std::string>{"CreateEventW"});
    }
    EXPECT_TRUE(output.str().empty());
}

TEST_F(EntryTest, SelfTestPrintsOneLineAndCreatesTheDataFolder)
{
    PutAgentFile();
    EXPECT_EQ(Run({L"--self-test", L"ignored"}), 0u);
    EXPECT_EQ(output.str(), L"Orvella native service self-test passed\n");
    EXPECT_TRUE(std::filesystem::is_directory(dataRoot / "Orvella"));
    const uintptr_t stopEvent = model::CallsTo("CreateEventW").at(0).result;
    size_t closed = 0;
    for (const auto& call : model::CallsTo("CloseHandle"))
        closed += call.arg(0) == stopEvent;
    EXPECT_EQ(closed, 1u);
}

TEST_F(EntryTest, SelfTestFailsWhenTheExecutablePathCannotBeRead)
{
    model::FailNext("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Run({L"--self-test"}), 1u);
    EXPECT_EQ(output.str(), L"Orvella native service self-test failed\n");
    EXPECT_TRUE(std::filesystem::is_directory(dataRoot / "Orvella"))
        << "the data folder is made all the same";

    output.str(L"");
    model::SetModuleFileName(L"/" + std::wstring(40000, L'x') + L"/OrvellaService.exe");
    EXPECT_EQ(Run({L"--self-test"}), 1u);
    EXPECT_EQ(output.str(), L"Orvella native service self-test failed\n");
}

// Whatever a launch would refuse for a reason it can see fails the self-test, until repaired:
// no agent, a data folder users may add to (a file at its name: see the Wine tier).
TEST_F(EntryTest, SelfTestFailsWhereALaunchWouldBeRefused)
{
    namespace fs = std::filesystem;
    const fs::path folder = dataRoot / "Orvella";
    const std::vector<std::pair<std::function<void()>, std::function<void()>>> breakages = {
        {[] {}, [this] { PutAgentFile(); }},
        {[&] { model::SetSecurity(folder.wstring(), L"D:(A;OICI;FA;;;SY)(A;;0x4;;;BU)"); },
         [&] { model::SetSecurity(folder.wstring(), L"D:(A;OICI;FA;;;SY)"); }}};
    for (size_t index = 0; index < breakages.size(); ++index) {
        for (const bool repaired : {false, true}) {
            (repaired ? breakages[index].second : breakages[index].first)();
            output.str(L"");
            EXPECT_EQ(Run({L"--self-test"}), repaired ? 0u : 1u) << index;
            EXPECT_EQ(output.str(),
                      repaired ? L"Orvella native service self-test passed\n"
                               : L"Orvella native service self-test failed\n");
        }
    }
}

TEST_F(EntryTest, ConsoleRunEndsOnCtrlCWithZeroAndTakesFurtherArguments)
{
    model::After(4500, [] { model::SendConsoleEvent(CTRL_C_EVENT); });
    EXPECT_EQ(Run({L"--console", L"--verbose"}), 0u);
    EXPECT_EQ(model::Now(), model::StartTime + 4500);
    EXPECT_EQ(model::CountOf("SetConsoleCtrlHandler"), 1u);
    EXPECT_TRUE(output.str().empty());
}

TEST_F(EntryTest, DispatcherFailureOutsideTheServiceManagerEndsWithOne)
{
    EXPECT_EQ(Run({}), 1u);
    EXPECT_EQ(model::CountOf("StartServiceCtrlDispatcherW"), 1u);
    // The dispatcher's failure is not the exit status; the event is closed after it.
    auto names = model::CallNames();
    EXPECT_EQ(names.back(), "CloseHandle");
}

TEST_F(EntryTest, ServiceRunUnderTheServiceManagerEndsWithZero)
{
    model::StartedByServiceManager({L"OrvellaService", L"--ignored"});
    model::After(3500, [] { model::SendControl(SERVICE_CONTROL_STOP); });
    EXPECT_EQ(Run({}), 0u);
    // One named entry whose entry point is the service's main: it reported its states.
    EXPECT_EQ(
        model::ReportedStates(),
        (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
}

} // namespace
