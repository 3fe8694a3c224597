#include "HostTest.h"

#include "layout/DataFolder.h"
#include "layout/Paths.h"

#include <unistd.h>

#include <map>
#include <optional>
#include <string>

namespace {

class PathsTest : public HostTest {};

TEST_F(PathsTest, ModuleDirectoryIsTheParentOfTheExecutable)
{
    EXPECT_EQ(GetModuleDirectory(), exeDir);
    auto calls = model::CallsTo("GetModuleFileNameW");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].arg(0), 0u);
    EXPECT_EQ(calls[0].arg(2), 32768u);

    model::SetModuleFileName(L"/OrvellaService.exe");
    EXPECT_EQ(GetModuleDirectory(), std::filesystem::path("/"));
}

TEST_F(PathsTest, ModuleDirectoryIsEmptyWhenTheNameCannotBeReadWhole)
{
    model::FailNext("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(GetModuleDirectory().empty());

    // 32,767 characters still fit with their terminating zero; one more is cut short.
    std::wstring longest = L"/" + std::wstring(32766 - 4, L'd') + L"/a.e";
    ASSERT_EQ(longest.size(), 32767u);
    model::SetModuleFileName(longest);
    EXPECT_EQ(GetModuleDirectory(), std::filesystem::path(longest).parent_path());

    model::SetModuleFileName(longest + L"x");
    EXPECT_TRUE(GetModuleDirectory().empty());
}

TEST_F(PathsTest, ConfigPathLiesInTheDataFolderWhichIsCreated)
{
    EXPECT_EQ(GetConfigPath(), dataRoot / "Orvella" / "device.json");
    EXPECT_TRUE(std::filesystem::is_directory(dataRoot / "Orvella"));
    EXPECT_FALSE(std::filesystem::exists(dataRoot / "Orvella" / "device.json"));
    auto reads = model::CallsTo("GetEnvironmentVariableW");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].text(0), L"PROGRAMDATA");
    EXPECT_EQ(reads[0].arg(2), 32768u);

    // Only SYSTEM and administrators may change it.
    const std::map<std::wstring, std::optional<std::wstring>> protectedFolder = {
        {(dataRoot / "Orvella").wstring(), DataFolderSecurity}};
    EXPECT_EQ(model::CreatedFolders(), protectedFolder);

    // Already there: nothing changes and the same path comes back.
    EXPECT_EQ(GetConfigPath(), dataRoot / "Orvella" / "device.json");
    EXPECT_EQ(model::CreatedFolders(), protectedFolder);
}

TEST_F(PathsTest, DataFolderIsStillMadeWhenItsDescriptorCannotBeBuilt)
{
    model::FailNext("ConvertStringSecurityDescriptorToSecurityDescriptorW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(GetConfigPath(), dataRoot / "Orvella" / "device.json");
    const std::map<std::wstring, std::optional<std::wstring>> inheriting = {
        {(dataRoot / "Orvella").wstring(), std::nullopt}};
    EXPECT_EQ(model::CreatedFolders(), inheriting);
    EXPECT_EQ(model::CountOf("LocalFree"), 0u);
}

TEST_F(PathsTest, EveryMissingAncestorOfTheDataFolderIsCreated)
{
    model::SetEnvironment(L"PROGRAMDATA", (root / "deep" / "er").wstring() + L"/");
    EXPECT_EQ(GetConfigPath(), root / "deep" / "er" / "Orvella" / "device.json");
    EXPECT_TRUE(std::filesystem::is_directory(root / "deep" / "er" / "Orvella"));
    // The ancestors keep the security they inherit; only the data folder is protected.
    const std::map<std::wstring, std::optional<std::wstring>> created = {
        {(root / "deep").wstring(), std::nullopt},
        {(root / "deep" / "er").wstring(), std::nullopt},
        {(root / "deep" / "er" / "Orvella").wstring(), DataFolderSecurity}};
    EXPECT_EQ(model::CreatedFolders(), created);
}

// A drive, a server or a device prefix is never created on its own; every level below it
// is tried, even when one above fails.
TEST_F(PathsTest, EveryLevelBelowTheRootOfTheDataRootIsTried)
{
    model::FailAlways("CreateDirectoryW", ERROR_ACCESS_DENIED);
    const std::map<std::wstring, std::vector<std::wstring>> tried = {
        {L"D:\\Data\\one", {L"D:\\Data", L"D:\\Data\\one"}},
        {L"\\\\?\\C:\\ProgramData", {L"\\\\?\\C:\\ProgramData"}},
        {L"\\\\server\\share\\Data", {L"\\\\server\\share", L"\\\\server\\share\\Data"}}};
    for (const auto& [dataRootText, expected] : tried) {
        model::SetEnvironment(L"PROGRAMDATA", dataRootText);
        model::ClearJournal();
        GetConfigPath();
        std::vector<std::wstring> paths;
        for (const auto& call : model::CallsTo("CreateDirectoryW"))
            paths.push_back(call.text(0));
        EXPECT_EQ(paths, expected) << std::string(dataRootText.begin(), dataRootText.end());
    }
}

TEST_F(PathsTest, AFileInTheWayIsNotReported)
{
    std::ofstream(dataRoot / "Orvella") << "not a folder";
    EXPECT_EQ(GetConfigPath(), dataRoot / "Orvella" / "device.json");
    EXPECT_TRUE(std::filesystem::is_regular_file(dataRoot / "Orvella"));
}

TEST_F(PathsTest, UnusableDataRootFallsBackToProgramData)
{
    // The fallback is a Windows path; keep whatever it creates inside the test's folder.
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(root);
    const std::wstring fallback = L"C:\\ProgramData";
    std::vector<std::wstring> unusable = {L"", std::wstring(32768, L'x')};
    // Joined by this platform's separator, so compared component by component.
    const std::vector<std::wstring> fallbackPath = {fallback, L"Orvella", L"device.json"};
    auto components = [](const std::filesystem::path& path) {
        std::vector<std::wstring> parts;
        for (const auto& part : path)
            parts.push_back(part.wstring());
        return parts;
    };
    model::UnsetEnvironment(L"PROGRAMDATA");
    EXPECT_EQ(components(GetConfigPath()), fallbackPath);
    for (const auto& value : unusable) {
        model::SetEnvironment(L"PROGRAMDATA", value);
        EXPECT_EQ(components(GetConfigPath()), fallbackPath) << value.size();
    }
    // The longest value that fits is still taken as it is.
    std::wstring longest = (root / "").wstring() + std::wstring(200, L'y');
    longest += std::wstring(32767 - longest.size(), L'z');
    model::SetEnvironment(L"PROGRAMDATA", longest);
    EXPECT_EQ(GetConfigPath().wstring().rfind(longest, 0), 0u);
    std::filesystem::current_path(previous);
}

TEST_F(PathsTest, QuoteArgumentWrapsTheTextUnescaped)
{
    EXPECT_EQ(QuoteArgument(L"C:\\Program Files\\App\\Kestrune.exe"),
              L"\"C:\\Program Files\\App\\Kestrune.exe\"");
    EXPECT_EQ(QuoteArgument(std::filesystem::path()), L"\"\"");
    EXPECT_EQ(QuoteArgument(L"C:\\Data\\"), L"\"C:\\Data\\\"");
    EXPECT_EQ(QuoteArgument(L"odd\"name"), L"\"odd\"name\"");
}

} // namespace
