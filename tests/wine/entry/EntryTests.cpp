// The real executable's command line under Wine: the self-test's exact output and
// exit status, and the arguments that fall through to the service dispatcher.

#include "WineTest.h"

#include <gtest/gtest.h>

#include <memory>

using namespace winetest;

namespace {

// std::wcout on a pipe is in text mode: the product's "\n" arrives as "\r\n".
const char SelfTestPassed[] = "Orvella native service self-test passed\r\n";

RunOptions SelfTest(const TempFolder& data, std::vector<std::wstring> arguments)
{
    RunOptions options;
    options.program = ProductExe();
    options.arguments = std::move(arguments);
    options.environment = {{L"PROGRAMDATA", data.Path().wstring()}};
    return options;
}

TEST(SelfTest, PrintsTheExactLineCreatesTheDataFolderAndExitsZero)
{
    TempFolder data(L"selftest");
    RunResult result = RunProgram(SelfTest(data, {L"--self-test"}));
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, SelfTestPassed);
    EXPECT_EQ(result.errors, "");
    EXPECT_TRUE(IsFolder(data.Path() / L"Orvella"));
}

TEST(SelfTest, IgnoresArgumentsAfterTheMode)
{
    TempFolder data(L"selftest-extra");
    RunResult result = RunProgram(SelfTest(data, {L"--self-test", L"extra", L"--console"}));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, SelfTestPassed);
}

// Outside the service manager the dispatcher fails, after about ten seconds under
// Wine: the cases run side by side.
TEST(Dispatcher, ArgumentsThatAreNoModeFailWithOneOutsideTheServiceManager)
{
    const std::vector<std::vector<std::wstring>> cases = {
        {},                       // no argument at all
        {L"--Console"},           // modes are case-sensitive
        {L"--install-service"},   // a mode short of its argument
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

} // namespace
