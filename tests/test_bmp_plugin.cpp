// bmp.spi on bitmaps that ImageMagick wrote, in every depth, compression
// and header version it reads: the decoded pixels must equal ImageMagick's
// own decoding, from a file and from memory, in process and through
// spiprobe's reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "spi_dll_file.h"
#include "low_half_sample.h"
#include "plugin_info_texts.h"
#include "local_blocks.h"
#include "test_support.h"

namespace {

// A bitmap of the fixtures and its size, as list.txt names them.
struct ListedBitmap {
    std::string name;
    int width = 0;
    int height = 0;
};

std::vector<ListedBitmap> ListedBitmaps() {
    std::vector<ListedBitmap> list;
    std::istringstream lines(ReadBytes(FixturePath("bmp", "list.txt")));
    ListedBitmap f;
    while (lines >> f.name >> f.width >> f.height) list.push_back(f);
    return list;
}

// A decoded picture, owned: both handles are freed at the end of the scope.
struct Decoded : PictureBlocks {
    // "" when the handles hold a 24-bit bottom-up picture of the size;
    // else what is wrong. *rgb receives its pixels as R, G, B, top row first.
    std::string Check(int width, int height, std::string* rgb) const {
        if (!info || !bits) return "a handle is null";
        if (LocalSize(info) < sizeof(BITMAPINFOHEADER)) return "info block too small";
        BITMAPINFOHEADER h;
        memcpy(&h, LocalLock(info), sizeof h);
        LocalUnlock(info);
        const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t(3);
        char text[160];
        snprintf(text, sizeof text, "size %lu %ldx%ld bits %u compression %lu image %lu",
                 h.biSize, h.biWidth, h.biHeight, h.biBitCount, h.biCompression, h.biSizeImage);
        if (h.biSize != 40 || h.biWidth != width || h.biHeight != height || h.biPlanes != 1 ||
            h.biBitCount != 24 || h.biCompression != BI_RGB || h.biSizeImage != stride * height)
            return text;
        if (LocalSize(bits) < stride * height) return "bits block too small";
        const unsigned char* p = static_cast<const unsigned char*>(LocalLock(bits));
        rgb->clear();
        for (int y = height - 1; y >= 0; --y)
            for (int x = 0; x < width; ++x) {
                const unsigned char* px = p + stride * y + x * 3;
                rgb->push_back(static_cast<char>(px[2]));
                rgb->push_back(static_cast<char>(px[1]));
                rgb->push_back(static_cast<char>(px[0]));
            }
        LocalUnlock(bits);
        return "";
    }
};

// Largest difference allowed per channel. ImageMagick widens 4-bit channels
// by shifting (15 becomes 240); the plug-in repeats the bits (15 becomes
// 255), so those differ by up to 15.
int Tolerance(const std::string& fixture) { return fixture == "v5_4444" ? 15 : 0; }

// Where two R, G, B pictures first differ by more than tolerance, or "".
std::string FirstDifference(const std::string& got, const std::string& want, int width,
                            int tolerance = 0) {
    if (got.size() != want.size()) return "sizes " + std::to_string(got.size()) + " and " +
                                          std::to_string(want.size());
    for (size_t i = 0; i < got.size(); i += 3) {
        bool close = true;
        for (size_t c = i; c < i + 3; ++c)
            close = close && abs(static_cast<unsigned char>(got[c]) -
                                 static_cast<unsigned char>(want[c])) <= tolerance;
        if (close) continue;
        char text[120];
        const unsigned char* g = reinterpret_cast<const unsigned char*>(got.data() + i);
        const unsigned char* w = reinterpret_cast<const unsigned char*>(want.data() + i);
        snprintf(text, sizeof text, "pixel (%d,%d): got %d,%d,%d want %d,%d,%d",
                 static_cast<int>(i / 3 % width), static_cast<int>(i / 3 / width), g[0], g[1], g[2],
                 w[0], w[1], w[2]);
        return text;
    }
    return "";
}

class BmpPlugin : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, plugin.Load(nullptr, "bmp" SPI_EXT)); }
    SpiDllFile plugin;
};

