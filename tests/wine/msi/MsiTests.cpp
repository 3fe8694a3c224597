// The MSI packages under Wine's msiexec: a first install, a major upgrade over the
// running service and the removal, each read back from the service manager, the
// process list, the Add/Remove Programs entries and the disk.
//   ORVELLA_PACKAGES  the folder with OrvellaService-1.0.0.msi and OrvellaService-1.1.0.msi

#include "WineTest.h"

#include <gtest/gtest.h>

using namespace winetest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const fs::path InstallFolder = L"C:\\Program Files\\Orvella";
const fs::path InstalledExe = InstallFolder / L"OrvellaService.exe";
const fs::path InstalledAgent = InstallFolder / L"Kestrune.exe";
const fs::path System32 = L"C:\\windows\\system32";
const wchar_t UninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

fs::path Package(const wchar_t* version)
{
    wchar_t folder[MAX_PATH * 2];
    DWORD length = GetEnvironmentVariableW(L"ORVELLA_PACKAGES", folder, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2)
        throw std::runtime_error("ORVELLA_PACKAGES is not set");
    return FromHostPath(folder) / (std::wstring(L"OrvellaService-") + version + L".msi");
}

DWORD Msiexec(const std::wstring& action, const std::wstring& package)
{
    RunOptions options;
    options.program = System32 / L"msiexec.exe";
    options.arguments = {action, package, L"/qn"};
    RunResult result = RunProgram(options, 120s);
    EXPECT_FALSE(result.timedOut) << "msiexec " << Utf8(action) << " " << Utf8(package);
    return result.exitCode;
}

struct ProductEntry {
    std::wstring productCode;   // the entry's key name
    std::string version;
    std::string publisher;
};

std::wstring ReadValue(HKEY key, const wchar_t* name)
{
    wchar_t value[256] = {};
    DWORD size = sizeof value - sizeof value[0];
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return std::wstring();
    return value;
}

// The Add/Remove Programs entries named "Orvella Service".
std::vector<ProductEntry> ProductEntries()
{
    std::vector<ProductEntry> entries;
    HKEY uninstall = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UninstallKey, 0, KEY_READ | KEY_WOW64_64KEY, &uninstall)
        != ERROR_SUCCESS)
        return entries;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name / sizeof name[0];
        if (RegEnumKeyExW(uninstall, index, name, &length, nullptr, nullptr, nullptr, nullptr)
            != ERROR_SUCCESS)
            break;
        HKEY entry = nullptr;
        if (RegOpenKeyExW(uninstall, name, 0, KEY_READ | KEY_WOW64_64KEY, &entry) != ERROR_SUCCESS)
            continue;
        if (ReadValue(entry, L"DisplayName") == L"Orvella Service")
            entries.push_back({name, Utf8(ReadValue(entry, L"DisplayVersion")),
                               Utf8(ReadValue(entry, L"Publisher"))});
        RegCloseKey(entry);
    }
    RegCloseKey(uninstall);
    return entries;
}

std::vector<std::string> ProductVersions()
{
    std::vector<std::string> versions;
    for (const ProductEntry& entry : ProductEntries())
        versions.push_back(entry.version);
    return versions;
}

// The registered binary path; empty with GetLastError() 1060 when not installed.
std::wstring RegisteredBinaryPath()
{
    std::wstring path;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"OrvellaService", SERVICE_QUERY_CONFIG)
                                : nullptr;
    DWORD error = GetLastError();
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (service && QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
        path = config->lpBinaryPathName;
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    SetLastError(error);
    return path;
}

bool ExactlyOneAgent()
{
    return WaitFor([] { return ProcessesOf(InstalledAgent).size() == 1; }, 10s, 100);
}

class Msi : public ::testing::Test {
protected:
    // Wine reports no user session; the stand-in, in system32, serves every process
    // including the service that msiexec's custom action starts. Wine's own placeholder
    // is put back afterwards for the tests that run later in this prefix.
    void SetUp() override
    {
        RemoveLeftovers();
        fs::copy_file(System32 / L"wtsapi32.dll", saved.Path() / L"wtsapi32.dll");
        InstallWtsapiStandIn(System32);
        WriteSessions(System32, "0 Disconnected\n1 Active\n");
    }

    void TearDown() override
    {
        RemoveLeftovers();
        EXPECT_TRUE(CopyFileW((saved.Path() / L"wtsapi32.dll").c_str(),
                              (System32 / L"wtsapi32.dll").c_str(), FALSE))
            << "Wine's wtsapi32.dll not restored: " << GetLastError();
        std::error_code ignored;
        fs::remove(System32 / L"sessions.txt", ignored);
    }

    static void RemoveLeftovers()
    {
        for (const ProductEntry& entry : ProductEntries())
            Msiexec(L"/x", entry.productCode);
    }

    TempFolder saved{L"msi"};
};

TEST_F(Msi, InstallUpgradeAndRemoveLeaveOneServiceOneAgentOneEntryThenNothing)
{
    ASSERT_EQ(Msiexec(L"/i", Package(L"1.0.0")), 0u);
    EXPECT_EQ(Utf8(RegisteredBinaryPath()), Utf8(L"\"" + InstalledExe.wstring() + L"\""));
    EXPECT_TRUE(ExactlyOneAgent()) << ProcessesOf(InstalledAgent).size() << " agents";
    std::vector<ProductEntry> entries = ProductEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].version, "1.0.0");
    EXPECT_EQ(entries[0].publisher, "Orvella");

    std::vector<DWORD> before = ProcessesOf(InstalledAgent);
    HANDLE oldAgent = before.empty() ? nullptr : OpenProcess(SYNCHRONIZE, FALSE, before[0]);
    ASSERT_EQ(Msiexec(L"/i", Package(L"1.1.0")), 0u);
    EXPECT_TRUE(HasEnded(oldAgent)) << "the old service's agent survived the upgrade";
    if (oldAgent)
        CloseHandle(oldAgent);
    EXPECT_EQ(Utf8(RegisteredBinaryPath()), Utf8(L"\"" + InstalledExe.wstring() + L"\""));
    EXPECT_TRUE(ExactlyOneAgent()) << ProcessesOf(InstalledAgent).size() << " agents";
    EXPECT_EQ(ProductVersions(), std::vector<std::string>{"1.1.0"});

    EXPECT_EQ(Msiexec(L"/x", Package(L"1.1.0")), 0u);
    EXPECT_EQ(RegisteredBinaryPath(), L"");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    EXPECT_TRUE(ProcessesOf(InstalledAgent).empty());
    EXPECT_FALSE(IsFile(InstalledExe));
    EXPECT_FALSE(IsFile(InstalledAgent));
    EXPECT_TRUE(ProductEntries().empty());
}

} // namespace
