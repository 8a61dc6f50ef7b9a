// A fixture for tests that write below a registry key of their own under
// HKEY_CURRENT_USER: the key is deleted, with everything below it, before
// and after each test, so that no test sees another's values.
#ifndef SPIPROBE_TESTS_REGISTRY_KEY_TEST_H
#define SPIPROBE_TESTS_REGISTRY_KEY_TEST_H

#include <windows.h>

#include <gtest/gtest.h>

#include "registry.h"

class RegistryKeyTest : public testing::Test {
protected:
    explicit RegistryKeyTest(const char* key) : key_(key) {}
    void SetUp() override { RegDeleteTreeA(HKEY_CURRENT_USER, key_); }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, key_); }

    // Writes a value of HKEY_CURRENT_USER\subKey, which must succeed.
    static void WriteValue(const char* subKey, const char* name, DWORD type, const void* data,
                           DWORD size) {
        ASSERT_EQ(1, WriteRegistryValue(HKEY_CURRENT_USER, subKey, name, type, data, size));
    }

private:
    const char* key_;
};

#endif
