// The packages under msiexec, Wine's or Windows': install, an upgrade while another
// program holds a handle to the service, an upgrade and a rebuild with a changed agent
// into an administrator's folder, an uninstall after the installed exe was deleted, one
// that fails after the service was removed, and the README's quick start as printed. ORVELLA_PACKAGES is the folder with OrvellaService-1.0.0.msi,
// -1.1.0.msi, -1.1.0-rebuild.msi and -1.1.0-failing-uninstall.msi (see make-packages).
// Where the two answer differently, each test expects the answer of the platform it runs
// on: Wine ends a run that a failed step rolled back with 1627 where Windows answers 1603
// (a refusal is 1603 on both), installs nothing and answers 0 where Windows refuses
// with 1638, and gives services the data folder C:\users\Public\Orvella.

#include "WineTest.h"

#include <gtest/gtest.h>
#include <msi.h>
#include <msiquery.h>

using namespace winetest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const fs::path Exe = L"C:\\Program Files\\Orvella\\OrvellaService.exe";
const fs::path Agent = L"C:\\Program Files\\Orvella\\Kestrune.exe";
const fs::path System32 = L"C:\\windows\\system32";
const DWORD RolledBack = UnderWine() ? 1627 : ERROR_INSTALL_FAILURE;

DWORD Msiexec(std::vector<std::wstring> arguments)
{
    arguments.push_back(L"/qn");
    RunResult result = RunProgram({System32 / L"msiexec.exe", arguments, {}, {}}, 120s);
    return result.timedOut ? WAIT_TIMEOUT : result.exitCode;
}

std::wstring Package(const char* name)
{
    return (FromHostPath(_wgetenv(L"ORVELLA_PACKAGES")) / (std::string("OrvellaService-") + name + ".msi"))
        .wstring();
}

DWORD Msiexec(const wchar_t* action, const char* name)
{
    return Msiexec({action, Package(name)});
}

// Product code and Add/Remove Programs version of each installed product of the package.
std::vector<std::pair<std::wstring, std::string>> Products()
{
    std::vector<std::pair<std::wstring, std::string>> products;
    wchar_t code[39];
    for (DWORD i = 0;
         MsiEnumRelatedProductsW(L"{5B0E7C1A-3D64-4F2B-9C8E-2A71D4E06F93}", 0, i, code) == ERROR_SUCCESS;
         ++i) {
        wchar_t version[64] = L"(no entry)";
        DWORD size = sizeof version;
        RegGetValueW(
            HKEY_LOCAL_MACHINE,
            (std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + code).c_str(),
            L"DisplayVersion", RRF_RT_REG_SZ, nullptr, version, &size);
        products.emplace_back(code, Utf8(version));
    }
    return products;
}

// Empty, with the last error 1060, when nothing is registered.
std::wstring RegisteredPath()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"OrvellaService", SERVICE_QUERY_CONFIG);
    DWORD error = GetLastError();
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    std::wstring path =
        service && QueryServiceConfigW(service, config, 8192, &needed) ? config->lpBinaryPathName : L"";
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    SetLastError(error);
    return path;
}

class Msi : public ::testing::Test {
protected:
    // Wine reports no user session: the stand-in goes where every process finds it,
    // the service started by msiexec included, and Wine's placeholder comes back after.
    // On Windows the system's sessions answer, and system32 is left alone.
    void SetUp() override
    {
        TearDown();
        if (!UnderWine())
            return;
        CopyFileW((System32 / L"wtsapi32.dll").c_str(), (saved.Path() / L"wtsapi32.dll").c_str(), FALSE);
        InstallWtsapiStandIn(System32);
        WriteSessions(System32, "0 Disconnected\n1 Active\n");
    }
    void TearDown() override
    {
        for (const auto& product : Products())
            Msiexec({L"/x", product.first});
        if (UnderWine())
            CopyFileW((saved.Path() / L"wtsapi32.dll").c_str(), (System32 / L"wtsapi32.dll").c_str(), FALSE);
    }
    TempFolder saved{L"msi"};
};

bool OneAgent(const fs::path& agent = Agent)
{
    return WaitFor([&] { return ProcessesOf(agent).size() == 1; }, 10s, 100);
}

bool ServiceRuns()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"OrvellaService", SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    bool runs = service && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return runs;
}

