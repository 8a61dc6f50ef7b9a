// The tar plug-in on an archive past 4 GiB (a sparse file): the x64 build
// lists the member whose header starts beyond 4 GiB with its whole
// position and the 4 GiB member with its whole size; the 32-bit build,
// whose records hold 32-bit positions, leaves the far member out.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "spiplugin.h"
#include "tar_fixtures.h"
#include "test_support.h"

namespace {

constexpr uint64_t kBigSize = 0x100000000ull;  // 4 GiB

void Octal(char* field, size_t width, uint64_t value) {
    snprintf(field, width, "%0*llo", static_cast<int>(width - 1),
             static_cast<unsigned long long>(value));
}

std::string Header(const char* name, uint64_t size) {
    std::string block(512, '\0');
    char* h = &block[0];
    strcpy(h, name);
    Octal(h + 100, 8, 0644);
    Octal(h + 108, 8, 0);
    Octal(h + 116, 8, 0);
    Octal(h + 124, 12, size);
    Octal(h + 136, 12, 1700000000);
    h[156] = '0';
    memcpy(h + 257, "ustar\0" "00", 8);
    memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    snprintf(h + 148, 8, "%06o", sum);
    return block;
}

bool WriteAt(HANDLE file, uint64_t at, const std::string& bytes) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(at);
    DWORD put = 0;
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
           WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
           put == bytes.size();
}

}  // namespace

TEST(TarPluginWide, AMemberPast4GiBIsListedWholeOnlyByTheX64Build) {
    TempDir dir;
    std::string archive = dir.File("wide.tar");
    const uint64_t farHeader = 512 + kBigSize;
    {
        HANDLE file = CreateFileA(archive.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD unused = 0;
        // Sparse where the file system allows: the 4 GiB are never written.
        DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
        bool written = WriteAt(file, 0, Header("big.bin", kBigSize)) &&
                       WriteAt(file, farHeader, Header("far.txt", 5)) &&
                       WriteAt(file, farHeader + 512, std::string("hello") + std::string(507, '\0')) &&
                       WriteAt(file, farHeader + 1024, std::string(1024, '\0'));
        CloseHandle(file);
        if (!written) GTEST_SKIP() << "no room for a sparse 4 GiB file here";
    }
    SpiDllFile plugin;
    ASSERT_EQ(1, plugin.Load(nullptr, "tar" SPI_EXT));
    HLOCAL list = nullptr;
    ASSERT_EQ(0, plugin.GetArchiveInfo(archive.c_str(), 0, 0, &list));
    std::vector<fileInfo> entries = TakeList(list);
    DeleteFileA(archive.c_str());
#if defined(_WIN64)
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(kBigSize, entries[0].filesize);
    EXPECT_EQ(farHeader, entries[1].position);
    EXPECT_STREQ("far.txt", entries[1].filename);
    EXPECT_EQ(5u, entries[1].filesize);
    EXPECT_EQ(1700000000u, entries[1].timestamp);
#else
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0xFFFFFFFFu, entries[0].filesize);
#endif
    EXPECT_STREQ("big.bin", entries[0].filename);
    EXPECT_EQ(0u, entries[0].position);
}
