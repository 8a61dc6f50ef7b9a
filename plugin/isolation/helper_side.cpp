#include "isolation/helper_side.h"

#include "base/process_probes.h"

namespace isolation {

namespace {

Board* g_board = nullptr;
LastChanceHook g_hook = nullptr;

LONG WINAPI LastChance(EXCEPTION_POINTERS* pointers) {
    if (!pointers || !pointers->ExceptionRecord) EndHelper(kExitUnhandledException);
    FaultRecord fault = ReadFaultRecord(*pointers->ExceptionRecord);
    if (g_board) {
        g_board->code = fault.code;
        g_board->access = fault.access;
        g_board->address = fault.address;
        g_board->instruction = fault.instruction;
        g_board->crashMagic = kCrashMagic;
    }
    if (g_hook) g_hook(fault);
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

void OnLastChance(LastChanceHook hook) { g_hook = hook; }

void CallBegins(const char* label) {
    if (!g_board) return;
    lstrcpynA(g_board->label, label ? label : "", sizeof g_board->label);
    InterlockedIncrement(&g_board->calls);
    InterlockedExchange(&g_board->inCall, 1);
}

void CallEnds() {
    if (g_board) InterlockedExchange(&g_board->inCall, 0);
}

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
