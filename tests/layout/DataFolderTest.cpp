#include "HostTest.h"

#include "layout/DataFolder.h"
#include "layout/Paths.h"

#include <cwchar>
#include <functional>
#include <set>

namespace fs = std::filesystem;

namespace {

using Names = std::set<std::string>;
const std::wstring User = L"S-1-5-21-1111-2222-3333-1001";
// Users may add, write and delete here and read what an administrator puts here, as
// ProgramData's inherited list lets them.
const std::wstring UsersMayWrite =
    L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;CI;0x1301bf;;;BU)";
// Where this install (at the virtual clock's start) moves what it does not trust.
const std::string Aside = "Orvella.untrusted-20261210T143000Z";

// Symbolic links stand for junctions here; opened as themselves they show a reparse point.
class DataFolderTest : public HostTest {
public:
    fs::path Folder() const { return dataRoot / "Orvella"; }
    fs::path Outside() const { return root / "outside"; }

    static Names In(const fs::path& folder)
    {
        Names names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }

    static void Plant(const fs::path& file, const std::wstring& owner = L"BA")
    {
        std::ofstream(file) << file.filename().string();
        model::SetOwner(file.wstring(), owner);
    }

    // What every install leaves: a plain folder of the administrators with the protected
    // list, which the launch accepts.
    void ExpectASafeFolder()
    {
        EXPECT_FALSE(fs::is_symlink(fs::symlink_status(Folder())));
        EXPECT_EQ(model::AppliedSecurity().at(Folder().wstring()),
                  std::wstring(L"O:BA") + DataFolderSecurity);
        EXPECT_EQ(model::OwnerOf(Folder().wstring()), L"BA");
        EXPECT_TRUE(DataFolderIsSafe(dataRoot));
    }
};

// ---- What stands at the folder's name --------------------------------------------------------

struct AtTheNameRow {
    const char* name;
    std::function<void(DataFolderTest&)> arrange;
    bool launchAccepts;
    bool asideMade;   // by the install, beside the data folder
    Names keptInside; // after the install
};

void PrintTo(const AtTheNameRow& row, std::ostream* out)
{
    *out << row.name;
}

class AtTheName : public DataFolderTest, public ::testing::WithParamInterface<AtTheNameRow> {
protected:
    void SetUp() override
    {
        DataFolderTest::SetUp();
        GetParam().arrange(*this);
    }
};

TEST_P(AtTheName, TheLaunchAcceptsOnlyWhatNoUserCanChange)
{
    EXPECT_EQ(DataFolderIsSafe(dataRoot), GetParam().launchAccepts);
    // Nothing is ever made where a link points.
    EXPECT_FALSE(fs::exists(Outside() / "target"));
}