// The first field of the first row the query selects from the package.
std::wstring Select(const std::wstring& package, const std::wstring& query)
{
    MSIHANDLE database = 0, view = 0, record = 0;
    wchar_t field[64] = L"";
    DWORD size = 64;
    MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database);
    MsiDatabaseOpenViewW(database, query.c_str(), &view);
    MsiViewExecute(view, 0);
    if (MsiViewFetch(view, &record) == ERROR_SUCCESS)
        MsiRecordGetStringW(record, 1, field, &size);
    MsiCloseHandle(record);
    MsiCloseHandle(view);
    MsiCloseHandle(database);
    return field;
}

const std::string QuotedExe = Utf8(L"\"" + Exe.wstring() + L"\"");

TEST_F(Msi, FileTableCarriesTheExeVersion)
{
    EXPECT_EQ(
        Utf8(Select(Package("1.1.0"), L"SELECT `Version` FROM `File` WHERE `File`='OrvellaServiceExe'")),
        "1.1.0.0");
}

TEST_F(Msi, UpgradeWhileAHandleIsHeldKeepsTheServiceAndRemovalKeepsOnlyTheDataFolder)
{
    ASSERT_EQ(Msiexec(L"/i", "1.0.0"), 0u);
    EXPECT_EQ(Utf8(RegisteredPath()), QuotedExe);
    EXPECT_TRUE(fs::is_regular_file(Exe.parent_path() / L"THIRD-PARTY-NOTICES.txt"));
    ASSERT_TRUE(OneAgent()) << ProcessesOf(Agent).size();
    ASSERT_EQ(Products().size(), 1u);
    EXPECT_EQ(Products()[0].second, "1.0.0");

    // As services.msc or a monitoring agent would: deleting the service now would only
    // mark it, and it would go once this handle closes.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE held = OpenServiceW(manager, L"OrvellaService", SERVICE_QUERY_STATUS);
    ASSERT_NE(held, nullptr) << GetLastError();
    HANDLE oldAgent = OpenProcess(SYNCHRONIZE, FALSE, ProcessesOf(Agent)[0]);
    EXPECT_EQ(Msiexec(L"/i", "1.1.0"), 0u);
    EXPECT_TRUE(HasEnded(oldAgent)) << "the old service's agent survived the upgrade";
    CloseHandle(oldAgent);
    CloseServiceHandle(held);
    CloseServiceHandle(manager);
    EXPECT_EQ(Utf8(RegisteredPath()), QuotedExe);
    EXPECT_TRUE(ServiceRuns());
    EXPECT_TRUE(OneAgent()) << ProcessesOf(Agent).size();
    ASSERT_EQ(Products().size(), 1u);
    EXPECT_EQ(Products()[0].second, "1.1.0");

    EXPECT_EQ(Msiexec(L"/x", "1.1.0"), 0u);
    EXPECT_EQ(RegisteredPath(), L"");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    EXPECT_TRUE(ProcessesOf(Agent).empty());
    EXPECT_FALSE(IsFolder(Exe.parent_path()));
    // The data folder; services of Wine's service manager see PROGRAMDATA=C:\users\Public.
    EXPECT_TRUE(IsFolder(UnderWine() ? L"C:\\users\\Public\\Orvella" : L"C:\\ProgramData\\Orvella"));
    EXPECT_TRUE(Products().empty());
}

// The uninstall fails after UnregisterService took the service away; its rollback puts the
// files back and registers and starts the service again on them.
TEST_F(Msi, AnUninstallThatFailsAfterTheServiceWentLeavesItRegisteredAndRunning)
{
    ASSERT_EQ(Msiexec(L"/i", "1.1.0-failing-uninstall"), 0u);
    ASSERT_TRUE(OneAgent()) << ProcessesOf(Agent).size();

    EXPECT_EQ(Msiexec({L"/x", Package("1.1.0-failing-uninstall"), L"ORVELLA_TEST_FAIL=1"}), RolledBack);
    EXPECT_EQ(Products().size(), 1u);
    EXPECT_EQ(Utf8(RegisteredPath()), QuotedExe);
    EXPECT_TRUE(ServiceRuns());
    EXPECT_TRUE(OneAgent()) << ProcessesOf(Agent).size();
    // Another package with the installed product code: Windows refuses it.
    EXPECT_EQ(Msiexec(L"/i", "1.1.0"), UnderWine() ? 0u : DWORD{ERROR_PRODUCT_VERSION});
}

