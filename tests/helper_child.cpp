// A helper for test_helper_process: each argument is a handle value (in
// decimal); bit n of the exit code is set when the nth one names a section
// of the test's (marked "test section") in this process. With "crash" first it becomes a helper on the board
// named by the second argument, starts a call labelled "a call" there and
// writes through a null pointer, its last-chance hook first saying so on
// its standard output; with "wait" it waits a minute; with "echo" it
// copies its standard input to its standard output up to the end; with
// "host" it becomes a host whose helpers end with it, starts itself with
// "wait" left suspended (as the system leaves a helper whose host is
// killed in the middle of starting it), says that one's process id on its
// standard output and is killed (7).
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "isolation/helper_process.h"
#include "isolation/helper_side.h"

namespace {

void SayHooked(const FaultRecord& fault) {
    char line[32];
    DWORD written = 0;
    int n = wsprintfA(line, "hook %08lx", static_cast<unsigned long>(fault.code));
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, n, &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"crash") == 0) {
        isolation::BecomeHelper();
        HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, argv[2]);
        void* board = mapping ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
        if (!board) return 2;
        isolation::UseBoard(static_cast<isolation::Board*>(board));
        isolation::OnLastChance(SayHooked);
        isolation::CallBegins("a call");
        *static_cast<volatile int*>(nullptr) = 1;
        return 3;
    }
    if (argc == 2 && wcscmp(argv[1], L"wait") == 0) {
        Sleep(60000);
        return 4;
    }
    if (argc == 2 && wcscmp(argv[1], L"echo") == 0) {
        char chunk[256];
        DWORD got = 0, written = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &got, nullptr) && got)
            if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), chunk, got, &written, nullptr))
                return 6;
        return 5;
    }
    if (argc == 2 && wcscmp(argv[1], L"host") == 0) {
        if (!isolation::EndHelpersWithThisProcess()) return 8;
        wchar_t self[MAX_PATH];
        DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return 9;
        std::wstring line = L"\"" + std::wstring(self) + L"\" wait";
        STARTUPINFOW startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info;
        if (!CreateProcessW(self, &line[0], nullptr, nullptr, FALSE,
                            CREATE_SUSPENDED | DETACHED_PROCESS, nullptr, nullptr, &startup, &info))
            return 9;
        char text[16];
        DWORD written = 0;
        int n = wsprintfA(text, "%lu", info.dwProcessId);
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, n, &written, nullptr);
        TerminateProcess(GetCurrentProcess(), 7);
    }
    int seen = 0;
    for (int n = 1; n < argc; ++n) {
        HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(argv[n], nullptr, 10)));
        // The test's sections hold a mark: a handle of the child's own that
        // happens to have the same value holds none.
        const void* view = MapViewOfFile(handle, FILE_MAP_READ, 0, 0, 0);
        if (view && memcmp(view, "test section", 13) == 0) seen |= 1 << (n - 1);
        if (view) UnmapViewOfFile(view);
    }
    return seen;
}
