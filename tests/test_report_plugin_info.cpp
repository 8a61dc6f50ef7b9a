// spiprobe -i and -o end to end: the information report, its pattern
// listing (bounded for plug-ins that never stop answering) and the
// configuration dialog step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::string Head(const std::string& version = "00IN",
                 const std::string& about = "Scripted test plug-in") {
    return "Plug-in Information\nAPI Version\t[" + version + "]\nPlug-in about\t[" + about +
           "]\n";
}

const char kDialogSupported[] = "Config Dialog\t[Supported]\n";

// "ConfigurationDlg(NULL, %d)が失敗しました(Ret==%d)" in code page 932.
std::string DialogFailure(int function, int result) {
    return "ConfigurationDlg(NULL, " + std::to_string(function) +
           ")\x82\xAA\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD(Ret==" +
           std::to_string(result) + ")\r\n";
}

std::string Pairs(int count, const std::string& pattern, const std::string& name) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "Extention\t[" + pattern + "]\nFormat Name\t[" + name + "]\n";
    return text;
}

}  // namespace

TEST(PluginReport, PatternListings) {
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, std::string>> keys;
        std::string listing;
    } cases[] = {
        {"no patterns", {}, ""},
        {"two full pairs",
         {{"INFO2", "*.bmp;*.dib"}, {"INFO3", "Bitmap"}, {"INFO4", "*.rle"}, {"INFO5", "RLE"}},
         "Extention\t[*.bmp;*.dib]\nFormat Name\t[Bitmap]\n"
         "Extention\t[*.rle]\nFormat Name\t[RLE]\n"},
        {"a pattern without its format name ends the listing",
         {{"INFO2", "*.a"}, {"INFO3", "A"}, {"INFO4", "*.b"}, {"INFO6", "*.c"}, {"INFO7", "C"}},
         "Extention\t[*.a]\nFormat Name\t[A]\nExtention\t[*.b]\n"},
        {"answers that write nothing print empty brackets",
         {{"INFO2", "@empty"}, {"INFO3", "@empty"}},
         "Extention\t[]\nFormat Name\t[]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PluginScript script({});
        for (const auto& key : c.keys) script.Set(key.first, key.second);
        ProcessResult r = RunSpiprobe({"-i", "scripted" SPI_EXT});
        EXPECT_EQ(0u, r.status);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(Crlf(Head() + c.listing + kDialogSupported), r.out);
    }
}

TEST(PluginReport, TextsWithoutTerminatorEndWithTheBuffer) {
    // The plug-in fills all 2048 bytes of every buffer with its text.
    PluginScript script({{"INFO_UNTERMINATED", "1"}, {"ABOUT", "ab"}});
    ProcessResult r = RunSpiprobe({"-i", "scripted" SPI_EXT});
    std::string version, about;
    for (int i = 0; i < 2048; ++i) {
        version += "00IN"[i % 4];
        about += "ab"[i % 2];
    }
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ(Crlf(Head(version, about) + kDialogSupported), r.out);
}

TEST(PluginReport, ListingOfAPluginThatNeverStopsAnsweringIsBounded) {
    // Every number answers (or faults, which the object reports as 8): the
    // listing stops after 256 pairs. The plug-in is loaded around each call.
    struct Case {
        const char* what;
        const char* fault;
        const char* pattern;
        const char* name;
    } cases[] = {
        {"answers forever", nullptr, "*.x", "X"},
        {"faults forever", "avread", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PluginScript script({{"INFO_FOREVER", "1"}});
        if (c.fault) script.Set("INFO_FAULT", c.fault);
        DWORD start = GetTickCount();
        ProcessResult r = RunSpiprobe({"-i", "scripted" SPI_EXT});
        DWORD elapsed = GetTickCount() - start;
        EXPECT_EQ(0u, r.status);
        EXPECT_EQ(Crlf(Head() + Pairs(256, c.pattern, c.name) + kDialogSupported), r.out);
        EXPECT_LT(elapsed, 10000u);
    }
}

TEST(PluginReport, DialogProbeNeverOpensTheDialog) {
    TempDir dir;
    PluginScript script({{"LOG", dir.File("log")}});
    ProcessResult r = RunSpiprobe({"-i", "scripted" SPI_EXT});
    EXPECT_EQ(Crlf(Head() + kDialogSupported), r.out);
    EXPECT_EQ(std::string::npos, ReadBytes(dir.File("log")).find("ConfigurationDlg"));

    r = RunSpiprobe({"-i", "scripted_no_configurationdlg" SPI_EXT});
    EXPECT_EQ(Crlf(Head() + "Config Dialog\t[Not Supported]\n"), r.out);
}

TEST(ConfigurationDialog, OutcomesOfTheDialogStep) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* key;
        const char* value;
        std::string out;
    } cases[] = {
        {"success prints nothing", {"scripted" SPI_EXT, "-o"}, nullptr, nullptr, ""},
        {"no number: function 1", {"scripted" SPI_EXT, "-o"}, "RESULT_ConfigurationDlg", "5",
         DialogFailure(1, 5)},
        {"numbered", {"-o3", "scripted" SPI_EXT}, "RESULT_ConfigurationDlg", "-7",
         DialogFailure(3, -7)},
        {"faulting dialog", {"scripted" SPI_EXT, "-o0"}, "FAULT_ConfigurationDlg", "avread",
         DialogFailure(0, 8)},
        {"no dialog export", {"scripted_no_configurationdlg" SPI_EXT, "-o"}, nullptr, nullptr,
         DialogFailure(1, -1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PluginScript script({});
        if (c.key) script.Set(c.key, c.value);
        ProcessResult r = RunSpiprobe(c.args);
        EXPECT_EQ(0u, r.status);
        EXPECT_EQ("", r.err);
        EXPECT_EQ(c.out, r.out);
    }
}

TEST(ConfigurationDialog, ReportComesFirstThenTheDialogOpens) {
    TempDir dir;
    PluginScript script({{"LOG", dir.File("log")}, {"RESULT_ConfigurationDlg", "2"}});
    ProcessResult r = RunSpiprobe({"-o4", "scripted" SPI_EXT, "-i"});
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ(Crlf(Head() + kDialogSupported) + DialogFailure(4, 2), r.out);
    std::string log = ReadBytes(dir.File("log"));
    EXPECT_NE(std::string::npos, log.find("ConfigurationDlg(00000000,4)")) << log;
}
