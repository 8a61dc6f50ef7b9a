// tar.spi on truncated and corrupted archives: every prefix of small GNU tar
// archives and random byte changes with a fixed seed. Each input is given
// from memory and placed so that the byte after it is the first byte of a
// no-access page, so a read past the input faults; the guarded call then
// answers 8, which fails the test like any other fault.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fenced_input.h"
#include "tar_fixtures.h"

namespace {

class TarMalformed : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, plugin.Load(nullptr, "tar" SPI_EXT)); }

    // Lists the input and then extracts and looks up every listed member.
    // An empty text when every answer was a refusal or a sound success,
    // else what went wrong. *listed receives the list.
    std::string Exercise(const std::string& bytes, int32_t* listResult,
                         std::vector<fileInfo>* listed) {
        FencedInput input(bytes);
        if (!input.data()) return "no guarded memory";
        HLOCAL list = nullptr;
        *listResult = plugin.GetArchiveInfo(input.data(), input.size(), 1, &list);
        *listed = TakeList(list);
        if (*listResult != 0 && *listResult != 2 && *listResult != 3)
            return "GetArchiveInfo answered " + std::to_string(*listResult);
        for (const fileInfo& entry : *listed) {
            if (entry.position >= bytes.size()) return "a position past the input";
            HLOCAL block = nullptr;
            int32_t r = plugin.GetFile(input.data() + entry.position,
                                       static_cast<int32_t>(bytes.size() - entry.position),
                                       reinterpret_cast<LPSTR>(&block), 0x101, nullptr, 0);
            SIZE_T size = block ? LocalSize(block) : 0;
            if (block) LocalFree(block);
            if (r != 0) return "GetFile of a listed member answered " + std::to_string(r);
            if (size != entry.filesize) return "a member block of the wrong size";
            std::string name = std::string(entry.path) + entry.filename;
            fileInfo found;
            r = plugin.GetFileInfo(input.data(), input.size(), name.c_str(), 1, &found);
            if (r != 0) return "GetFileInfo of a listed member answered " + std::to_string(r);
        }
        return "";
    }

    SpiDllFile plugin{Resident};
};

const char* const kSmallArchives[] = {"small-ustar.tar", "small-gnu.tar", "small-pax.tar"};

bool SameEntry(const fileInfo& a, const fileInfo& b) { return memcmp(&a, &b, sizeof a) == 0; }

TEST_F(TarMalformed, EveryPrefixIsListedSoundlyOrRefused) {
    for (const char* name : kSmallArchives) {
        SCOPED_TRACE(name);
        std::string archive = ReadBytes(TarFixture(name));
        ASSERT_FALSE(archive.empty());
        int32_t result = -99;
        std::vector<fileInfo> full;
        ASSERT_EQ("", Exercise(archive, &result, &full));
        ASSERT_EQ(0, result);
        ASSERT_EQ(ReadListing(std::string(name, strlen(name) - 4) + ".list").size(), full.size());

        int failures = 0;
        for (size_t n = 0; n < archive.size() && failures < 5; ++n) {
            std::string prefix = archive.substr(0, n);
            std::vector<fileInfo> entries;
            std::string problem = Exercise(prefix, &result, &entries);
            // What a prefix lists is what the whole archive lists, in order.
            for (size_t i = 0; problem.empty() && i < entries.size(); ++i) {
                if (i >= full.size() || !SameEntry(entries[i], full[i]))
                    problem = "entry " + std::to_string(i) + " differs from the full list";
            }
            if (!problem.empty()) {
                ++failures;
                ADD_FAILURE() << "prefix of " << n << " bytes: " << problem;
            }
        }
    }
}

TEST_F(TarMalformed, FileInputAgreesWithMemoryInput) {
    std::string archive = ReadBytes(TarFixture("small-pax.tar"));
    TempDir dir;
    std::string path = dir.File("prefix.tar");
    for (size_t n = 0; n <= archive.size(); n += 97) {
        SCOPED_TRACE(n);
        std::string prefix = archive.substr(0, n);
        ASSERT_TRUE(WriteBytes(path, prefix));
        int32_t memoryResult = -99;
        std::vector<fileInfo> fromMemory;
        EXPECT_EQ("", Exercise(prefix, &memoryResult, &fromMemory));
        HLOCAL list = nullptr;
        EXPECT_EQ(memoryResult, plugin.GetArchiveInfo(path.c_str(), 0, 0, &list));
        std::vector<fileInfo> fromFile = TakeList(list);
        ASSERT_EQ(fromMemory.size(), fromFile.size());
        for (size_t i = 0; i < fromFile.size(); ++i)
            EXPECT_TRUE(SameEntry(fromMemory[i], fromFile[i])) << i;
    }
}

// Offsets of the blocks whose checksum holds: the archive's headers.
std::vector<size_t> HeaderOffsets(const std::string& archive) {
    std::vector<size_t> offsets;
    for (size_t at = 0; at + 512 <= archive.size(); at += 512) {
        unsigned sum = 0;
        for (size_t i = 0; i < 512; ++i)
            sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(archive[at + i]);
        if (sum != 8 * ' ' && strtoul(archive.substr(at + 148, 8).c_str(), nullptr, 8) == sum)
            offsets.push_back(at);
    }
    return offsets;
}

void FixChecksum(std::string& archive, size_t at) {
    memset(&archive[at + 148], ' ', 8);
    unsigned sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += static_cast<unsigned char>(archive[at + i]);
    char field[8];
    snprintf(field, sizeof field, "%06o", sum & 0777777);
    memcpy(&archive[at + 148], field, 7);
}

TEST_F(TarMalformed, RandomByteChangesNeverReadPastTheInput) {
    std::mt19937 random(20261208);
    for (const char* name : kSmallArchives) {
        SCOPED_TRACE(name);
        const std::string archive = ReadBytes(TarFixture(name));
        const std::vector<size_t> headers = HeaderOffsets(archive);
        ASSERT_GE(headers.size(), 2u);
        int failures = 0;
        for (int round = 0; round < 1500 && failures < 5; ++round) {
            std::string bytes = archive;
            int changes = 1 + static_cast<int>(random() % 4);
            for (int c = 0; c < changes; ++c) {
                // Most changes hit a header: the numbers, names and types.
                size_t at = random() % 3 != 0
                                ? headers[random() % headers.size()] + random() % 512
                                : random() % bytes.size();
                bytes[at] = static_cast<char>(random() % 2 ? random() % 256
                                                          : bytes[at] ^ (1 << (random() % 8)));
            }
            // Half the time the checksums are made right again, so the
            // changed fields are parsed rather than the block refused.
            if (random() % 2) {
                for (size_t at : headers) FixChecksum(bytes, at);
            }
            int32_t result = -99;
            std::vector<fileInfo> entries;
            std::string problem = Exercise(bytes, &result, &entries);
            if (!problem.empty()) {
                ++failures;
                ADD_FAILURE() << "round " << round << ": " << problem;
            }
        }
    }
}

}  // namespace