// The installed product's cached package, which its removal runs from, with a
// registration that fails: an upgrade that ran the older build's registration would fail.
void BreakRegistrationOf(const std::wstring& product)
{
    wchar_t cached[MAX_PATH] = L"";
    DWORD size = MAX_PATH;
    MSIHANDLE database = 0, view = 0;
    ASSERT_EQ(MsiGetProductInfoW(product.c_str(), L"LocalPackage", cached, &size), 0u);
    ASSERT_EQ(MsiOpenDatabaseW(cached, MSIDBOPEN_TRANSACT, &database), 0u) << Utf8(cached);
    EXPECT_EQ(
        MsiDatabaseOpenViewW(
            database, L"UPDATE `CustomAction` SET `Target`='--fail' WHERE `Action`='RegisterService'", &view),
        0u);
    EXPECT_EQ(MsiViewExecute(view, 0), 0u);
    EXPECT_EQ(MsiDatabaseCommit(database), 0u);
    MsiCloseHandle(view);
    MsiCloseHandle(database);
}

// An administrator's folder is kept by the upgrade and the rebuild run without it, and
// neither runs the replaced build's registration; that build's code is then unknown.
TEST_F(Msi, UpgradesKeepTheInstalledFolderAndNeverRunTheReplacedBuildsRegistration)
{
    const fs::path folder = L"C:\\Orv";
    ASSERT_EQ(Msiexec({L"/i", Package("1.0.0"), L"INSTALLFOLDER=C:\\Orv\\"}), 0u);
    const std::string quoted = Utf8(L"\"" + (folder / L"OrvellaService.exe").wstring() + L"\"");
    ASSERT_EQ(Utf8(RegisteredPath()), quoted);
    ASSERT_EQ(Products().size(), 1u);
    ASSERT_TRUE(OneAgent(folder / L"Kestrune.exe"));
    const std::wstring replaced = Products()[0].first;
    BreakRegistrationOf(replaced);
    // Into another folder the replaced build would leave its files behind: refused.
    EXPECT_EQ(Msiexec({L"/i", Package("1.1.0"), L"INSTALLFOLDER=C:\\Other"}), DWORD{ERROR_INSTALL_FAILURE});

    // The rebuild carries a changed agent, so it is another product, which replaces the
    // installed build through the Upgrade row as an upgrade does.
    for (const char* build : {"1.1.0", "1.1.0-rebuild"}) {
        HANDLE oldAgent = OpenProcess(SYNCHRONIZE, FALSE, ProcessesOf(folder / L"Kestrune.exe").at(0));
        EXPECT_EQ(Msiexec(L"/i", build), 0u) << build;
        EXPECT_TRUE(HasEnded(oldAgent)) << build << " did not stop the service";
        CloseHandle(oldAgent);
        EXPECT_EQ(Utf8(RegisteredPath()), quoted) << build;
        EXPECT_TRUE(ServiceRuns()) << build;
        EXPECT_TRUE(OneAgent(folder / L"Kestrune.exe")) << build;
        ASSERT_EQ(Products().size(), 1u) << build;
        EXPECT_EQ(Products()[0].second, "1.1.0");
    }
    EXPECT_EQ(
        Products()[0].first,
        Select(Package("1.1.0-rebuild"), L"SELECT `Value` FROM `Property` WHERE `Property`='ProductCode'"));
    // Only the installed build may be reinstalled.
    EXPECT_EQ(Msiexec({L"/i", Package("1.1.0"), L"REINSTALL=ALL", L"REINSTALLMODE=vamus"}),
              DWORD{ERROR_INSTALL_FAILURE});
    // The same folder, named otherwise, is the installed one.
    EXPECT_EQ(Msiexec({L"/i", Package("1.1.0-rebuild"), L"INSTALLFOLDER=c:\\orv"}), 0u);
    EXPECT_EQ(fs::file_size(folder / L"Kestrune.exe"), fs::file_size(FixturesFolder() / L"Kestrune.exe") + 1);
    EXPECT_FALSE(IsFolder(Exe.parent_path()));
    EXPECT_EQ(Msiexec({L"/x", replaced}), DWORD{ERROR_UNKNOWN_PRODUCT});
    EXPECT_TRUE(ServiceRuns());

    EXPECT_EQ(Msiexec(L"/x", "1.1.0-rebuild"), 0u);
    EXPECT_EQ(RegisteredPath(), L"");
    for (const wchar_t* file : {L"OrvellaService.exe", L"Kestrune.exe", L"THIRD-PARTY-NOTICES.txt"})
        EXPECT_FALSE(fs::exists(folder / file)) << Utf8(file);
}

