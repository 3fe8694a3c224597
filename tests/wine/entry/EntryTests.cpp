// The real executable's command line under Wine: the self-test's exact output and
// exit status, the arguments that fall through to the service dispatcher, the exe's
// version and manifest resources, and the mitigations and imports in its PE header.

#include "WineTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstdlib>
#include <cctype>
#include <memory>
#include <set>
#include <sstream>

using namespace winetest;
namespace fs = std::filesystem;

namespace {

// std::wcout on a pipe is in text mode: the product's "\n" arrives as "\r\n".
const char SelfTestPassed[] = "Orvella native service self-test passed\r\n";

// The self-test runs where a launch would, beside the agent, in a folder of the prefix:
// the build tree may lie below a folder every user can change, such as /tmp.
RunOptions SelfTest(const TempFolder& app, const TempFolder& data, std::vector<std::wstring> arguments)
{
    RunOptions options;
    options.program = app.Path() / L"OrvellaService.exe";
    options.arguments = std::move(arguments);
    options.environment = {{L"PROGRAMDATA", data.Path().wstring()}};
    return options;
}

TEST(SelfTest, PrintsTheExactLineCreatesTheDataFolderAndExitsZero)
{
    TempFolder app(L"selftest-app");
    CopyExeAndAgentTo(app.Path());
    TempFolder data(L"selftest");
    RunResult result = RunProgram(SelfTest(app, data, {L"--self-test"}));
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, SelfTestPassed);
    EXPECT_EQ(result.errors, "");
    EXPECT_TRUE(IsFolder(data.Path() / L"Orvella"));

    result = RunProgram(SelfTest(app, data, {L"--self-test", L"extra", L"--console"}));
    EXPECT_EQ(result.exitCode, 0u) << "arguments after the mode are ignored";
    EXPECT_EQ(result.output, SelfTestPassed);
}

// Each of these makes every launch a failed one, so the self-test fails until it is undone:
// a data folder others may write to (as Wine shows mode 0777), no agent. A file at the
// data folder's name: see the layout tests; an agent's folder at 0777: the console run.
TEST(SelfTest, FailsWhereALaunchWouldBeRefused)
{
    TempFolder app(L"selftest-refused");
    CopyExeAndAgentTo(app.Path());
    TempFolder data(L"selftest-refused-data");
    // Made by hand, so that Wine shows its mode rather than a list the product stored.
    const fs::path folder = data.Path() / L"Orvella";
    fs::create_directories(folder);
    const fs::path agent = app.Path() / L"Kestrune.exe", aside = app.Path() / L"Kestrune.old";
    const std::vector<std::pair<std::function<void()>, std::function<void()>>> breakages = {
        {[&] { SetUnixMode(folder, "0777"); }, [&] { SetUnixMode(folder, "0755"); }},
        {[&] { fs::rename(agent, aside); }, [&] { fs::rename(aside, agent); }}};
    for (size_t index = 0; index < breakages.size(); ++index) {
        breakages[index].first();
        RunResult result = RunProgram(SelfTest(app, data, {L"--self-test"}));
        EXPECT_EQ(result.exitCode, 1u) << index;
        EXPECT_EQ(result.output, "Orvella native service self-test failed\r\n") << index;
        breakages[index].second();
        EXPECT_EQ(RunProgram(SelfTest(app, data, {L"--self-test"})).exitCode, 0u) << index;
    }
}

// Outside the service manager the dispatcher fails, after about ten seconds under
// Wine: the cases run side by side.
TEST(Dispatcher, ArgumentsThatAreNoModeFailWithOneOutsideTheServiceManager)
{
    const std::vector<std::vector<std::wstring>> cases = {
        {},                     // no argument at all
        {L"--Console"},         // modes are case-sensitive
        {L"--install-service"}, // a mode short of its argument
    };
    TempFolder data(L"dispatcher");
    std::vector<std::unique_ptr<Child>> children;
    for (const auto& arguments : cases) {
        RunOptions options;
        options.program = ProductExe();
        options.arguments = arguments;
        options.environment = {{L"PROGRAMDATA", data.Path().wstring()}};
        children.push_back(std::make_unique<Child>(options));
    }
    for (size_t i = 0; i < children.size(); ++i) {
        RunResult result = children[i]->Wait(std::chrono::seconds(60));
        std::string label = cases[i].empty() ? "(none)" : Utf8(cases[i][0]);
        EXPECT_FALSE(result.timedOut) << label;
        EXPECT_EQ(result.exitCode, 1u) << label;
        EXPECT_EQ(result.output, "") << label;
    }
}

