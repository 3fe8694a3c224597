#include "HostTest.h"

#include "layout/Paths.h"

#include <set>

namespace fs = std::filesystem;

namespace {

const std::wstring User = L"S-1-5-21-1111-2222-3333-1001";

// Symbolic links stand for junctions here; the stand-in reports them as reparse points.
class SecureDataFolderTest : public HostTest {
protected:
    fs::path Folder() const { return dataRoot / "Orvella"; }

    static std::set<std::string> Names(const fs::path& folder)
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }

    static std::optional<std::wstring> Applied(const fs::path& path)
    {
        auto it = model::AppliedSecurity().find(path.lexically_normal().wstring());
        return it == model::AppliedSecurity().end() ? std::nullopt : std::optional(it->second);
    }

    static std::string Text(const fs::path& file)
    {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static void Plant(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

    // A fresh data folder, made by this step with the protected list and given to the
    // administrators.
    void ExpectFreshFolder()
    {
        EXPECT_TRUE(fs::is_directory(fs::symlink_status(Folder())));
        EXPECT_TRUE(Names(Folder()).empty());
        EXPECT_EQ(model::CreatedFolders().at(Folder().wstring()),
                  std::optional<std::wstring>(DataFolderDacl));
        EXPECT_EQ(Applied(Folder()), std::wstring(L"O:BA") + DataFolderDacl);
        EXPECT_EQ(model::OwnerOf(Folder().wstring()), L"BA");
    }
};

TEST_F(SecureDataFolderTest, AMissingFolderIsCreatedProtectedAndOwnedByTheAdministrators)
{
    EXPECT_EQ(SecureDataFolder(), 0u);

    ExpectFreshFolder();
    EXPECT_EQ(model::AppliedSecurity().size(), 1u);
}

TEST_F(SecureDataFolderTest, AFolderAUserOwnsIsMovedAsideWholeToTheFirstFreeName)
{
    fs::create_directories(Folder());
    Plant(Folder() / "device.json", "planted");
    model::SetOwner(Folder().wstring(), User);
    fs::create_directories(dataRoot / "Orvella.untrusted-1"); // left from an earlier install

    EXPECT_EQ(SecureDataFolder(), 0u);

    const fs::path aside = dataRoot / "Orvella.untrusted-2";
    EXPECT_EQ(Text(aside / "device.json"), "planted");
    EXPECT_EQ(model::OwnerOf(aside.wstring()), User);
    EXPECT_FALSE(Applied(aside)) << "what is moved aside keeps its security for the review";
    EXPECT_EQ(Names(dataRoot),
              (std::set<std::string>{"Orvella", "Orvella.untrusted-1", "Orvella.untrusted-2"}));
    ExpectFreshFolder();
}

TEST_F(SecureDataFolderTest, AnAdministratorsFolderKeepsWhatIsTrustedAndMovesAsideTheRest)
{
    const fs::path outside = root / "outside";
    fs::create_directories(outside);
    Plant(outside / "system.ini", "outside");
    fs::create_directories(Folder() / "cache");
    Plant(Folder() / "settings.json", "kept");
    Plant(Folder() / "cache" / "state.bin", "kept");
    Plant(Folder() / "device.json", "planted");
    model::SetOwner((Folder() / "device.json").wstring(), User);
    Plant(Folder() / "cache" / "planted", "planted");
    model::SetOwner((Folder() / "cache" / "planted").wstring(), User);
    fs::create_directory_symlink(outside, Folder() / "logs");
    fs::create_hard_link(outside / "system.ini", Folder() / "agent.ini");

    EXPECT_EQ(SecureDataFolder(), 0u);

    EXPECT_EQ(Names(Folder()),
              (std::set<std::string>{"agent.ini.untrusted-1", "cache", "device.json.untrusted-1",
                                     "logs.untrusted-1", "settings.json"}));
    EXPECT_EQ(Names(Folder() / "cache"), (std::set<std::string>{"planted.untrusted-1", "state.bin"}));
    EXPECT_EQ(Text(Folder() / "device.json.untrusted-1"), "planted");
    EXPECT_TRUE(fs::is_symlink(Folder() / "logs.untrusted-1"));
    EXPECT_EQ(Names(outside), (std::set<std::string>{"system.ini"}));

    EXPECT_EQ(Applied(Folder()), std::wstring(L"O:BA") + DataFolderDacl);
    EXPECT_EQ(Applied(Folder() / "cache"), std::wstring(InheritedFolderSecurity));
    EXPECT_EQ(Applied(Folder() / "settings.json"), std::wstring(InheritedFileSecurity));
    EXPECT_EQ(Applied(Folder() / "cache" / "state.bin"), std::wstring(InheritedFileSecurity));
    // Nothing moved aside, nothing outside, and nothing behind a link changed its security.
    EXPECT_EQ(model::AppliedSecurity().size(), 4u);
    EXPECT_TRUE(model::CreatedFolders().empty());
}

TEST_F(SecureDataFolderTest, ADataFolderThatIsAJunctionIsRenamedAndNeverFollowed)
{
    const fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere / "inside");
    Plant(elsewhere / "device.json", "planted");
    fs::create_directory_symlink(elsewhere, Folder());

    EXPECT_EQ(SecureDataFolder(), 0u);

    EXPECT_EQ(fs::read_symlink(dataRoot / "Orvella.untrusted-1"), elsewhere);
    EXPECT_EQ(Names(elsewhere), (std::set<std::string>{"device.json", "inside"}));
    ExpectFreshFolder();
    EXPECT_EQ(model::AppliedSecurity().size(), 1u);
}

} // namespace
