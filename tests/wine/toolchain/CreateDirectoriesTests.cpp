// What this toolchain's std::filesystem (MinGW-w64 libstdc++ 12 on msvcrt, under
// Wine) does with the path forms a data folder may take. Nothing of the product is
// linked: these pin the library's behaviour, so a toolchain change that would alter
// the product's folder creation shows up here first.
//
// create_directories walks up with status() to the first existing ancestor and then
// creates downwards, stopping at the first failure. status() cannot see "\\?\C:" or
// a bare "C:", so for a device path whose only existing ancestor is the drive, and
// for any drive-relative path, it creates nothing. create_directory of one level
// handles all these forms; the product builds its tree from those calls.

#include "WineTest.h"

#include <gtest/gtest.h>

using namespace winetest;
namespace fs = std::filesystem;

namespace {

class CreateDirectories : public ::testing::Test {
protected:
    TempFolder base{L"toolchain"};
    // base without its drive, for the drive-relative forms.
    std::wstring BelowDrive() const { return base.Path().wstring().substr(2); }
};

TEST_F(CreateDirectories, PlainAndForwardSlashPathsCreateEveryLevel)
{
    std::error_code ec;
    EXPECT_TRUE(fs::create_directories(base.Path() / L"a" / L"b" / L"c", ec));
    EXPECT_FALSE(ec);
    EXPECT_TRUE(IsFolder(base.Path() / L"a\\b\\c"));

    std::wstring forward = base.Path().wstring() + L"/f/g/";
    for (wchar_t& c : forward) {
        if (c == L'\\')
            c = L'/';
    }
    EXPECT_TRUE(fs::create_directories(forward, ec));
    EXPECT_FALSE(ec);
    EXPECT_TRUE(IsFolder(base.Path() / L"f\\g"));

    // An existing folder, the drive root included, is no error and nothing new.
    EXPECT_FALSE(fs::create_directories(base.Path() / L"a", ec));
    EXPECT_FALSE(ec);
    EXPECT_FALSE(fs::create_directories(L"C:\\", ec));
    EXPECT_FALSE(ec);
}

TEST_F(CreateDirectories, AFileInTheWayFailsWithoutCreatingAnything)
{
    WriteTextFile(base.Path() / L"file", "x");
    std::error_code ec;
    EXPECT_FALSE(fs::create_directories(base.Path() / L"file" / L"b" / L"c", ec));
    EXPECT_EQ(ec, std::errc::not_a_directory);
    EXPECT_TRUE(IsFile(base.Path() / L"file"));
}

TEST_F(CreateDirectories, DevicePathSucceedsOnlyBelowAnExistingFolderOtherThanTheDrive)
{
    std::error_code ec;
    // An existing ancestor below the drive: status() finds it, creation goes on.
    EXPECT_TRUE(fs::create_directories(L"\\\\?\\" + (base.Path() / L"d1\\d2").wstring(), ec));
    EXPECT_FALSE(ec);
    EXPECT_TRUE(IsFolder(base.Path() / L"d1\\d2"));

    // Only the drive exists: the walk reaches "\\?\C:", which fails, and the levels
    // below are never tried.
    fs::path top = L"C:\\orvella-toolchain-" + std::to_wstring(GetCurrentProcessId());
    EXPECT_FALSE(fs::create_directories(L"\\\\?\\" + (top / L"x").wstring(), ec));
    EXPECT_TRUE(ec);
    EXPECT_FALSE(fs::exists(top));

    // One level at a time works in the same place.
    EXPECT_TRUE(fs::create_directory(L"\\\\?\\" + top.wstring(), ec));
    EXPECT_TRUE(fs::create_directory(L"\\\\?\\" + (top / L"x").wstring(), ec));
    EXPECT_TRUE(IsFolder(top / L"x"));
    fs::remove_all(top);
}

TEST_F(CreateDirectories, DriveRelativePathsCreateNothingButSingleLevelsWork)
{
    SetCurrentDirectoryW(base.Path().c_str());
    std::error_code ec;
    EXPECT_FALSE(fs::create_directories(L"C:rel\\sub", ec));
    EXPECT_TRUE(ec) << "no error although nothing could be created";
    EXPECT_FALSE(fs::exists(base.Path() / L"rel"));

    EXPECT_TRUE(fs::create_directory(L"C:rel", ec));
    EXPECT_TRUE(fs::create_directory(L"C:rel\\sub", ec));
    EXPECT_TRUE(IsFolder(base.Path() / L"rel\\sub"));
    SetCurrentDirectoryW(L"C:\\");
}

TEST_F(CreateDirectories, AnUnmappedDriveFailsAndReturns)
{
    // Q: is never mapped in the test prefix.
    ASSERT_FALSE(IsFolder(L"Q:\\"));
    std::error_code ec;
    EXPECT_FALSE(fs::create_directories(L"Q:\\data\\x", ec));
    EXPECT_TRUE(ec);
    EXPECT_FALSE(fs::create_directory(L"Q:\\data", ec));
    EXPECT_TRUE(ec);
}

} // namespace