std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* name)
{
    void* value = nullptr;
    UINT length = 0;
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &length) || length == 0)
        return L"(missing)";
    return static_cast<const wchar_t*>(value);
}

// ORVELLA_VERSION is the configured version, as ctest passes it in.
TEST(Resources, VersionInfoCarriesTheConfiguredVersionAndTheManifestAsksForNoElevation)
{
    const char* configured = std::getenv("ORVELLA_VERSION");
    ASSERT_NE(configured, nullptr);
    const std::string version = configured;
    const std::wstring exe = ProductExe().wstring();
    std::vector<BYTE> info(GetFileVersionInfoSizeW(exe.c_str(), nullptr));
    ASSERT_FALSE(info.empty()) << GetLastError();
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    EXPECT_EQ(Utf8(VersionString(info, L"FileVersion")), version);
    EXPECT_EQ(Utf8(VersionString(info, L"ProductVersion")), version);
    EXPECT_EQ(Utf8(VersionString(info, L"OriginalFilename")), "OrvellaService.exe");

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    std::ostringstream binary; // X.Y.Z is stamped as X.Y.Z.0
    binary << HIWORD(fixed->dwFileVersionMS) << '.' << LOWORD(fixed->dwFileVersionMS) << '.'
           << HIWORD(fixed->dwFileVersionLS) << '.' << LOWORD(fixed->dwFileVersionLS);
    const bool threeFields = std::count(version.begin(), version.end(), '.') == 2;
    EXPECT_EQ(binary.str(), threeFields ? version + ".0" : version);

    HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr) << GetLastError();
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << GetLastError();
    std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, found))),
                         SizeofResource(image, found));
    FreeLibrary(image);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);
}

// The file offset of an RVA, or 0 when no section holds it.
size_t FileOffset(const IMAGE_NT_HEADERS64* nt, DWORD rva)
{
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->SizeOfRawData)
            return rva - section->VirtualAddress + section->PointerToRawData;
    }
    return 0;
}

// A security review reads these from the shipped file; an exe that imports a MinGW
// runtime DLL (libstdc++, libgcc, winpthread, libssp) would not start on a clean machine.
TEST(Binary, PeHeaderHasTheMitigationsAndImportsOnlyWindowsSystemDlls)
{
    const std::string image = ReadTextFile(ProductExe());
    ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    ASSERT_LT(static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64), image.size());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
    ASSERT_EQ(nt->Signature, DWORD{IMAGE_NT_SIGNATURE});
    ASSERT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);

    const WORD flags = nt->OptionalHeader.DllCharacteristics;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE) << "no ASLR";
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA) << "no high-entropy ASLR";
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT) << "no DEP";
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE) << "not terminal-server aware";

    const std::set<std::string> system = {"advapi32.dll", "kernel32.dll", "msvcrt.dll",  "ntdll.dll",
                                          "user32.dll",   "userenv.dll",  "wtsapi32.dll"};
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t at = FileOffset(nt, imports.VirtualAddress);
    ASSERT_NE(at, 0u) << "no import table";
    std::set<std::string> imported;
    for (;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        ASSERT_LE(at + sizeof(IMAGE_IMPORT_DESCRIPTOR), image.size());
        const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + at);
        if (descriptor->Name == 0)
            break;
        const size_t nameAt = FileOffset(nt, descriptor->Name);
        ASSERT_LT(nameAt, image.size());
        std::string name = image.c_str() + nameAt;
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        imported.insert(name);
        EXPECT_EQ(system.count(name), 1u) << name << " is not a Windows system DLL";
    }
    EXPECT_EQ(imported.count("kernel32.dll"), 1u);
}

} // namespace
