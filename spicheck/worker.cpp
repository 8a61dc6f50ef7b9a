#include "worker.h"

#include <windows.h>

#include <cstdlib>

#include "base/process_probes.h"
#include "fuzz_campaign.h"
#include "watchdog.h"

namespace {

HANDLE g_journal = nullptr;

// Ends the worker with this code when a call damaged a heap: the process
// cannot be trusted to go on.
constexpr UINT kHeapDamageExit = 0xE5C10002;

journal::CallBoard* g_board = nullptr;

// A walk of every heap costs about a millisecond, and the checks make
// thousands of calls in a row: the heaps are walked after each of the first
// calls of a check, then when the last walk is some milliseconds old, and
// always before the next check starts. Damage stays, so it is still found
// within the check that did it.
DWORD g_lastWalk = 0;
int g_callsInCheck = 0;
constexpr DWORD kWalkEveryMs = 20;
constexpr int kWalkEachOfFirst = 32;

void CallBegins(const char* label) {
    if (!g_board) return;
    lstrcpynA(g_board->label, label, sizeof g_board->label);
    InterlockedIncrement(&g_board->calls);
    InterlockedExchange(&g_board->inCall, 1);
}

void CallDone(const char* label) {
    if (++g_callsInCheck <= kWalkEachOfFirst || GetTickCount() - g_lastWalk >= kWalkEveryMs)
        EnsureHeapsIntact(label);
    if (g_board) InterlockedExchange(&g_board->inCall, 0);
}

// Reports the exception and ends the process, before Wine's debugger or
// Windows' error reporting would start.
LONG WINAPI LastChance(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    // For an access violation the address touched, as the guard names it.
    uintptr_t address = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2)
        address = record->ExceptionInformation[1];
    char what[24];
    wsprintfA(what, "uncaught_%08lx", static_cast<unsigned long>(record->ExceptionCode));
    SaveCampaignInputBeforeTheEnd(what);
    SendToSpicheck(journal::Packet(journal::kCrash)
                       .Add(static_cast<long long>(record->ExceptionCode))
                       .Add(static_cast<long long>(address)));
    TerminateProcess(GetCurrentProcess(), record->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI EndWithSpicheck(void* spicheck) {
    WaitForSingleObject(static_cast<HANDLE>(spicheck), INFINITE);
    TerminateProcess(GetCurrentProcess(), 1);
    return 0;
}

bool ReadAll(HANDLE input, std::string* bytes) {
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input, chunk, sizeof chunk, &got, nullptr) || got == 0)
            return GetLastError() == ERROR_BROKEN_PIPE || got == 0;
        bytes->append(chunk, got);
    }
}

}  // namespace

void EnsureHeapsIntact(const char* lastCall) {
    if (!g_journal) return;
    if (!EveryHeapIntact()) {
        SendToSpicheck(journal::Packet(journal::kHeapDamage).Add(lastCall ? lastCall : ""));
        TerminateProcess(GetCurrentProcess(), kHeapDamageExit);
    }
    g_lastWalk = GetTickCount();
}

void CheckStarts() { g_callsInCheck = 0; }

void SendToSpicheck(const journal::Packet& packet) {
    if (g_journal && !journal::Write(g_journal, packet))
        TerminateProcess(GetCurrentProcess(), 1);
}

std::string PlanBytes(const WorkerPlan& plan) {
    journal::Packet packet(journal::kState);
    packet.Add(plan.resumeFile).Add(plan.resumeCheck).Add(plan.unreturnedCall);
    packet.Add(static_cast<long long>(plan.files.size()));
    for (const std::string& file : plan.files) packet.Add(file);
    for (const std::string& name : plan.saveNames) packet.Add(name);
    return packet.Bytes();
}

bool StartWorker(const std::string& handleText, WorkerPlan* plan) {
    // Tests set this to a file's path to make a worker fail to start, as
    // Wine sometimes makes one: the worker that finds the file removes it
    // and ends at once ("always": every worker).
    char failing[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("SPICHECK_TEST_WORKER_START_FAILS", failing, sizeof failing);
    if (n > 0 && n < sizeof failing &&
        (lstrcmpA(failing, "always") == 0 || DeleteFileA(failing)))
        TerminateProcess(GetCurrentProcess(), 0xC0000001);
    char* end = nullptr;
    unsigned long long value = strtoull(handleText.c_str(), &end, 10);
    if (!value || *end != ',') return false;
    unsigned long long section = strtoull(end + 1, &end, 10);
    if (!section || *end != ',') return false;
    unsigned long long parent = strtoull(end + 1, &end, 10);
    if (!parent || *end) return false;
    g_board = static_cast<journal::CallBoard*>(
        MapViewOfFile(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(section)), FILE_MAP_WRITE,
                      0, 0, sizeof(journal::CallBoard)));
    if (!g_board) return false;
    std::string bytes;
    if (!ReadAll(GetStdHandle(STD_INPUT_HANDLE), &bytes)) return false;
    journal::Record state;
    size_t at = 0;
    if (!journal::ParseRecord(bytes, &at, &state) || state.type != journal::kState ||
        state.fields.size() < 4)
        return false;
    plan->resumeFile = static_cast<int>(state.Number(0));
    plan->resumeCheck = static_cast<int>(state.Number(1));
    plan->unreturnedCall = state.Text(2);
    size_t files = static_cast<size_t>(state.Number(3));
    if (files > state.fields.size() - 4) return false;
    plan->files.assign(state.fields.begin() + 4, state.fields.begin() + 4 + files);
    plan->saveNames.assign(state.fields.begin() + 4 + files, state.fields.end());

    g_journal = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    // A worker whose spicheck has ended (killed, say, in the middle of a
    // call that hangs) ends too.
    HANDLE watcher = CreateThread(nullptr, 0, EndWithSpicheck,
                                  reinterpret_cast<void*>(static_cast<uintptr_t>(parent)), 0,
                                  nullptr);
    if (!watcher) return false;
    CloseHandle(watcher);
    SetUnhandledExceptionFilter(LastChance);
    ObserveCalls(CallBegins, CallDone);
    return true;
}