TEST_F(Msi, UninstallAfterTheExeWasDeletedRemovesTheService)
{
    ASSERT_EQ(Msiexec(L"/i", "1.0.0"), 0u);
    ASSERT_TRUE(OneAgent()) << ProcessesOf(Agent).size();
    // A running image cannot be deleted: stop the service as a quarantine would.
    ASSERT_EQ(RunProgram({ProductExe(), {L"--prepare-update", Exe.wstring(), L"NUL"}, {}, {}}, 60s).exitCode,
              0u);
    ASSERT_TRUE(DeleteFileW(Exe.c_str())) << GetLastError();

    EXPECT_EQ(Msiexec(L"/x", "1.0.0"), 0u);
    EXPECT_TRUE(Products().empty());
    EXPECT_EQ(RegisteredPath(), L"");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    EXPECT_TRUE(ProcessesOf(Agent).empty());
}

// The last line a batch printed: cmd echoes each command before it.
std::string LastLine(const std::string& output)
{
    const size_t end = output.find_last_not_of("\r\n");
    return end == std::string::npos
        ? ""
        : output.substr(output.rfind('\n', end) + 1, end - output.rfind('\n', end));
}

// The README's quick start as printed, in its order: the MSI (in the packages' folder),
// the check and the removal with the installed product code put in; then the same
// without the package, the exe and agent copied where the commands name them.
TEST_F(Msi, TheReadmesQuickStartRunsAsPrinted)
{
    const fs::path source = FromHostPath(_wgetenv(L"ORVELLA_SOURCE"));
    const auto blocks = BatBlocks(source / L"README.md");
    ASSERT_EQ(blocks.size(), 5u) << "install with the MSI or without, check, remove either";
    const fs::path packages = fs::path(Package("1.1.0")).parent_path();
    const auto check = [&] {
        const RunResult checked = RunBatch(blocks[2], packages);
        EXPECT_EQ(checked.exitCode, 0u);
        EXPECT_EQ(LastLine(checked.output), "Orvella native service self-test passed");
    };

    EXPECT_EQ(LastLine(RunBatch(blocks[0], packages).output), "0");
    ASSERT_EQ(Products().size(), 1u);
    EXPECT_TRUE(OneAgent());
    check();
    std::vector<std::string> msiRemoval = blocks[3];
    msiRemoval[0].replace(msiRemoval[0].find("{ProductCode}"), 13, Utf8(Products()[0].first));
    EXPECT_EQ(RunBatch(msiRemoval, packages).exitCode, 0u);
    EXPECT_TRUE(Products().empty());
    EXPECT_EQ(RegisteredPath(), L"");

    CopyExeAndAgentTo(Exe.parent_path());
    EXPECT_EQ(LastLine(RunBatch(blocks[1], packages).output), "0");
    EXPECT_EQ(Utf8(RegisteredPath()), QuotedExe);
    check();
    EXPECT_EQ(RunBatch(blocks[4], packages).exitCode, 0u);
    EXPECT_EQ(RegisteredPath(), L"");
    EXPECT_TRUE(WaitFor([] { return ProcessesOf(Agent).empty(); }, 10s, 100));
    fs::remove_all(Exe.parent_path());

    // The deployment guide's silent install and removal, logged, with the package's code.
    std::vector<std::string> silent = BatBlocks(source / L"docs" / L"deployment.md").at(0);
    const std::wstring code =
        Select(Package("1.1.0"), L"SELECT `Value` FROM `Property` WHERE `Property`='ProductCode'");
    silent[1].replace(silent[1].find("{ProductCode}"), 13, Utf8(code));
    EXPECT_EQ(RunBatch(silent, packages).exitCode, 0u);
    EXPECT_TRUE(Products().empty());
    EXPECT_EQ(RegisteredPath(), L"");
}

} // namespace
