#include "isolation/helper_side.h"

#include "base/process_probes.h"

namespace isolation {

namespace {

Board* g_board = nullptr;

LONG WINAPI LastChance(EXCEPTION_POINTERS* pointers) {
    if (g_board && pointers && pointers->ExceptionRecord) {
        FaultRecord fault = ReadFaultRecord(*pointers->ExceptionRecord);
        g_board->code = fault.code;
        g_board->access = fault.access;
        g_board->address = fault.address;
        g_board->instruction = fault.instruction;
        g_board->crashMagic = kCrashMagic;
    }
    EndHelper(kExitUnhandledException);
}

DWORD WINAPI WatchHost(void* host) {
    WaitForSingleObject(static_cast<HANDLE>(host), INFINITE);
    EndHelper(kExitHostGone);
}

}  // namespace

void BecomeHelper() {
    // No error dialog of the system, ever: a helper has nobody to answer one.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(LastChance);
}

void UseBoard(Board* board) { g_board = board; }

bool EndWithHost(HANDLE host) {
    HANDLE watcher = CreateThread(nullptr, 0, WatchHost, host, 0, nullptr);
    if (!watcher) return false;
    CloseHandle(watcher);
    return true;
}

void EndHelper(DWORD code) {
    TerminateProcess(GetCurrentProcess(), code);
    // TerminateProcess on the own process does not return; should it, the
    // process still must not go on.
    ExitProcess(code);
}

bool HeapCheck::AfterCall() {
    bool due = policy_.eachOfFirst < 0 || ++callsInSpan_ <= policy_.eachOfFirst ||
               GetTickCount() - lastWalk_ >= policy_.everyMs;
    return !due || WalkNow();
}

bool HeapCheck::WalkNow() {
    bool intact = EveryHeapIntact();
    lastWalk_ = GetTickCount();
    return intact;
}

}  // namespace isolation
