// The file test of an image plug-in: opening, the two support probes, the
// picture description, the decode and its header, the progress display
// with redirected output; end to end through spiprobe.exe, and in process
// for the handles the report must free.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reports.h"
#include "report_checks.h"
#include "test_support.h"

namespace {

// The file interface hands a 32-bit plug-in the open file; an x64 host
// must not, so spiprobe64 probes with the same bytes as a sample.
#if defined(_WIN64)
constexpr bool kSampleOnly = true;
const char* const kFileProbe0 = "memory";
const char* const kFileProbe128 = "memory";
#else
constexpr bool kSampleOnly = false;
const char* const kFileProbe0 = "handle@0";
const char* const kFileProbe128 = "handle@128";
#endif

// "ファイル[%s]のオープンに失敗しました。" in code page 932.
std::string OpenFailure(const std::string& name) {
    return "\x83t\x83@\x83" "C\x83\x8B[" + name +
           "]\x82\xCC\x83I\x81[\x83v\x83\x93\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82"
           "\xBD\x81" "B\n";
}

// "%sは未サポートのフォーマットです"
std::string NotSupported(const std::string& name) {
    return name +
           "\x82\xCD\x96\xA2\x83T\x83|\x81[\x83g\x82\xCC\x83t\x83H\x81[\x83}\x83" "b\x83g\x82"
           "\xC5\x82\xB7\n";
}

// "%sの画像情報取得に失敗しました(Ret==%d)。" and "Continue..."
std::string InfoFailure(const std::string& name, int result) {
    return name +
           "\x82\xCC\x89\xE6\x91\x9C\x8F\xEE\x95\xF1\x8E\xE6\x93\xBE\x82\xC9\x8E\xB8\x94s\x82"
           "\xB5\x82\xDC\x82\xB5\x82\xBD(Ret==" +
           std::to_string(result) + ")\x81" "B\nContinue...\n";
}

// "\n%sの展開に失敗しました(Ret==%d)。"
std::string DecodeFailure(const std::string& name, int result) {
    return "\n" + name +
           "\x82\xCC\x93W\x8AJ\x82\xC9\x8E\xB8\x94s\x82\xB5\x82\xDC\x82\xB5\x82\xBD(Ret==" +
           std::to_string(result) + ")\x81" "B\n";
}

// The description of the scripted plug-in's default picture.
std::string Description(const std::string& name, const std::string& commentLine = "") {
    return "PictureInfomation[" + name +
           "]\n\tPoint\t[0,0]\n\tSize\t[16,8]\n"
           "\t\x90\x85\x95\xBD\x96\xA7\x93x\t[72]\n"   // 水平密度
           "\t\x90\x82\x92\xBC\x96\xA7\x93x\t[72]\n"   // 垂直密度
           "\tDepth\t24bits\n" +
           commentLine;
}

const char kHeader[] =
    "BITMAPINFOHEADER\n\tStructSize:\t40\n\tImageSize:\t384\n\tBiClrSize:\t0\n"
    "\tWidth:\t16\n\tHeight:\t8\n\tPlanes:\t1\n\tDepth:\t24\n"
    "\tXPelsPerMeter:\t2835\n\tYPelsPerMeter:\t2835\n";

std::string Bytes(size_t size, size_t offset = 0) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) bytes += static_cast<char>((offset + i) % 251);
    return bytes;
}

// Runs spiprobe and checks what every file test shares: status 0 and
// nothing on standard error.
std::string Probe(const std::vector<std::string>& args) {
    ProcessResult r = RunSpiprobe(args);
    EXPECT_EQ(0u, r.status);
    EXPECT_EQ("", r.err);
    return r.out;
}

// The plug-in's log without the calls that loading made.
std::string CallsAfterLoad(const std::string& logPath) {
    std::string log = ReadBytes(logPath), calls;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        if (log.compare(start, 14, "GetPluginInfo(") != 0) calls += log.substr(start, end - start);
        start = end;
    }
    return calls;
}

