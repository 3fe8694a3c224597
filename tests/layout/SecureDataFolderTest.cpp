#include "HostTest.h"

#include "layout/Paths.h"

#include <set>

namespace fs = std::filesystem;

namespace {

using Names = std::set<std::string>;
const std::wstring User = L"S-1-5-21-1111-2222-3333-1001";

// Symbolic links stand for junctions here; the stand-in reports them as reparse points.
class SecureDataFolderTest : public HostTest {
protected:
    fs::path Folder() const { return dataRoot / "Orvella"; }

    static Names In(const fs::path& folder)
    {
        Names names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }

    static std::wstring Applied(const fs::path& path)
    {
        auto it = model::AppliedSecurity().find(path.wstring());
        return it == model::AppliedSecurity().end() ? L"(none)" : it->second;
    }

    static void Plant(const fs::path& file, const std::wstring& owner = L"BA")
    {
        std::ofstream(file) << file.filename().string();
        model::SetOwner(file.wstring(), owner);
    }

    // Made by this step with the protected list, given to the administrators, and the
    // only thing whose security changed.
    void ExpectOnlyAFreshFolder()
    {
        EXPECT_TRUE(In(Folder()).empty());
        EXPECT_EQ(model::CreatedFolders().at(Folder().wstring()),
                  std::optional<std::wstring>(DataFolderDacl));
        EXPECT_EQ(Applied(Folder()), std::wstring(L"O:BA") + DataFolderDacl);
        EXPECT_EQ(model::AppliedSecurity().size(), 1u);
    }
};

TEST_F(SecureDataFolderTest, AMissingFolderIsCreatedProtectedAndOwnedByTheAdministrators)
{
    EXPECT_EQ(SecureDataFolder(), 0u);
    ExpectOnlyAFreshFolder();
    EXPECT_EQ(model::OwnerOf(Folder().wstring()), L"BA");
}

TEST_F(SecureDataFolderTest, AFolderAUserOwnsIsMovedAsideWholeToTheFirstFreeName)
{
    fs::create_directories(Folder());
    Plant(Folder() / "device.json");
    model::SetOwner(Folder().wstring(), User);
    fs::create_directories(dataRoot / "Orvella.untrusted-1"); // left by an earlier installation

    EXPECT_EQ(SecureDataFolder(), 0u);

    EXPECT_EQ(In(dataRoot), (Names{"Orvella", "Orvella.untrusted-1", "Orvella.untrusted-2"}));
    EXPECT_EQ(In(dataRoot / "Orvella.untrusted-2"), Names{"device.json"});
    EXPECT_EQ(model::OwnerOf((dataRoot / "Orvella.untrusted-2").wstring()), User);
    ExpectOnlyAFreshFolder();
}

TEST_F(SecureDataFolderTest, AnAdministratorsFolderKeepsWhatIsTrustedAndMovesAsideTheRest)
{
    const fs::path outside = root / "outside";
    fs::create_directories(outside);
    Plant(outside / "system.ini");
    fs::create_directories(Folder() / "cache");
    Plant(Folder() / "settings.json");
    Plant(Folder() / "cache" / "state.bin");
    Plant(Folder() / "device.json", User);
    Plant(Folder() / "cache" / "planted", User);
    fs::create_directory_symlink(outside, Folder() / "logs");
    fs::create_hard_link(outside / "system.ini", Folder() / "agent.ini");

    EXPECT_EQ(SecureDataFolder(), 0u);

    EXPECT_EQ(In(Folder()),
              (Names{"agent.ini.untrusted-1", "cache", "device.json.untrusted-1", "logs.untrusted-1",
                     "settings.json"}));
    EXPECT_EQ(In(Folder() / "cache"), (Names{"planted.untrusted-1", "state.bin"}));
    EXPECT_EQ(In(outside), Names{"system.ini"});
    // Security changed on exactly these: nothing moved aside, outside or behind a link.
    EXPECT_EQ(model::AppliedSecurity().size(), 4u);
    EXPECT_EQ(Applied(Folder()), std::wstring(L"O:BA") + DataFolderDacl);
    EXPECT_EQ(Applied(Folder() / "cache"), InheritedFolderSecurity);
    EXPECT_EQ(Applied(Folder() / "settings.json"), InheritedFileSecurity);
    EXPECT_EQ(Applied(Folder() / "cache" / "state.bin"), InheritedFileSecurity);
}

TEST_F(SecureDataFolderTest, ADataFolderThatIsAJunctionIsRenamedAndNeverFollowed)
{
    const fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere / "inside");
    Plant(elsewhere / "device.json");
    fs::create_directory_symlink(elsewhere, Folder());

    EXPECT_EQ(SecureDataFolder(), 0u);

    EXPECT_EQ(fs::read_symlink(dataRoot / "Orvella.untrusted-1"), elsewhere);
    EXPECT_EQ(In(elsewhere), (Names{"device.json", "inside"}));
    ExpectOnlyAFreshFolder();
}

} // namespace
