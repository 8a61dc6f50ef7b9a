// The isolation kit's host side with a helper program of the tests' own:
// what it inherits, and how it ended.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "isolation/helper_process.h"
#include "test_support.h"
#include "win32_handles.h"

namespace {

constexpr int kBits = sizeof(void*) * 8;

std::wstring Child() { return isolation::HelperProgram(L"helper_child", kBits, std::wstring()); }

std::wstring Value(HANDLE handle) {
    return std::to_wstring(reinterpret_cast<uintptr_t>(handle));
}

TEST(HelperProcess, InheritsTheHandlesNamedAndNoOther) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    UniqueKernelHandle named(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    UniqueKernelHandle other(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    ASSERT_TRUE(named.valid() && other.valid());
    HANDLE list[] = {named.get()};

    isolation::HelperProcess helper;
    ASSERT_TRUE(helper.Start(Child(), Value(named.get()) + L" " + Value(other.get()), list, 1))
        << GetLastError();
    isolation::HelperEnd end = helper.HowEnded(nullptr, 10000);
    EXPECT_TRUE(end.ended);
    EXPECT_EQ(1u, end.exitCode) << "bit 0: the handle named; bit 1: another inheritable one";
    EXPECT_FALSE(end.crashed);

    // Started with none named, it inherits nothing.
    ASSERT_TRUE(helper.Start(Child(), Value(named.get()) + L" " + Value(other.get()), nullptr, 0));
    end = helper.HowEnded(nullptr, 10000);
    EXPECT_EQ(0u, end.exitCode);
}

TEST(HelperProcess, SaysHowItEnded) {
    // A crash, through the helper's last-chance filter, read from the board.
    std::wstring name = L"helper-board-" + std::to_wstring(GetCurrentProcessId());
    UniqueKernelHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                                  0, sizeof(isolation::Board), name.c_str()));
    ASSERT_TRUE(mapping.valid());
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(nullptr, view);
    const isolation::Board* board = static_cast<const isolation::Board*>(view);
    isolation::HelperProcess helper;
    ASSERT_TRUE(helper.Start(Child(), L"crash " + name, nullptr, 0));
    isolation::HelperEnd end = helper.HowEnded(board, 10000);
    EXPECT_TRUE(end.ended);
    EXPECT_EQ(isolation::kExitUnhandledException, end.exitCode);
    EXPECT_TRUE(end.crashed);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), end.crash.code);
    EXPECT_EQ(1, end.crash.access) << "a write";
    EXPECT_EQ(0u, end.crash.address);
    UnmapViewOfFile(view);

    // Ended by its host, at once: the code given.
    ASSERT_TRUE(helper.Start(Child(), L"wait", nullptr, 0));
    UniqueKernelHandle watched(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, helper.ProcessId()));
    ASSERT_TRUE(watched.valid());
    DWORD started = GetTickCount();
    helper.End(isolation::kExitEndedByHost);
    EXPECT_LT(GetTickCount() - started, 5000u);
    EXPECT_FALSE(helper.Running());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(watched.get(), 5000));
    DWORD code = 0;
    GetExitCodeProcess(watched.get(), &code);
    EXPECT_EQ(isolation::kExitEndedByHost, code);

    // A program that is not there: the system's error.
    EXPECT_FALSE(helper.Start(L"C:\\nowhere\\helper_child32.exe", L"", nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

}  // namespace