// A file in the folder for the scripted plug-in, which reads nothing of
// it: only its name shows in the report.
std::string ScriptedInput(const TempDir& dir, const char* name) {
    std::string file = dir.File(name);
    EXPECT_TRUE(WriteBytes(file, "x")) << file;
    return file;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(ImageTest, FilesThatCannotBeOpenedOrAreNotSupported) {
    TempDir dir;
    std::string file = dir.File("picture.bin"), missing = dir.File("missing.bin");
    ASSERT_TRUE(WriteBytes(file, Bytes(300)));
    PluginScript script({{"ACCEPT", "never"}, {"LOG", dir.File("log")}});

    EXPECT_EQ(Crlf(OpenFailure(missing) + NotSupported(file)),
              Probe({"scripted" SPI_EXT, missing, file}));
    std::string log = CallsAfterLoad(dir.File("log"));
    // Both probes asked about the file, nothing else was tried on it.
    EXPECT_EQ("IsSupported(" + file + "," + kFileProbe0 + ")\nIsSupported(" + file + "," +
                  kFileProbe128 + ")\n",
              log);
}

TEST(ImageTest, AcceptedOnlyOnTheSecondProbeStillDecodesFromOffsetZero) {
    TempDir dir;
    std::string file = dir.File("late.bin");
    ASSERT_TRUE(WriteBytes(file, Bytes(128) + "MAGIC" + Bytes(100)));
    for (const char* mode : {"-f", "-m"}) {
        SCOPED_TRACE(mode);
        std::string logPath = dir.File(std::string("log") + mode);
        PluginScript script({{"ACCEPT", "magic:MAGIC"}, {"LOG", logPath}});
        EXPECT_EQ(Crlf(Description(file) + kHeader), Probe({mode, "scripted" SPI_EXT, file}));
        std::string log = CallsAfterLoad(logPath);
        std::string first = mode[1] == 'm' ? "memory" : kFileProbe0;
        std::string second = mode[1] == 'm' ? "memory" : kFileProbe128;
        EXPECT_EQ("IsSupported(" + file + "," + first + ")\nIsSupported(" + file + "," +
                      second + ")\nGetPictureInfo(" + file + ",0,0)\nGetPicture(" + file +
                      ",0,0,callback=0)\npicture handles ",
                  log.substr(0, log.find("picture handles ") + 16));
    }
}

TEST(ImageTest, WithoutIsSupportedEveryFileIsAccepted) {
    TempDir dir;
    std::string file = dir.File("any.bin");
    ASSERT_TRUE(WriteBytes(file, ""));
    PluginScript script({{"ACCEPT", "never"}});
    EXPECT_EQ(Crlf(Description(file) + kHeader), Probe({"scripted_no_issupported" SPI_EXT, file}));
}

TEST(ImageTest, MemoryProbesSeeTheZeroPaddedHeadAndThenItsPartFromByte128) {
    TempDir dir;
    struct Case {
        size_t size;
        std::string first, second;
    } cases[] = {
        {0, std::string(2048, '\0'), std::string(2048, '\0')},
        {100, Bytes(100) + std::string(1948, '\0'), std::string(2048, '\0')},
        {3000, Bytes(2048), Bytes(2048, 128)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string file = dir.File("head" + std::to_string(c.size));
        std::string dump = file + ".dump";
        ASSERT_TRUE(WriteBytes(file, Bytes(c.size)));
        PluginScript script({{"ACCEPT", "never"}, {"DUMP_SAMPLE", dump}});
        EXPECT_EQ(Crlf(NotSupported(file)), Probe({"-m", "scripted" SPI_EXT, file}));
        EXPECT_TRUE(ReadBytes(dump) == c.first + c.second);
    }
}

TEST(ImageTest, FileProbesGetTheHandleAtZeroAndThenAt128) {
    // The first probe reads 2048 bytes; the second still starts at 128.
    TempDir dir;
    std::string file = dir.File("big.bin"), dump = dir.File("dump");
    ASSERT_TRUE(WriteBytes(file, Bytes(3000)));
    PluginScript script({{"ACCEPT", "never"}, {"DUMP_SAMPLE", dump}});
    EXPECT_EQ(Crlf(NotSupported(file)), Probe({"-m", "-f", "scripted" SPI_EXT, file}));
    std::string bytes = Bytes(3000);
    if (kSampleOnly)
        EXPECT_TRUE(ReadBytes(dump) == bytes.substr(0, 2048) + bytes.substr(128, 2048));
    else
        EXPECT_EQ("handle at 0\nhandle at 128\n", ReadBytes(dump));
}

TEST(ImageTest, PictureDescriptionAndHeaderValues) {
    TempDir dir;
    std::string file = ScriptedInput(dir, "p.bin");
    // Densities are unsigned 16-bit, the depth signed; planes and bit count
    // are widened without sign.
    PluginScript script({{"PICINFO", "-5,-6,100,-200,65535,300,-8"},
                         {"BIH", "108,-1,256,-16,-8,65535,32768,-1,7"}});
    EXPECT_EQ(Crlf("PictureInfomation[" + file +
                   "]\n\tPoint\t[-5,-6]\n\tSize\t[100,-200]\n"
                   "\t\x90\x85\x95\xBD\x96\xA7\x93x\t[65535]\n"
                   "\t\x90\x82\x92\xBC\x96\xA7\x93x\t[300]\n"
                   "\tDepth\t-8bits\n"
                   "BITMAPINFOHEADER\n\tStructSize:\t108\n\tImageSize:\t-1\n\tBiClrSize:\t256\n"
                   "\tWidth:\t-16\n\tHeight:\t-8\n\tPlanes:\t65535\n\tDepth:\t32768\n"
                   "\tXPelsPerMeter:\t-1\n\tYPelsPerMeter:\t7\n"),
              Probe({"scripted" SPI_EXT, file}));
}

TEST(ImageTest, CommentLine) {
    TempDir dir;
    std::string file = ScriptedInput(dir, "c.bin");
    struct Case {
        const char* what;
        const char* comment;
        const char* form;
        std::string line;
    } cases[] = {
        {"no comment handle", nullptr, nullptr, ""},
        {"terminated text", "made by hand", nullptr, "\tComment\tmade by hand\n"},
        {"text ends with its block", "no end", "noterminator", "\tComment\tno end\n"},
        {"block that cannot be locked", "lost", "discarded", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PluginScript script({});
        if (c.comment) script.Set("COMMENT", c.comment);
        if (c.form) script.Set("COMMENT_FORM", c.form);
        EXPECT_EQ(Crlf(Description(file, c.line) + kHeader), Probe({"scripted" SPI_EXT, file}));
    }
}

TEST(ImageTest, FailingPictureInfoIsReportedAndTheDecodeGoesOn) {
    TempDir dir;
    std::string file = ScriptedInput(dir, "i.bin");
    PluginScript script({{"RESULT_GetPictureInfo", "3"}, {"COMMENT", "not read"}});
    EXPECT_EQ(Crlf(InfoFailure(file, 3) + kHeader), Probe({"scripted" SPI_EXT, file}));
    EXPECT_EQ(Crlf(InfoFailure(file, -1) + kHeader),
              Probe({"scripted_no_getpictureinfo" SPI_EXT, file}));
}

TEST(ImageTest, DecodeFailures) {
    TempDir dir;
    std::string file = ScriptedInput(dir, "d.bin");
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* key;
        const char* value;
        int result;
    } cases[] = {
        {"-p without GetPreview", {"-p", "scripted_no_getpreview" SPI_EXT, file}, nullptr, nullptr,
         -1},
        {"-p decodes with GetPreview", {"scripted" SPI_EXT, file, "-p"}, "RESULT_GetPreview", "4",
         4},
        {"plug-in error code", {"scripted" SPI_EXT, file}, "RESULT_GetPicture", "2", 2},
        {"fault inside the decode", {"scripted" SPI_EXT, file}, "FAULT_GetPicture", "avread", 8},
        {"cancelled by the callback", {"scripted" SPI_EXT, file}, "RESULT_GetPicture", "1", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PluginScript script({});
        if (c.key) script.Set(c.key, c.value);
        EXPECT_EQ(Crlf(Description(file) + DecodeFailure(file, c.result)), Probe(c.args));
    }
}

TEST(ImageTest, InfoBlockShorterThanAHeaderIsNotReadPastItsEnd) {
    TempDir dir;
    std::string file = ScriptedInput(dir, "s.bin");
    PluginScript script({{"INFO_BLOCK_SIZE", "12"}});
    EXPECT_EQ(Crlf(Description(file) + "BITMAPINFOHEADER\n\tInvalid info block (12 bytes)\n"),
              Probe({"scripted" SPI_EXT, file}));
}

TEST(ImageTest, RedirectedOutputShowsNoProgressAndDecodesAsWithoutIt) {
    TempDir dir;
    std::string file = ScriptedInput(dir, "r.bin");
    PluginScript script({{"PROGRESS", "7/0,50/200,1/3"}, {"LOG", dir.File("log")}});
    EXPECT_EQ(Crlf(Description(file) + kHeader), Probe({"-c", "scripted" SPI_EXT, file}));
    EXPECT_TRUE(Contains(ReadBytes(dir.File("log")), "GetPicture(" + file + ",0,0,callback=1)"));
}

// In process: the handles a decode hands over are freed, and an object of
// no usable kind is reported as such.
TEST(ImageTestInProcess, TheFreedHandleCheckTellsLiveFromFreed) {
    HLOCAL live = LocalAlloc(LMEM_MOVEABLE, 10);
    ASSERT_NE(nullptr, live);
    EXPECT_FALSE(IsFreed(live));
    LocalFree(live);
    EXPECT_TRUE(IsFreed(live));
}

TEST(ImageTestInProcess, CommentAndPictureHandlesAreFreed) {
    TempDir dir;
    std::string file = ScriptedInput(dir, "h.bin"), log = dir.File("log");
    PluginScript script({{"COMMENT", "c"}, {"LOG", log}});
    SpiDllFile plugin;
    ASSERT_EQ(1, plugin.Load(nullptr, "scripted" SPI_EXT));
    StdoutCapture capture;
    TestFile(plugin, file.c_str());
    EXPECT_EQ(Crlf(Description(file, "\tComment\tc\n") + kHeader), capture.Finish());

    ExpectLoggedBlocksFreed(ReadBytes(log), {{"comment handle", 1}, {"picture handles", 2}});
}

TEST(ImageTestInProcess, AnObjectOfNoUsableKindIsReported) {
    // Never loaded: IsSupported answers -1 (accepted), the kind is Unknown.
    TempDir dir;
    std::string file = ScriptedInput(dir, "k.bin");
    SpiDllFile plugin;
    StdoutCapture capture;
    TestFile(plugin, file.c_str());
    // "未対応の形式のPlug-inです。"
    EXPECT_EQ(Crlf("\x96\xA2\x91\xCE\x89\x9E\x82\xCC\x8C`\x8E\xAE\x82\xCCPlug-in\x82\xC5\x82"
                   "\xB7\x81" "B\n"),
              capture.Finish());
}

TEST(ImageTestInProcess, ProgressPrintsNothingWithoutAConsole) {
    TempDir dir;
    std::string path = dir.File("not-a-console");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    StdoutCapture capture;
    EXPECT_EQ(0, ShowProgress(7, 0, static_cast<int32_t>(reinterpret_cast<intptr_t>(file))));
    EXPECT_EQ(0, ShowProgress(1, 3, 0));
    EXPECT_EQ("", capture.Finish());
    CloseHandle(file);
}
