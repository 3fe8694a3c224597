// Where the real executable puts its data folder for each form PROGRAMDATA takes,
// and that it finds itself wherever it is installed. PROGRAMDATA is set in the
// child's Windows environment: Wine sets its own and ignores the Unix one.
// Drive D: is the prefix's drive_d, mapped by the prefix setup.

#include "WineTest.h"

#include "layout/DataFolder.h"
#include "layout/Paths.h"

#include <gtest/gtest.h>
#include <sddl.h>

using namespace winetest;
namespace fs = std::filesystem;

namespace {

const char SelfTestPassed[] = "Orvella native service self-test passed\r\n";

void RemoveTree(const fs::path& path)
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

RunResult SelfTest(const fs::path& exe, std::vector<EnvChange> environment,
                   const fs::path& workingFolder = fs::path())
{
    RunOptions options;
    options.program = exe;
    options.arguments = {L"--self-test"};
    options.environment = std::move(environment);
    options.workingFolder = workingFolder;
    return RunProgram(options);
}

#define EXPECT_PASSED(result)                                                                                \
    do {                                                                                                     \
        EXPECT_FALSE((result).timedOut);                                                                     \
        EXPECT_EQ((result).exitCode, 0u);                                                                    \
        EXPECT_EQ((result).output, SelfTestPassed);                                                          \
        EXPECT_EQ((result).errors, "");                                                                      \
    } while (false)

class DataFolder : public ::testing::Test {
protected:
    // Beside the agent, in a folder of the prefix: a self-test passes only where a launch would.
    TempFolder app{L"layout-app"};
    fs::path exe = CopyExeAndAgentTo(app.Path());

    void SetUp() override
    {
        ASSERT_TRUE(IsFolder(L"D:\\")) << "drive D: is not mapped in this prefix";
        for (const wchar_t* stale : {L"C:\\ProgramData\\Orvella", L"D:\\Data", L"D:\\Orvella", L"D:\\Work"})
            RemoveTree(stale);
    }
    void TearDown() override { SetUp(); }
};

TEST_F(DataFolder, UnsetOrEmptyFallsBackToTheSystemProgramData)
{
    for (std::optional<std::wstring> value :
         {std::optional<std::wstring>(), std::optional<std::wstring>(L"")}) {
        SCOPED_TRACE(value ? "empty" : "unset");
        RemoveTree(L"C:\\ProgramData\\Orvella");
        RunResult result = SelfTest(exe, {{L"PROGRAMDATA", value}});
        EXPECT_PASSED(result);
        EXPECT_TRUE(IsFolder(L"C:\\ProgramData\\Orvella"));
    }
}

TEST_F(DataFolder, TrailingSeparatorsAndForwardSlashesNameTheSameFolder)
{
    for (const wchar_t* value : {L"D:\\Data\\", L"D:/Data", L"D:\\Data\\\\"}) {
        SCOPED_TRACE(Utf8(value));
        RemoveTree(L"D:\\Data");
        RunResult result = SelfTest(exe, {{L"PROGRAMDATA", value}});
        EXPECT_PASSED(result);
        EXPECT_TRUE(IsFolder(L"D:\\Data\\Orvella"));
        EXPECT_EQ(std::distance(fs::directory_iterator(L"D:\\Data"), fs::directory_iterator()), 1);
    }
}

TEST_F(DataFolder, DevicePrefixedPathCreatesEveryMissingLevelBelowTheDrive)
{
    // Only the drive exists: the standard recursive creation gives up here.
    RunResult result = SelfTest(exe, {{L"PROGRAMDATA", L"\\\\?\\D:\\Data\\one"}});
    EXPECT_PASSED(result);
    EXPECT_TRUE(IsFolder(L"D:\\Data\\one\\Orvella"));
}

TEST_F(DataFolder, BareDriveIsRelativeToThatDrivesCurrentFolder)
{
    // Started on drive C:, the child has no current folder on D: and takes its root.
    RunResult fromC = SelfTest(exe, {{L"PROGRAMDATA", L"D:"}});
    EXPECT_PASSED(fromC);
    EXPECT_TRUE(IsFolder(L"D:\\Orvella"));

    // Started in a folder on D:, that folder is D:'s current one.
    RemoveTree(L"D:\\Orvella");
    fs::create_directories(L"D:\\Work");
    RunResult fromD = SelfTest(exe, {{L"PROGRAMDATA", L"D:"}}, L"D:\\Work");
    EXPECT_PASSED(fromD);
    EXPECT_TRUE(IsFolder(L"D:\\Work\\Orvella"));
    EXPECT_FALSE(fs::exists(L"D:\\Orvella"));
}

TEST_F(DataFolder, AFileInTheWayIsLeftAloneAndFailsTheSelfTest)
{
    TempFolder data(L"file-in-way");
    WriteTextFile(data.Path() / L"Orvella", "not a folder");
    RunResult result = SelfTest(exe, {{L"PROGRAMDATA", data.Path().wstring()}});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.output, "Orvella native service self-test failed\r\n");
    EXPECT_EQ(ReadTextFile(data.Path() / L"Orvella"), "not a folder");
}

TEST_F(DataFolder, AnExistingFolderKeepsItsContents)
{
    TempFolder data(L"existing");
    fs::create_directories(data.Path() / L"Orvella");
    WriteTextFile(data.Path() / L"Orvella" / L"device.json", "{\"kept\":true}");
    RunResult result = SelfTest(exe, {{L"PROGRAMDATA", data.Path().wstring()}});
    EXPECT_PASSED(result);
    EXPECT_EQ(ReadTextFile(data.Path() / L"Orvella" / L"device.json"), "{\"kept\":true}");
}

// Wine keeps no DACL to read back; what it can show is that the system's own parser takes
// every descriptor the product writes, so no folder or file is ever left without one.
TEST(DataFolderSecurity, EveryDescriptorTheProductWritesConverts)
{
    const std::wstring top = std::wstring(L"O:BA") + DataFolderSecurity;
    for (const wchar_t* text :
         {DataFolderSecurity, top.c_str(), InheritedFolderSecurity, InheritedFileSecurity}) {
        SCOPED_TRACE(Utf8(text));
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(
            ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, nullptr))
            << GetLastError();
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
        // The data folder's list stands alone; what lies below takes its list from it.
        const bool below = text == InheritedFolderSecurity || text == InheritedFileSecurity;
        EXPECT_EQ((control & SE_DACL_PROTECTED) != 0, !below);
        EXPECT_EQ((control & SE_DACL_AUTO_INHERITED) != 0, below);
        LocalFree(descriptor);
    }
}

TEST_F(DataFolder, NonAsciiAndBlanksInTheDataPathArePreserved)
{
    TempFolder base(L"names");
    fs::path root = base.Path() / L"Données Тест";
    RunResult result = SelfTest(exe, {{L"PROGRAMDATA", root.wstring()}});
    EXPECT_PASSED(result);
    EXPECT_TRUE(IsFolder(root / L"Orvella"));
}

// The drive root is shown by the console run, where the agent's path and folder show.
TEST(InstallFolder, TheExecutableFindsItselfInAFolderWithBlanksAndNonAsciiLetters)
{
    TempFolder data(L"install");
    const fs::path folder = L"C:\\Program Files\\Orvella Тест";
    fs::path installed = CopyExeAndAgentTo(folder);
    RunResult result = SelfTest(installed, {{L"PROGRAMDATA", data.Path().wstring()}}, folder);
    EXPECT_PASSED(result);
    RemoveTree(folder);
}

} // namespace
