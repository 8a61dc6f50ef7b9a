// The isolation kit's host side with a helper program of the tests' own:
// what it inherits, and how it ended.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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

// A section holding the mark the helper looks for.
HANDLE MarkedSection(SECURITY_ATTRIBUTES* attributes) {
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0, 4096,
                                        nullptr);
    void* view = section ? MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
    if (view) {
        memcpy(view, "test section", 13);
        UnmapViewOfFile(view);
    }
    return section;
}

TEST(HelperProcess, InheritsTheHandlesNamedAndNoOther) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    UniqueKernelHandle named(MarkedSection(&inheritable));
    UniqueKernelHandle other(MarkedSection(&inheritable));
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

// Everything a pipe holds, up to its end (false: it did not end within
// the bound, a writing end still open somewhere).
bool ReadToEnd(HANDLE pipe, std::string* bytes) {
    for (DWORD waited = 0; waited < 10000; waited += 10) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return true;
        if (!available) {
            Sleep(10);
            continue;
        }
        std::string chunk(available, '\0');
        DWORD got = 0;
        if (!ReadFile(pipe, &chunk[0], available, &got, nullptr)) return true;
        bytes->append(chunk, 0, got);
    }
    return false;
}

// Standard handles given: the helper reads its input to the end and
// writes its output where it is told. Only the reading end of the input
// pipe is inherited, so the helper sees the end once the host closes its
// writing end, even with that end inheritable.
TEST(HelperProcess, TakesTheStandardHandlesGiven) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE raw[4] = {};
    ASSERT_TRUE(CreatePipe(&raw[0], &raw[1], &inheritable, 0));
    UniqueKernelHandle inputRead(raw[0]), inputWrite(raw[1]);
    ASSERT_TRUE(CreatePipe(&raw[2], &raw[3], &inheritable, 0));
    UniqueKernelHandle outputRead(raw[2]), outputWrite(raw[3]);
    isolation::StandardHandles standard;
    standard.input = inputRead.get();
    standard.output = outputWrite.get();
    standard.error = outputWrite.get();

    isolation::HelperProcess helper;
    ASSERT_TRUE(helper.Start(Child(), L"echo", nullptr, 0, standard)) << GetLastError();
    EXPECT_NE(nullptr, helper.mainThread());
    inputRead.reset();
    outputWrite.reset();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(inputWrite.get(), "the plan", 8, &written, nullptr));
    inputWrite.reset();
    std::string echoed;
    EXPECT_TRUE(ReadToEnd(outputRead.get(), &echoed)) << "a pipe end leaked into the helper";
    EXPECT_EQ("the plan", echoed);
    isolation::HelperEnd end = helper.HowEnded(nullptr, 10000);
    EXPECT_TRUE(end.ended);
    EXPECT_EQ(5u, end.exitCode);
}

// Starts the helper with its standard output into a pipe whose reading
// end comes back in said.
bool StartSaying(isolation::HelperProcess& helper, const std::wstring& arguments,
                 UniqueKernelHandle* said) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE raw[2] = {};
    if (!CreatePipe(&raw[0], &raw[1], &inheritable, 0)) return false;
    said->reset(raw[0]);
    UniqueKernelHandle write(raw[1]);
    isolation::StandardHandles standard;
    standard.output = write.get();
    return helper.Start(Child(), arguments, nullptr, 0, standard);
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
    UniqueKernelHandle hookRead;
    ASSERT_TRUE(StartSaying(helper, L"crash " + name, &hookRead));
    isolation::HelperEnd end = helper.HowEnded(board, 10000);
    EXPECT_TRUE(end.ended);
    EXPECT_EQ(isolation::kExitUnhandledException, end.exitCode);
    EXPECT_TRUE(end.crashed);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), end.crash.code);
    EXPECT_EQ(1, end.crash.access) << "a write";
    EXPECT_EQ(0u, end.crash.address);
    // The call it was in, and what its hook did before the end.
    EXPECT_EQ(1, board->inCall);
    EXPECT_EQ(1, board->calls);
    EXPECT_STREQ("a call", board->label);
    std::string hooked;
    EXPECT_TRUE(ReadToEnd(hookRead.get(), &hooked));
    EXPECT_EQ("hook c0000005", hooked);
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

    // Ended and still held: how it ended can be read after.
    ASSERT_TRUE(helper.Start(Child(), L"wait", nullptr, 0));
    EXPECT_TRUE(helper.Terminate(isolation::kExitEndedByHost));
    EXPECT_TRUE(helper.Running());
    EXPECT_EQ(isolation::kExitEndedByHost, helper.HowEnded(nullptr, 0).exitCode);
    helper.End(isolation::kExitEndedByHost);

    // A program that is not there: the system's error.
    EXPECT_FALSE(helper.Start(L"C:\\nowhere\\helper_child32.exe", L"", nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST(HelperProcess, NoneOutlivesAHostThatEndsThemWithIt) {
    // The host starts a helper and is killed before the helper was let run:
    // the helper goes with it instead of staying suspended for good.
    isolation::HelperProcess host;
    UniqueKernelHandle saidRead;
    ASSERT_TRUE(StartSaying(host, L"host", &saidRead));
    std::string said;
    EXPECT_TRUE(ReadToEnd(saidRead.get(), &said));
    EXPECT_EQ(7u, host.HowEnded(nullptr, 10000).exitCode) << "8: no job; 9: no helper";
    DWORD id = static_cast<DWORD>(strtoul(said.c_str(), nullptr, 10));
    ASSERT_NE(0u, id) << said;
    UniqueKernelHandle left(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id));
    if (left.valid()) {
        bool ended = WaitForSingleObject(left.get(), 5000) == WAIT_OBJECT_0;
        if (!ended) TerminateProcess(left.get(), 1);  // not left behind by the test
        EXPECT_TRUE(ended) << "the suspended helper outlived its host";
    }
}

}  // namespace
