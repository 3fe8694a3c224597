#include "ScmTest.h"

#include <iterator>

namespace {

class PrepareUpdateTest : public ScmTest {
protected:
    std::filesystem::path target;
    std::filesystem::path statePath;

    void SetUp() override
    {
        ScmTest::SetUp();
        target = exeDir / "OrvellaService.exe";
        statePath = dataRoot / "update-state";
        std::ofstream(target) << "old build";
    }

    DWORD Prepare() { return PrepareUpdate(target.wstring(), statePath.wstring()); }

    std::string StateFile() const
    {
        std::ifstream in(statePath, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // The target answers `first` until `switchAt`, `then` from there on.
    void LockTarget(DWORD first, ULONGLONG switchAt, DWORD then)
    {
        model::SetFileOpenError(target.wstring(), first);
        model::At(switchAt, [path = target.wstring(), then] { model::SetFileOpenError(path, then); });
    }
};

TEST_F(PrepareUpdateTest, RunningServiceIsRecordedStoppedAndItsFileAwaitedUntilReleased)
{
    Install(SERVICE_RUNNING);
    LockTarget(SharingViolation, t0 + 1000, Ok);

    EXPECT_EQ(Prepare(), Ok);
    EXPECT_EQ(StateFile(), "running");
    EXPECT_EQ(Registered()->state, DWORD{SERVICE_STOPPED});
    EXPECT_EQ(model::Now(), t0 + 1000);
    // The first attempt only comes once the stop has completed.
    EXPECT_EQ(TimesOf("CreateFileW"), EveryPoll(t0 + 300, t0 + 1000));

    const auto last = model::CallsTo("CreateFileW").back();
    EXPECT_TRUE(last.ok);
    EXPECT_EQ(last.text(0), target.wstring());
    EXPECT_EQ(last.args,
              (Args{last.arg(0), 0x40010000, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0}));
}

TEST_F(PrepareUpdateTest, StoppedServiceIsRecordedAndNotSentAStop)
{
    Install(SERVICE_STOPPED);

    EXPECT_EQ(Prepare(), Ok);
    EXPECT_EQ(StateFile(), "stopped");
    EXPECT_EQ(model::CountOf("ControlService"), 0u);
    EXPECT_EQ(model::CountOf("CreateFileW"), 1u);
}

TEST_F(PrepareUpdateTest, AbsentTargetOrFolderIsNothingToWaitFor)
{
    for (const auto& absent : {exeDir / "missing.exe", root / "missing" / "OrvellaService.exe"}) {
        target = absent;
        model::ClearJournal();
        EXPECT_EQ(Prepare(), Ok) << absent;
        EXPECT_EQ(StateFile(), "stopped");
        EXPECT_EQ(model::CountOf("CreateFileW"), 1u);
    }
}

TEST_F(PrepareUpdateTest, LongerStateIsReplacedByExactlyTheWordWithoutANewline)
{
    std::ofstream(statePath) << "stopped\nand a much longer leftover\n";
    Install(SERVICE_RUNNING);

    EXPECT_EQ(Prepare(), Ok);
    EXPECT_EQ(StateFile(), "running");
}

struct LockRow {
    DWORD first;
    DWORD fromSecond20; // what the target says for the last 10 s
    DWORD expected;
};

class LockedTargetTest : public PrepareUpdateTest, public ::testing::WithParamInterface<LockRow> {};

TEST_P(LockedTargetTest, TargetLockedFor30SecondsFailsWithTheLastAnswer)
{
    LockTarget(GetParam().first, t0 + 20000, GetParam().fromSecond20);

    EXPECT_EQ(Prepare(), GetParam().expected);
    EXPECT_EQ(model::Now(), t0 + 30000);
    EXPECT_EQ(TimesOf("CreateFileW"), EveryPoll(t0, t0 + 30000));
    EXPECT_EQ(StateFile(), "stopped");
}

INSTANTIATE_TEST_SUITE_P(Answers, LockedTargetTest,
                         ::testing::Values(LockRow{SharingViolation, SharingViolation, SharingViolation},
                                           LockRow{AccessDenied, AccessDenied, AccessDenied},
                                           LockRow{SharingViolation, AccessDenied, AccessDenied},
                                           LockRow{AccessDenied, SharingViolation, SharingViolation}));

class TargetAnswerTest : public PrepareUpdateTest,
                         public ::testing::WithParamInterface<std::pair<DWORD, DWORD>> {};

TEST_P(TargetAnswerTest, AnswerOtherThanLockedEndsTheWaitAtOnce)
{
    model::SetFileOpenError(target.wstring(), GetParam().first);

    EXPECT_EQ(Prepare(), GetParam().second);
    EXPECT_EQ(model::CountOf("CreateFileW"), 1u);
    EXPECT_EQ(model::Now(), t0);
}

INSTANTIATE_TEST_SUITE_P(Answers, TargetAnswerTest,
                         ::testing::Values(std::pair{NotFound, Ok}, std::pair{PathNotFound, Ok},
                                           std::pair{DWORD{ERROR_INVALID_NAME}, DWORD{ERROR_INVALID_NAME}},
                                           std::pair{InvalidHandle, InvalidHandle}));

class MissingStateFolderTest : public PrepareUpdateTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(MissingStateFolderTest, UnwritableStateFailsWithWriteFaultBeforeAnyWaitWhateverTheStop)
{
    if (GetParam() != Ok)
        model::FailNext("OpenSCManagerW", GetParam());
    statePath = root / "missing" / "update-state";
    model::SetFileOpenError(target.wstring(), SharingViolation);

    EXPECT_EQ(Prepare(), WriteFault);
    EXPECT_EQ(model::CountOf("CreateFileW"), 0u);
    EXPECT_EQ(model::Now(), t0);
    EXPECT_FALSE(std::filesystem::exists(root / "missing"));
}

INSTANTIATE_TEST_SUITE_P(StopResults, MissingStateFolderTest, ::testing::Values(Ok, AccessDenied));

// A state file that opens but cannot take the word (a full disk) would leave the
// updater guessing, so it is reported like one that does not open.
TEST_F(PrepareUpdateTest, StateWordThatCannotBeWrittenFailsWithWriteFault)
{
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full to make writes fail";
    Install(SERVICE_RUNNING);
    statePath = "/dev/full";

    EXPECT_EQ(Prepare(), WriteFault);
    EXPECT_EQ(model::CountOf("CreateFileW"), 0u);
}

struct FailedStopRow {
    const char* name;
    void (*arrange)();
    DWORD expected;
    const char* state;
};

class FailedStopTest : public PrepareUpdateTest, public ::testing::WithParamInterface<FailedStopRow> {};

TEST_P(FailedStopTest, FailedStopIsRecordedAndReturnedWithoutWaitingForTheTarget)
{
    GetParam().arrange();

    EXPECT_EQ(Prepare(), GetParam().expected);
    EXPECT_EQ(StateFile(), GetParam().state);
    EXPECT_EQ(model::CountOf("CreateFileW"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, FailedStopTest,
    ::testing::Values(FailedStopRow{"TimesOutWhileRunning",
                                    [] { ScmTest::Install(SERVICE_RUNNING)->ignoresStop = true; }, Timeout,
                                    "running"},
                      FailedStopRow{"ManagerRefused", [] { model::FailNext("OpenSCManagerW", AccessDenied); },
                                    AccessDenied, "stopped"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