TEST_F(BmpPlugin, DecodesEveryFixtureLikeImageMagickFromFileAndMemory) {
    const std::vector<ListedBitmap> fixtures = ListedBitmaps();
    ASSERT_GE(fixtures.size(), 30u) << "fixtures missing in " << FixturePath("bmp", "");
    for (const ListedBitmap& f : fixtures) {
        SCOPED_TRACE(f.name);
        const std::string path = FixturePath("bmp", f.name + ".bmp");
        const std::string bytes = ReadBytes(path);
        const std::string want = ReadBytes(FixturePath("bmp", f.name + ".rgb"));
        ASSERT_EQ(static_cast<size_t>(f.width) * f.height * 3, want.size());

        PictureInfo info;
        ASSERT_EQ(0, plugin.GetPictureInfo(path.c_str(), 0, SPI_INPUT_FILE, &info));
        EXPECT_EQ(f.width, info.width);
        EXPECT_EQ(f.height, info.height);
        EXPECT_EQ(nullptr, info.hInfo);
        ASSERT_EQ(0, plugin.GetPictureInfo(bytes.data(), static_cast<int32_t>(bytes.size()),
                                           SPI_INPUT_MEMORY, &info));
        EXPECT_EQ(f.width, info.width);

        for (uint32_t flag : {SPI_INPUT_FILE, SPI_INPUT_MEMORY}) {
            SCOPED_TRACE(flag);
            Decoded d;
            const bool file = flag == SPI_INPUT_FILE;
            ASSERT_EQ(0, plugin.GetPicture(file ? path.c_str() : bytes.data(),
                                           file ? 0 : static_cast<int32_t>(bytes.size()), flag,
                                           &d.info, &d.bits, nullptr, 0));
            std::string rgb;
            ASSERT_EQ("", d.Check(f.width, f.height, &rgb));
            EXPECT_EQ("", FirstDifference(rgb, want, f.width, Tolerance(f.name)));
        }
    }
}

TEST_F(BmpPlugin, ReadsFromAnOffsetInAFileAndPreviewDecodesTheFullPicture) {
    TempDir dir;
    const std::string bytes = ReadBytes(FixturePath("bmp", "rle4hand.bmp"));
    const std::string want = ReadBytes(FixturePath("bmp", "rle4hand.rgb"));
    const std::string path = dir.File("embedded.dat");
    ASSERT_TRUE(WriteBytes(path, std::string(300, 'z') + bytes));

    PictureInfo info;
    ASSERT_EQ(0, plugin.GetPictureInfo(path.c_str(), 300, SPI_INPUT_FILE, &info));
    EXPECT_EQ(12, info.width);
    EXPECT_EQ(6, info.height);
    EXPECT_EQ(4, info.colorDepth);
    EXPECT_EQ(72, info.x_density);  // 2835 pixels per metre
    EXPECT_EQ(2, plugin.GetPictureInfo(path.c_str(), 0, SPI_INPUT_FILE, &info));

    Decoded d;
    ASSERT_EQ(0, plugin.GetPreview(path.c_str(), 300, SPI_INPUT_FILE, &d.info, &d.bits, nullptr, 0));
    std::string rgb;
    ASSERT_EQ("", d.Check(12, 6, &rgb));
    EXPECT_EQ("", FirstDifference(rgb, want, 12));

    Decoded none;
    EXPECT_EQ(6, plugin.GetPicture(path.c_str(), 100000, SPI_INPUT_FILE, &none.info, &none.bits,
                                   nullptr, 0));
    EXPECT_EQ(6, plugin.GetPicture(dir.File("missing.bmp").c_str(), 0, SPI_INPUT_FILE, &none.info,
                                   &none.bits, nullptr, 0));
    EXPECT_EQ(nullptr, none.info);
    EXPECT_EQ(nullptr, none.bits);
}

// A 64-bit host never passes the file-handle form; the whole address is
// what tells a sample from a handle there.
TEST_F(BmpPlugin, IsSupportedReadsAFileHandleAtItsPositionOrASample) {
    const std::string bmp = ReadBytes(FixturePath("bmp", "info8.bmp"));
#if !defined(_WIN64)
    TempDir dir;
    const std::string path = dir.File("shifted.bin");
    ASSERT_TRUE(WriteBytes(path, std::string(128, '\0') + bmp));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(0, plugin.IsSupported(path.c_str(), file));
    SetFilePointer(file, 128, nullptr, FILE_BEGIN);
    EXPECT_NE(0, plugin.IsSupported(path.c_str(), file));
    EXPECT_EQ(128u, SetFilePointer(file, 0, nullptr, FILE_CURRENT)) << "position not restored";
    CloseHandle(file);
#endif

    std::string sample = bmp.substr(0, 2048);
    sample.resize(2048, '\0');
    EXPECT_NE(0, plugin.IsSupported("x.bmp", &sample[0]));
#if defined(_WIN64)
    LowHalfSample low(sample);
    ASSERT_NE(nullptr, low.data()) << "no free address at a multiple of 4 GiB";
    EXPECT_NE(0, plugin.IsSupported("x.bmp", low.data())) << static_cast<void*>(low.data());
#endif
    std::string other(2048, '\0');
    other.replace(0, 4, "BM\x10\0", 4);  // right magic, no known header size
    EXPECT_EQ(0, plugin.IsSupported("x.bmp", &other[0]));
    other.replace(0, 2, "PK");
    EXPECT_EQ(0, plugin.IsSupported("x.bmp", &other[0]));
}