TEST_P(AtTheName, TheInstallLeavesAFolderTheLaunchAcceptsAndDeletesNothing)
{
    const bool wasLink = fs::is_symlink(fs::symlink_status(Folder()));

    EXPECT_EQ(SecureDataFolder(), 0u);

    ExpectASafeFolder();
    EXPECT_EQ(In(Folder()), GetParam().keptInside);
    const Names expected = GetParam().asideMade ? Names{"Orvella", Aside} : Names{"Orvella"};
    EXPECT_EQ(In(dataRoot), expected);
    EXPECT_EQ(fs::is_symlink(fs::symlink_status(dataRoot / Aside)), wasLink);
    EXPECT_FALSE(fs::exists(Outside() / "target"));
    EXPECT_EQ(model::AppliedSecurity().count((Outside() / "kept").wstring()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AtTheName,
    ::testing::Values(
        AtTheNameRow{"Missing", [](DataFolderTest&) {}, true, false, {}},
        AtTheNameRow{"DanglingJunction",
                     [](DataFolderTest& t) {
                         fs::create_directories(t.Outside());
                         fs::create_directory_symlink(t.Outside() / "target", t.Folder());
                     },
                     false,
                     true,
                     {}},
        AtTheNameRow{"JunctionToAFolder",
                     [](DataFolderTest& t) {
                         fs::create_directories(t.Outside() / "kept");
                         fs::create_directory_symlink(t.Outside() / "kept", t.Folder());
                     },
                     false,
                     true,
                     {}},
        AtTheNameRow{"File", [](DataFolderTest& t) { DataFolderTest::Plant(t.Folder()); }, false, true, {}},
        AtTheNameRow{"FolderAUserOwns",
                     [](DataFolderTest& t) {
                         fs::create_directories(t.Folder());
                         DataFolderTest::Plant(t.Folder() / "device.json", User);
                         model::SetOwner(t.Folder().wstring(), User);
                     },
                     false,
                     true,
                     {}},
        // An older build's folder under the inherited list: replaced, its configuration kept.
        AtTheNameRow{"AdministratorsFolderUsersMayWriteTo",
                     [](DataFolderTest& t) {
                         fs::create_directories(t.Folder());
                         model::SetSecurity(t.Folder().wstring(), UsersMayWrite);
                         DataFolderTest::Plant(t.Folder() / "device.json");
                     },
                     false,
                     true,
                     {"device.json"}},
        AtTheNameRow{"AdministratorsFolderWithAUsersConfiguration",
                     [](DataFolderTest& t) {
                         fs::create_directories(t.Folder());
                         model::SetSecurity(t.Folder().wstring(), UsersMayWrite);
                         DataFolderTest::Plant(t.Folder() / "device.json", User);
                     },
                     false,
                     true,
                     {}},
        AtTheNameRow{"FolderTheServiceMade", [](DataFolderTest&) { GetConfigPath(); }, true, false, {}},
        // An administrator's unelevated programs could change what their own user owns.
        AtTheNameRow{"FolderAnAdministratorsOwnUserMade",
                     [](DataFolderTest&) {
                         model::SetProcessUser(User);
                         GetConfigPath();
                     },
                     false,
                     true,
                     {}},
        AtTheNameRow{"ConfigurationAUserOwnsInTheServicesFolder",
                     [](DataFolderTest& t) {
                         GetConfigPath();
                         DataFolderTest::Plant(t.Folder() / "device.json", User);
                     },
                     false,
                     true,
                     {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Any one right to change it, granted to anyone else in any kind of allow entry, or no
// list at all, makes a folder the launch refuses; reading does not.
TEST_F(DataFolderTest, EveryRightToChangeItAndEveryKindOfAllowEntryCounts)
{
    GetConfigPath();
    const std::wstring trusted = L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    std::vector<std::pair<std::wstring, bool>> lists = {
        {L"D:" + trusted + L"(A;;0x1200a9;;;BU)", true}, {L"O:BA", false},
        {L"D:" + trusted + L"(XA;;FA;;;SY)", true},      {L"D:" + trusted + L"(OA;;0x2;;;SY)", false},
        {L"D:" + trusted + L"(ZA;;0x2;;;SY)", false},    {L"D:" + trusted + L"(4;;0x2;;;SY)", false}};
    for (DWORD right : std::vector<DWORD>{FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_WRITE_EA, FILE_DELETE_CHILD,
                                          FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC, WRITE_OWNER,
                                          GENERIC_WRITE, GENERIC_ALL, MAXIMUM_ALLOWED}) {
        wchar_t entry[32];
        std::swprintf(entry, 32, L"(A;;0x%x;;;BU)", right);
        lists.push_back({L"D:" + trusted + entry, false});
    }
    for (const auto& [list, accepted] : lists) {
        model::SetSecurity(Folder().wstring(), list);
        EXPECT_EQ(DataFolderIsSafe(dataRoot), accepted) << std::string(list.begin(), list.end());
    }
}

// Nothing a standard user may open is left: no user can hold, lock or oplock anything the
// agent reads. One an older build made readable to Users, where a user may still hold a
// file open, moves aside whole, and a copy of its configuration comes along.
TEST_F(DataFolderTest, NoStandardUserMayOpenWhatTheInstallLeaves)
{
    EXPECT_EQ(SecureDataFolder(), 0u);
    EXPECT_FALSE(model::UserMayOpen(User, Folder().wstring()));

    model::SetSecurity(Folder().wstring(), L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
    Plant(Folder() / "device.json");
    model::SetSecurity((Folder() / "device.json").wstring(), L"D:AI(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)");
    EXPECT_EQ(SecureDataFolder(), 0u);
    for (const fs::path& path : {Folder(), Folder() / "device.json"})
        EXPECT_FALSE(model::UserMayOpen(User, path.wstring())) << path;
    EXPECT_EQ(In(dataRoot), (Names{"Orvella", Aside}));
    EXPECT_EQ(In(dataRoot / Aside), Names{"device.json"});
}

// A user who takes the name again each time theirs is moved aside must win every try.
TEST_F(DataFolderTest, AUserWhoTakesTheNameAgainMustWinEveryTryToFailTheInstall)
{
    for (int wins : {2, 3}) {
        fs::remove_all(dataRoot);
        fs::create_directories(Folder());
        model::SetOwner(Folder().wstring(), User);
        // Spelled otherwise each time: names are the same whatever their case.
        std::function<void(const fs::path&, int)> retake = [&](const fs::path& taken, int left) {
            model::WhenMoved(taken.wstring(), [&, left] {
                const fs::path again = dataRoot / (left % 2 ? "ORVELLA" : "orvella");
                fs::create_directory(again);
                model::SetOwner(again.wstring(), User);
                if (left > 1)
                    retake(again, left - 1);
            });
        };
        retake(Folder(), wins);

        EXPECT_EQ(SecureDataFolder(), wins == 3 ? DWORD{ERROR_ALREADY_EXISTS} : 0u) << wins;
        EXPECT_EQ(DataFolderIsSafe(dataRoot), wins < 3) << wins;
    }
}

// A rename waits for the break of a user's oplock; the installation waits 30 s at most,
// then moves nothing more and leaves what it found where it was.
TEST_F(DataFolderTest, AnOplockNeverAcknowledgedFailsTheInstallAtItsDeadline)
{
    fs::create_directories(Folder());
    model::SetOwner(Folder().wstring(), User);
    model::HoldOplock(Folder().wstring());
    const ULONGLONG started = model::Now();

    EXPECT_EQ(SecureDataFolder(), DWORD{ERROR_TIMEOUT});
    EXPECT_GE(model::Now(), started + 30000);
    EXPECT_LE(model::Now(), started + 30200);
    EXPECT_EQ(model::OwnerOf(Folder().wstring()), User);
    EXPECT_EQ(In(dataRoot), (Names{"Orvella", "Orvella.new-20261210T143000Z"}));

    // One its holder lets go of in time is moved aside as ever.
    model::At(model::Now() + 5000, [this] { model::ReleaseOplock(Folder().wstring()); });
    EXPECT_EQ(SecureDataFolder(), 0u);
    EXPECT_EQ(model::OwnerOf((dataRoot / "Orvella.untrusted-20261210T143030Z").wstring()), User);
}

// Whoever could change the folder may still hold a handle that no new list takes back:
// it is replaced, and only a configuration nobody else could change comes along.
TEST_F(DataFolderTest, AFolderUsersCouldChangeIsReplacedAndOnlyATrustedConfigurationComesAlong)
{
    fs::create_directories(Folder() / "cache");
    model::SetSecurity(Folder().wstring(), UsersMayWrite);
    Plant(Folder() / "device.json", L"SY");
    Plant(Folder() / "late.json", User);
    // Windows renames no folder with anything open below it: nothing moves at all.
    HANDLE reader = CreateFileW((Folder() / "device.json").wstring().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(SecureDataFolder(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(In(dataRoot), (Names{"Orvella", "Orvella.new-20261210T143000Z"})) << "only a copy is made";
    CloseHandleAndForget(reader);

    EXPECT_EQ(SecureDataFolder(), 0u);

    EXPECT_EQ(In(Folder()), Names{"device.json"});
    EXPECT_EQ(model::OwnerOf((Folder() / "device.json").wstring()), L"BA");
    EXPECT_EQ(model::AppliedSecurity().at((Folder() / "device.json").wstring()), InheritedFileSecurity);
    EXPECT_EQ(In(dataRoot / Aside), (Names{"cache", "device.json", "late.json"}));
}

// A folder's list is set before it is listed: whatever appears until then is judged too.
TEST_F(DataFolderTest, WhatAppearsWhileTheListIsSetIsStillJudged)
{
    GetConfigPath();
    model::WhenSecuritySet(Folder().wstring(), [this] { Plant(Folder() / "late.json", User); });

    EXPECT_EQ(SecureDataFolder(), 0u);

    EXPECT_TRUE(In(Folder()).empty());
    EXPECT_EQ(In(dataRoot / Aside), Names{"late.json"});
    EXPECT_EQ(model::CreatedFolders().at((dataRoot / Aside).wstring()),
              std::optional<std::wstring>(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
}

// ---- The walk -------------------------------------------------------------------------------

TEST_F(DataFolderTest, ASubfolderTurnedIntoAJunctionAfterItsSecurityIsSetIsNotEntered)
{
    GetConfigPath();
    fs::create_directories(Folder() / "cache");
    fs::create_directories(Outside());
    Plant(Outside() / "machine.key", L"SY");
    model::WhenSecuritySet((Folder() / "cache").wstring(), [this] {
        fs::remove(Folder() / "cache");
        fs::create_directory_symlink(Outside(), Folder() / "cache");
    });

    EXPECT_EQ(SecureDataFolder(), 0u);

    EXPECT_EQ(model::OwnerOf((Outside() / "machine.key").wstring()), L"SY");
    EXPECT_EQ(model::AppliedSecurity().count((Outside() / "machine.key").wstring()), 0u);
    EXPECT_EQ(model::AppliedSecurity().size(), 2u) << "the data folder and cache only";
}

TEST_F(DataFolderTest, AReaderOfAKeptFileCannotFailTheInstallButOneHoldingAPlantCan)
{
    GetConfigPath();
    Plant(Folder() / "device.json");
    HANDLE reader = CreateFileW((Folder() / "device.json").wstring().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);

    EXPECT_EQ(SecureDataFolder(), 0u);
    EXPECT_EQ(model::AppliedSecurity().at((Folder() / "device.json").wstring()), InheritedFileSecurity);

    model::SetOwner((Folder() / "device.json").wstring(), User);
    EXPECT_EQ(SecureDataFolder(), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_TRUE(fs::exists(Folder() / "device.json"));
    CloseHandleAndForget(reader);
}

TEST_F(DataFolderTest, EveryEntryAUserCouldChangeLeavesTheFolderWhateverItsName)
{
    GetConfigPath();
    fs::create_directories(Folder() / "cache");
    fs::create_directories(Outside());
    Plant(Outside() / "system.ini", L"SY");
    fs::create_hard_link(Outside() / "system.ini", Folder() / "agent.ini");
    Plant(Folder() / "settings.json");
    model::SetSecurity((Folder() / "settings.json").wstring(), UsersMayWrite);
    Plant(Folder() / "cache" / "planted.", User); // Win32 would open "planted" instead
    Plant(Folder() / "cache" / "settings.json", User);
    Plant(Folder() / "locked", User);
    model::SetFileOpenError((Folder() / "locked").wstring(), ERROR_ACCESS_DENIED); // its list shuts us out
    fs::create_directories(dataRoot / Aside);                                      // taken in advance
    fs::create_directories(dataRoot / "Orvella.untrusted-1");                      // an older scheme's name

    EXPECT_EQ(SecureDataFolder(), 0u);

    EXPECT_EQ(In(Folder()), Names{"cache"});
    EXPECT_TRUE(In(Folder() / "cache").empty());
    EXPECT_EQ(In(dataRoot / (Aside + "-2")),
              (Names{"agent.ini", "locked", "planted.", "settings.json", "settings.json-2"}));
    EXPECT_EQ(model::OwnerOf((dataRoot / (Aside + "-2") / "planted.").wstring()), User);
    EXPECT_EQ(model::OwnerOf((Outside() / "system.ini").wstring()), L"SY");
}

TEST_F(DataFolderTest, AnEntryThatCannotBeOpenedFailsTheInstallWithItsError)
{
    GetConfigPath();
    Plant(Folder() / "odd", User);
    model::SetFileOpenError((Folder() / "odd").wstring(), ERROR_INVALID_NAME);

    EXPECT_EQ(SecureDataFolder(), DWORD{ERROR_INVALID_NAME});
    EXPECT_TRUE(fs::exists(Folder() / "odd"));
}

} // namespace
