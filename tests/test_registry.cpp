// Registry helpers against the real registry of the test bench's prefix,
// under a key of their own that is removed again after each test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/process_probes.h"
#include "registry.h"
#include "registry_key_test.h"

namespace {

const char kRoot[] = "Software\\spiprobe-tests\\registry";

class Registry : public RegistryKeyTest {
protected:
    Registry() : RegistryKeyTest(kRoot) {}

    void Store(const char* name, DWORD type, const void* data, DWORD size) {
        WriteValue(kRoot, name, type, data, size);
    }
    int32_t Read(const char* name, unsigned char* buffer, uint32_t size) {
        return ReadRegistryValue(HKEY_CURRENT_USER, kRoot, name, buffer, size);
    }
};

// Buffer bytes not written by a read keep this value.
const unsigned char kFill = 0xAA;

}  // namespace

TEST_F(Registry, DwordAndBinaryComeBackExactlyAsStored) {
    DWORD word = 0x12345678;
    Store("word", REG_DWORD, &word, sizeof word);
    Store("blob", REG_BINARY, "xyz", 3);

    unsigned char buffer[8];
    memset(buffer, kFill, sizeof buffer);
    ASSERT_EQ(1, Read("word", buffer, 4));
    EXPECT_EQ(0x12345678u, *reinterpret_cast<DWORD*>(buffer));
    EXPECT_EQ(kFill, buffer[4]);

    memset(buffer, kFill, sizeof buffer);
    ASSERT_EQ(1, Read("blob", buffer, sizeof buffer));
    EXPECT_EQ(0, memcmp(buffer, "xyz", 3));
    EXPECT_EQ(kFill, buffer[3]) << "binary data is not terminated";
}

TEST_F(Registry, TextTypesGetOneZeroAfterTheReturnedBytes) {
    Store("sz", REG_SZ, "abc", 4);    // with its terminator
    Store("bare", REG_SZ, "abc", 3);  // without
    Store("expand", REG_EXPAND_SZ, "%x%", 3);
    Store("multi", REG_MULTI_SZ, "a\0b\0", 5);

    unsigned char buffer[520];
    memset(buffer, kFill, sizeof buffer);
    ASSERT_EQ(1, Read("sz", buffer, sizeof buffer));
    EXPECT_STREQ("abc", reinterpret_cast<char*>(buffer));
    EXPECT_EQ(0, buffer[4]);
    EXPECT_EQ(kFill, buffer[5]);

    memset(buffer, kFill, sizeof buffer);
    ASSERT_EQ(1, Read("bare", buffer, sizeof buffer));
    EXPECT_STREQ("abc", reinterpret_cast<char*>(buffer));

    memset(buffer, kFill, sizeof buffer);
    ASSERT_EQ(1, Read("expand", buffer, sizeof buffer));
    EXPECT_STREQ("%x%", reinterpret_cast<char*>(buffer)) << "not expanded, terminated";

    memset(buffer, kFill, sizeof buffer);
    ASSERT_EQ(1, Read("multi", buffer, sizeof buffer));
    EXPECT_EQ(0, memcmp(buffer, "a\0b\0\0", 6));
    EXPECT_EQ(kFill, buffer[6]);
}

// The terminator never lands past the caller's buffer: a text that fills
// it exactly loses its last byte to the terminator.
TEST_F(Registry, TextFillingTheBufferIsTerminatedInside) {
    Store("four", REG_SZ, "abcd", 4);
    Store("three", REG_SZ, "abc", 4);

    unsigned char guarded[5];
    // Whether the registry hands back an unterminated text that fills the
    // buffer varies by platform; when it does, the terminator stays inside.
    memset(guarded, kFill, sizeof guarded);
    if (Read("four", guarded, 4) == 1) {
        EXPECT_STREQ("abc", reinterpret_cast<char*>(guarded));
    }
    EXPECT_EQ(kFill, guarded[4]);

    memset(guarded, kFill, sizeof guarded);
    ASSERT_EQ(1, Read("three", guarded, 4));
    EXPECT_STREQ("abc", reinterpret_cast<char*>(guarded));
    EXPECT_EQ(kFill, guarded[4]);
}

TEST_F(Registry, MissingKeyMissingValueAndOversizeGiveZero) {
    Store("present", REG_SZ, "0123456789", 11);
    unsigned char buffer[8];
    memset(buffer, kFill, sizeof buffer);
    EXPECT_EQ(0, ReadRegistryValue(HKEY_CURRENT_USER, "Software\\spiprobe-tests\\registry\\none",
                                   "present", buffer, sizeof buffer));
    EXPECT_EQ(0, Read("absent", buffer, sizeof buffer));
    for (unsigned char b : buffer) ASSERT_EQ(kFill, b) << "a failed lookup touched the buffer";

    EXPECT_EQ(0, Read("present", buffer, sizeof buffer));
}

TEST_F(Registry, Read1024TakesValuesUpToOneKilobyte) {
    std::string fits(1023, 'f'), tooLong(1024, 't');
    Store("fits", REG_SZ, fits.c_str(), 1024);
    Store("long", REG_SZ, tooLong.c_str(), 1025);
    char buffer[1025];
    memset(buffer, kFill, sizeof buffer);
    ASSERT_EQ(1, ReadRegistryValue1024(HKEY_CURRENT_USER, kRoot, "fits", buffer));
    EXPECT_EQ(fits, buffer);
    EXPECT_EQ(static_cast<char>(kFill), buffer[1024]);
    EXPECT_EQ(0, ReadRegistryValue1024(HKEY_CURRENT_USER, kRoot, "long", buffer));
}

TEST_F(Registry, WriteCreatesMissingKeysAndReportsFailure) {
    std::string deep = std::string(kRoot) + "\\one\\two";
    DWORD word = 7;
    ASSERT_EQ(1, WriteRegistryValue(HKEY_CURRENT_USER, deep.c_str(), "v", REG_DWORD, &word, 4));
    DWORD back = 0;
    ASSERT_EQ(1, ReadRegistryValue(HKEY_CURRENT_USER, deep.c_str(), "v", &back, sizeof back));
    EXPECT_EQ(7u, back);

    uint32_t type = 0, size = 0;
    ASSERT_EQ(1, QueryRegistryValue(HKEY_CURRENT_USER, deep.c_str(), "v", &type, &size));
    EXPECT_EQ(static_cast<uint32_t>(REG_DWORD), type);
    EXPECT_EQ(4u, size);
    EXPECT_EQ(0, QueryRegistryValue(HKEY_CURRENT_USER, deep.c_str(), "w", &type, &size));

    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1230));
    EXPECT_EQ(0, WriteRegistryValue(bogus, "x", "v", REG_DWORD, &word, 4));
}

// Every path closes the key it opened.
TEST_F(Registry, NoKeyHandleOutlivesACall) {
    DWORD word = 1;
    Store("v", REG_DWORD, &word, 4);
    unsigned char small[2];
    long before = KernelHandleCount();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 50; ++i) {
        Read("v", small, sizeof small);       // too large: fails after opening
        Read("absent", small, sizeof small);  // missing value
        WriteRegistryValue(HKEY_CURRENT_USER, kRoot, "v", REG_DWORD, &word, 4);
        QueryRegistryValue(HKEY_CURRENT_USER, kRoot, "absent", nullptr, nullptr);
    }
    EXPECT_EQ(before, KernelHandleCount());
}
