// The packages under Wine's msiexec: install, major upgrade over the running service,
// removal. ORVELLA_PACKAGES is the folder with OrvellaService-1.0.0.msi and -1.1.0.msi.

#include "WineTest.h"

#include <gtest/gtest.h>
#include <msi.h>

using namespace winetest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const fs::path Exe = L"C:\\Program Files\\Orvella\\OrvellaService.exe";
const fs::path Agent = L"C:\\Program Files\\Orvella\\Kestrune.exe";
const fs::path System32 = L"C:\\windows\\system32";

DWORD Msiexec(const wchar_t* action, const std::wstring& package)
{
    RunResult result = RunProgram({System32 / L"msiexec.exe", {action, package, L"/qn"}, {}, {}}, 120s);
    return result.timedOut ? WAIT_TIMEOUT : result.exitCode;
}

DWORD Msiexec(const wchar_t* action, const char* version)
{
    return Msiexec(
        action,
        (FromHostPath(_wgetenv(L"ORVELLA_PACKAGES")) / (std::string("OrvellaService-") + version + ".msi"))
            .wstring());
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
    void SetUp() override
    {
        TearDown();
        CopyFileW((System32 / L"wtsapi32.dll").c_str(), (saved.Path() / L"wtsapi32.dll").c_str(), FALSE);
        InstallWtsapiStandIn(System32);
        WriteSessions(System32, "0 Disconnected\n1 Active\n");
    }
    void TearDown() override
    {
        for (const auto& product : Products())
            Msiexec(L"/x", product.first);
        CopyFileW((saved.Path() / L"wtsapi32.dll").c_str(), (System32 / L"wtsapi32.dll").c_str(), FALSE);
    }
    TempFolder saved{L"msi"};
};

bool OneAgent()
{
    return WaitFor([] { return ProcessesOf(Agent).size() == 1; }, 10s, 100);
}

TEST_F(Msi, InstallUpgradeAndRemoveLeaveOneServiceOneAgentOneEntryThenNothing)
{
    const std::string quotedExe = Utf8(L"\"" + Exe.wstring() + L"\"");
    ASSERT_EQ(Msiexec(L"/i", "1.0.0"), 0u);
    EXPECT_EQ(Utf8(RegisteredPath()), quotedExe);
    ASSERT_TRUE(OneAgent()) << ProcessesOf(Agent).size();
    ASSERT_EQ(Products().size(), 1u);
    EXPECT_EQ(Products()[0].second, "1.0.0");

    HANDLE oldAgent = OpenProcess(SYNCHRONIZE, FALSE, ProcessesOf(Agent)[0]);
    ASSERT_EQ(Msiexec(L"/i", "1.1.0"), 0u);
    EXPECT_TRUE(HasEnded(oldAgent)) << "the old service's agent survived the upgrade";
    CloseHandle(oldAgent);
    EXPECT_EQ(Utf8(RegisteredPath()), quotedExe);
    EXPECT_TRUE(OneAgent()) << ProcessesOf(Agent).size();
    ASSERT_EQ(Products().size(), 1u);
    EXPECT_EQ(Products()[0].second, "1.1.0");

    EXPECT_EQ(Msiexec(L"/x", "1.1.0"), 0u);
    EXPECT_EQ(RegisteredPath(), L"");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    EXPECT_TRUE(ProcessesOf(Agent).empty());
    EXPECT_FALSE(IsFolder(Exe.parent_path()));
    EXPECT_TRUE(Products().empty());
}

} // namespace