TEST_F(BmpPlugin, InformationTextsFitTheBufferAndEndAfterTheFilter) {
    std::vector<std::string> texts = InfoTexts(plugin);
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ("00IN", texts[0]);
    EXPECT_EQ("*.bmp;*.dib", texts[2]);
    EXPECT_EQ("Windows bitmap", texts[3]);
    char text[64];
    EXPECT_EQ(0, plugin.GetPluginInfo(-1, text, sizeof text));
    EXPECT_EQ(std::string("bmp.\0x", 6), InfoInShortBuffer(plugin, 1, 5));

    EXPECT_EQ(-1, plugin.ConfigurationDlg(nullptr, 1)) << "only function 0 may open a window";
}

struct ProgressLog {
    std::vector<int32_t> done;
    int32_t total = -1;
    size_t stopAt = 0;  // answer non-zero at this call (1-based); 0 never
};

int32_t SPI_API LogProgress(int32_t nNum, int32_t nDenom, intptr_t lData) {
    ProgressLog* log = reinterpret_cast<ProgressLog*>(lData);
    log->done.push_back(nNum);
    log->total = nDenom;
    return log->done.size() == log->stopAt ? 1 : 0;
}

TEST_F(BmpPlugin, ProgressRunsFromZeroToTheTotalAndACancelFreesEverything) {
    for (const char* name : {"info24", "rle8"}) {
        SCOPED_TRACE(name);
        const std::string path = FixturePath("bmp", std::string(name) + ".bmp");
        ProgressLog log;
        {
            Decoded d;
            ASSERT_EQ(0, plugin.GetPicture(path.c_str(), 0, 0, &d.info, &d.bits, LogProgress,
                                           reinterpret_cast<intptr_t>(&log)));
        }
        ASSERT_GE(log.done.size(), 2u);
        EXPECT_EQ(23, log.total);
        EXPECT_EQ(0, log.done.front());
        EXPECT_EQ(23, log.done.back());
        for (size_t i = 1; i < log.done.size(); ++i) EXPECT_LE(log.done[i - 1], log.done[i]);

        ProgressLog cancel;
        cancel.stopAt = 3;
        Decoded d;
        EXPECT_EQ(1, plugin.GetPicture(path.c_str(), 0, 0, &d.info, &d.bits, LogProgress,
                                       reinterpret_cast<intptr_t>(&cancel)));
        EXPECT_EQ(3u, cancel.done.size()) << "went on after the cancel";
        EXPECT_EQ(nullptr, d.info);
        EXPECT_EQ(nullptr, d.bits);
    }
}

TEST(BmpPluginReport, SpiprobeReportsThePluginAndABitmap) {
    const std::string path = FixturePath("bmp", "td_info8.bmp");
    ProcessResult r = RunSpiprobe({"-i", "bmp" SPI_EXT, path});
    ASSERT_EQ(0u, r.status) << r.err;
    const std::string want =
        "Plug-in Information\n"
        "API Version\t[00IN]\n"
        "Plug-in about\t[bmp.spi 1.0: Windows bitmaps (1 to 32 bits, RLE, bit fields)]\n"
        "Extention\t[*.bmp;*.dib]\n"
        "Format Name\t[Windows bitmap]\n"
        "Config Dialog\t[Supported]\n"
        "PictureInfomation[" + path + "]\n"
        "\tPoint\t[0,0]\n"
        "\tSize\t[37,23]\n"
        "\t水平密度\t[0]\n"
        "\t垂直密度\t[0]\n"
        "\tDepth\t8bits\n"
        "BITMAPINFOHEADER\n"
        "\tStructSize:\t40\n"
        "\tImageSize:\t2576\n"
        "\tBiClrSize:\t0\n"
        "\tWidth:\t37\n"
        "\tHeight:\t23\n"
        "\tPlanes:\t1\n"
        "\tDepth:\t24\n"
        "\tXPelsPerMeter:\t0\n"
        "\tYPelsPerMeter:\t0\n";
    EXPECT_EQ(Crlf(want), r.out);

    r = RunSpiprobe({"bmp" SPI_EXT, FixturePath("bmp", "rle8.rgb")});
    EXPECT_EQ(Crlf(FixturePath("bmp", "rle8.rgb") + "は未サポートのフォーマットです\n"), r.out);
}

}  // namespace
