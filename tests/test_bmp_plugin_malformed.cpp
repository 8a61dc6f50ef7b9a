// bmp.spi on truncated, corrupted and lying bitmaps, given from memory so
// that the byte after the input is the first of an inaccessible page: a
// read past the input faults, and the guarded call answers 8. The plug-in
// must refuse bad input with a code of its own, never fault.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "fenced_input.h"
#include "spi_dll_file.h"
#include "test_support.h"

namespace {

std::string ReadFixture(const std::string& name) { return ReadBytes(FixturePath("bmp", name)); }

class BmpMalformed : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, plugin.Load(nullptr, "bmp" SPI_EXT)); }

    // GetPictureInfo and GetPicture on the bytes; the decode's result, or
    // 8 when either call faulted. A decoded picture is checked and freed.
    int32_t Try(const std::string& bytes) {
        FencedInput input(bytes);
        EXPECT_NE(nullptr, input.data());
        PictureInfo info;
        const int32_t infoResult =
            plugin.GetPictureInfo(input.data(), input.size(), SPI_INPUT_MEMORY, &info);
        if (infoResult == SPI_INTERNAL_ERROR) return infoResult;
        HLOCAL header = nullptr, bits = nullptr;
        const int32_t result = plugin.GetPicture(input.data(), input.size(), SPI_INPUT_MEMORY,
                                                 &header, &bits, nullptr, 0);
        if (result == SPI_SUCCESS) {
            EXPECT_EQ(0, infoResult) << "the picture decodes but its description failed";
            BITMAPINFOHEADER h = {};
            if (header && LocalSize(header) >= sizeof h) memcpy(&h, LocalLock(header), sizeof h);
            if (header) LocalUnlock(header);
            const size_t stride = (static_cast<size_t>(h.biWidth) * 3 + 3) & ~size_t(3);
            EXPECT_EQ(info.width, h.biWidth);
            EXPECT_GE(bits ? LocalSize(bits) : 0, stride * h.biHeight);
            if (header) LocalFree(header);
            if (bits) LocalFree(bits);
        } else {
            EXPECT_EQ(nullptr, header);
            EXPECT_EQ(nullptr, bits);
        }
        return result;
    }

    SpiDllFile plugin{Resident};
};

TEST_F(BmpMalformed, EveryPrefixIsRefusedWithoutAFault) {
    const std::string small = ReadFixture("small.bmp");
    ASSERT_GT(small.size(), 54u);
    for (size_t length = 0; length < small.size(); ++length) {
        const int32_t result = Try(small.substr(0, length));
        // Fewer than the two bytes of the "BM" magic is not a bitmap; more is
        // a truncated one.
        EXPECT_EQ(length < 2 ? SPI_UNSUPPORTED : SPI_CORRUPT, result)
            << "prefix of " << length << " bytes";
    }
    EXPECT_EQ(0, Try(small));

    for (const char* name : {"rle4hand.bmp", "rle8hand.bmp", "core4.bmp"}) {
        const std::string bytes = ReadFixture(name);
        ASSERT_FALSE(bytes.empty()) << name;
        for (size_t length = 0; length <= bytes.size(); ++length)
            EXPECT_NE(SPI_INTERNAL_ERROR, Try(bytes.substr(0, length)))
                << name << ", prefix of " << length << " bytes";
    }
}

TEST_F(BmpMalformed, RandomByteFlipsNeverFault) {
    std::mt19937 random(20261208);
    for (const char* name : {"small.bmp", "rle4hand.bmp", "rle8hand.bmp", "info4.bmp",
                             "v5_565.bmp", "core8.bmp", "info32bf.bmp"}) {
        const std::string original = ReadFixture(name);
        ASSERT_FALSE(original.empty()) << name;
        for (int round = 0; round < 300; ++round) {
            std::string bytes = original;
            const int flips = 1 + random() % 4;
            for (int i = 0; i < flips; ++i) {
                // Half the flips hit the headers, where sizes and offsets live.
                const size_t span = random() % 2 ? std::min<size_t>(bytes.size(), 70) : bytes.size();
                bytes[random() % span] ^= static_cast<char>(1 + random() % 255);
            }
            ASSERT_NE(SPI_INTERNAL_ERROR, Try(bytes)) << name << ", round " << round;
        }
    }
}

// Writes value little-endian over the four bytes at the offset.
void Store32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

TEST_F(BmpMalformed, HeadersThatLieAreRefusedWithTheirCode) {
    const std::string small = ReadFixture("small.bmp");  // 3x2, 24 bits, 40-byte header
    ASSERT_EQ(0x36, small[10]);
    struct Case {
        const char* what;
        size_t at;
        uint32_t value;
        int32_t expected;
    };
    const Case cases[] = {
        {"zero width", 18, 0, SPI_CORRUPT},
        {"negative width", 18, static_cast<uint32_t>(-3), SPI_CORRUPT},
        {"zero height", 22, 0, SPI_CORRUPT},
        {"height INT_MIN", 22, 0x80000000u, SPI_CORRUPT},
        {"width whose row size overflows", 18, 0x7FFFFFFFu, SPI_CORRUPT},
        {"65536 x 65536", 18, 0x10000, SPI_CORRUPT},
        {"pixel offset past the end", 10, static_cast<uint32_t>(small.size() + 1), SPI_CORRUPT},
        {"pixel offset inside the header", 10, 20, SPI_CORRUPT},
        {"unknown header size", 14, 64, SPI_UNSUPPORTED},
        {"2 bits per pixel", 28, 2, SPI_UNSUPPORTED},
        {"embedded JPEG", 30, 4, SPI_UNSUPPORTED},
        {"RLE8 with 24 bits", 30, 1, SPI_CORRUPT},
        {"not BM", 0, 0x3A4142u, SPI_UNSUPPORTED},
    };
    for (const Case& c : cases) {
        std::string bytes = small;
        Store32(bytes, c.at, c.value);
        if (c.at == 18 && c.value == 0x10000) Store32(bytes, 22, 0x10000);
        EXPECT_EQ(c.expected, Try(bytes)) << c.what;
    }

    // Run-length data: 12x6 with 256 colours; the runs start at 1078, the
    // delta escape (0, 2, dx, dy) at 1090.
    const std::string rle = ReadFixture("rle8hand.bmp");
    ASSERT_EQ(2, rle[1091]);
    std::string runTooLong = rle;
    runTooLong[1078] = 13;  // the padded row holds 12 pixels
    EXPECT_EQ(SPI_CORRUPT, Try(runTooLong));
    std::string deltaBelow = rle;
    deltaBelow[1093] = 9;
    EXPECT_EQ(SPI_CORRUPT, Try(deltaBelow));
    std::string huge = rle;
    Store32(huge, 18, 20000);
    Store32(huge, 22, 20000);
    EXPECT_EQ(SPI_NO_MEMORY, Try(huge)) << "400 million pixels are over the cap";
}

}  // namespace
