// The command line: option parsing in process, and spiprobe.exe's usage
// text, option errors, load failures and exit status end to end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "test_support.h"

namespace {

// Runs ParseOptions on a copy of args (args[0] is the program name) and
// returns what is left of the vector.
std::vector<std::string> Parse(std::vector<std::string> args, int* count = nullptr) {
    ResetOptions();
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    int result = ParseOptions(argc, argv.data());
    EXPECT_EQ(argc, result);
    EXPECT_EQ(nullptr, argv[argc]);
    if (count) *count = argc;
    std::vector<std::string> left;
    for (int i = 0; i < argc; ++i) left.push_back(argv[i]);
    return left;
}

// The usage text exactly as written to standard error, in code page 932
// ("～" is 0x81 0x60), CR LF line ends.
std::string Usage(const std::string& program) {
    return "Usage: " + program +
           " [-c] [-m] [-f] [-p] [-i] Plug-in [GraphicFile...]\r\n"
           "Option:\r\n\t-c\tUse Callback\r\n\t-m\tUse Memory I/F\r\n"
           "\t-f\tNot use Memory I/F\r\n\t-p\tUse GetPreview I/F\r\n"
           "\t-i\tDisplay Plugin Information\r\n"
           "\t-o[n]\tCall ConfigurationDlg(n:0\x81\x60)\r\n";
}

// "SPIファイル(%s)のロードに失敗しました(GetLastError==%d)。" in code page 932.
std::string LoadFailure(const std::string& module, const std::string& code) {
    return "\x53\x50\x49\x83\x74\x83\x40\x83\x43\x83\x8B\x28" + module +
           ")\x82\xCC\x83\x8D\x81\x5B\x83\x68\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5"
           "\x82\xBD(GetLastError==" +
           code + ")\x81\x42\r\n";
}

}  // namespace

TEST(ParseOptions, RemovesOptionsWhereverTheyStandAndKeepsTheRest) {
    int count = 0;
    auto left = Parse({"spiprobe", "-c", "x" SPI_EXT, "-i", "-M", "a.bmp", "-preview"}, &count);
    EXPECT_EQ((std::vector<std::string>{"spiprobe", "x" SPI_EXT, "a.bmp"}), left);
    EXPECT_EQ(3, count);
    EXPECT_EQ(1, useCallback);
    EXPECT_EQ(1, displayPluginInfo);
    EXPECT_EQ(1, useMemoryInterface);
    EXPECT_EQ(1, useGetPreview);
    EXPECT_EQ(0, callConfigurationDlg);
    EXPECT_EQ(1, configurationDlgFunction);
}

TEST(ParseOptions, LastOfMemoryAndFileInterfaceWins) {
    Parse({"p", "-m", "-f"});
    EXPECT_EQ(0, useMemoryInterface);
    Parse({"p", "-f", "-m"});
    EXPECT_EQ(1, useMemoryInterface);
}

TEST(ParseOptions, DialogNumberForms) {
    struct Case {
        std::vector<std::string> args;
        int32_t function;
    } cases[] = {
        {{"p", "-o"}, 1},        {{"p", "-o5", "x", "-o"}, 5}, {{"p", "-oabc"}, 0},
        {{"p", "-o-1"}, -1},     {{"p", "-o2x"}, 2},           {{"p", "-O7"}, 7},
        {{"p", "-o 3"}, 3},      {{"p", "-o3", "-o4"}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        Parse(c.args);
        EXPECT_EQ(1, callConfigurationDlg);
        EXPECT_EQ(c.function, configurationDlgFunction);
    }
}

TEST(ParseOptions, FewerThanTwoArgumentsAreLeftAlone) {
    int count = 0;
    EXPECT_EQ((std::vector<std::string>{"p"}), Parse({"p"}, &count));
    EXPECT_EQ(1, count);
}

TEST(CommandLine, NoArgumentsPrintsTheUsageTextAndFails) {
    ProcessResult r = RunSpiprobe({});
    EXPECT_EQ(1u, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(Usage(BinPath(SPIPROBE_EXE)), r.err);
}

TEST(CommandLine, OnlyOptionsLeaveNoPluginName) {
    ProcessResult r = RunSpiprobe({"-i", "-c"});
    EXPECT_EQ(1u, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(Usage(BinPath(SPIPROBE_EXE)), r.err);
}

TEST(CommandLine, UnknownOptionsAreReportedFirstAndDropped) {
    ProcessResult r = RunSpiprobe({"-x", "--", "-"});
    EXPECT_EQ(1u, r.status);
    EXPECT_EQ("No such option(-x)\r\nNo such option(--)\r\nNo such option(-)\r\n" +
                  Usage(BinPath(SPIPROBE_EXE)),
              r.err);

    r = RunSpiprobe({"scripted" SPI_EXT, "-zap"});
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ("No such option(-zap)\r\n", r.err);
    EXPECT_EQ("", r.out);
}

TEST(CommandLine, MissingModuleReportsTheLoadersErrorCode) {
    ProcessResult r = RunSpiprobe({"no-such-plugin" SPI_EXT, "a.bmp", "-i"});
    EXPECT_EQ(1u, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(LoadFailure("no-such-plugin" SPI_EXT, "126"), r.out);
}

TEST(CommandLine, TooLongAPathIsNamedAsTheCause) {
    std::string name(300, 'n');
    ProcessResult r = RunSpiprobe({name});
    EXPECT_EQ(1u, r.status);
    EXPECT_EQ(LoadFailure(name, "206"), r.out);
}

TEST(CommandLine, RejectedModulesFailTheRun) {
    for (const char* version : {"00XN", "00QQ"}) {
        SCOPED_TRACE(version);
        PluginScript script({{"VERSION", version}});
        ProcessResult r = RunSpiprobe({"scripted" SPI_EXT, "a.bmp"});
        EXPECT_EQ(1u, r.status);
        std::string prefix = LoadFailure("scripted" SPI_EXT, "");
        prefix.resize(prefix.find("==") + 2);
        EXPECT_EQ(0u, r.out.find(prefix)) << r.out;
    }
}

TEST(CommandLine, ALoadedPluginWithoutFilesSucceedsQuietly) {
    ProcessResult r = RunSpiprobe({"scripted" SPI_EXT});
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
}

TEST(CommandLine, TheDialogGetsTheNumberOfTheCommandLine) {
    TempDir dir;
    std::string log = dir.File("log");
    PluginScript script({{"LOG", log}});
    ProcessResult r = RunSpiprobe({"-o5", "scripted" SPI_EXT, "-o"});
    EXPECT_EQ(0u, r.status);
    EXPECT_NE(std::string::npos, ReadBytes(log).find("ConfigurationDlg(00000000,5)"))
        << ReadBytes(log);
}
