// A helper for test_helper_process: each argument is a handle value (in
// decimal); bit n of the exit code is set when the nth one names a handle
// of this process. With "crash" first it becomes a helper on the board
// named by the second argument and writes through a null pointer; with
// "wait" it waits a minute.
#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "isolation/helper_side.h"

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"crash") == 0) {
        isolation::BecomeHelper();
        HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, argv[2]);
        void* board = mapping ? MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
        if (!board) return 2;
        isolation::UseBoard(static_cast<isolation::Board*>(board));
        *static_cast<volatile int*>(nullptr) = 1;
        return 3;
    }
    if (argc == 2 && wcscmp(argv[1], L"wait") == 0) {
        Sleep(60000);
        return 4;
    }
    int seen = 0;
    for (int n = 1; n < argc; ++n) {
        HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(argv[n], nullptr, 10)));
        DWORD flags = 0;
        if (GetHandleInformation(handle, &flags)) seen |= 1 << (n - 1);
    }
    return seen;
}
