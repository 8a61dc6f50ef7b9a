#include "worker.h"

#include <windows.h>

#include <cstdlib>

#include "checker.h"
#include "fuzz_campaign.h"
#include "isolation/helper_side.h"
#include "kept_input.h"
#include "report.h"
#include "watchdog.h"

namespace {

HANDLE g_journal = nullptr;

// A walk of every heap costs about a millisecond, and the checks make
// thousands of calls in a row (a runner, by contrast, walks after each of
// its one call per request): the heaps are walked after each of the first
// calls of a check, then when the last walk is some milliseconds old, and
// always before the next check starts. Damage stays, so it is still found
// within the check that did it.
isolation::HeapCheck g_heapCheck({32, 20});

void CallDone(const char* label) {
    if (!g_heapCheck.AfterCall()) HeapDamaged(label);
    isolation::CallEnds();
}

// The input a fuzz campaign was running is kept before the worker ends.
void KeepCampaignInput(const FaultRecord& fault) {
    char what[24];
    wsprintfA(what, "uncaught_%08lx", static_cast<unsigned long>(fault.code));
    SaveCampaignInputBeforeTheEnd(what);
}

// A worker's spicheck ends it first; this only ends a worker whose
// spicheck is gone.
void EndQuietly(const char*, DWORD, void*) {}

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

void HeapDamaged(const char* lastCall) {
    SendToSpicheck(journal::Packet(journal::kHeapDamage).Add(lastCall ? lastCall : ""));
    isolation::EndHelper(isolation::kExitHeapDamage);
}

void EnsureHeapsIntact(const char* lastCall) {
    if (g_journal && !g_heapCheck.WalkNow()) HeapDamaged(lastCall);
}

void CheckStarts() { g_heapCheck.SpanStarts(); }

void SendToSpicheck(const journal::Packet& packet) {
    if (g_journal && !journal::Write(g_journal, packet))
        isolation::EndHelper(isolation::kExitHostGone);
}

std::string PlanBytes(const WorkerPlan& plan) {
    journal::Packet packet(journal::kState);
    packet.Add(plan.resumeFile).Add(plan.resumeCheck).Add(plan.unreturnedCall);
    packet.Add(plan.keptTry ? 1LL : 0LL).Add(static_cast<long long>(plan.files.size()));
    for (const std::string& file : plan.files) packet.Add(file);
    for (const std::string& name : plan.saveNames) packet.Add(name);
    return packet.Bytes();
}

bool StartWorker(const std::string& handleText, WorkerPlan* plan) {
    // Tests set this to a file's path to make a worker fail to start, as
    // Wine sometimes makes one: the worker that finds the file removes it
    // and ends at once ("always": every worker; "tries": every worker
    // started to try a kept input, below).
    char failing[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("SPICHECK_TEST_WORKER_START_FAILS", failing, sizeof failing);
    const bool failsTries = n > 0 && n < sizeof failing && lstrcmpA(failing, "tries") == 0;
    if (n > 0 && n < sizeof failing && !failsTries &&
        (lstrcmpA(failing, "always") == 0 || DeleteFileA(failing)))
        TerminateProcess(GetCurrentProcess(), 0xC0000001);
    char* end = nullptr;
    unsigned long long value = strtoull(handleText.c_str(), &end, 10);
    if (!value || *end != ',') return false;
    unsigned long long section = strtoull(end + 1, &end, 10);
    if (!section || *end != ',') return false;
    unsigned long long parent = strtoull(end + 1, &end, 10);
    if (!parent || *end) return false;
    // Mapped for the process's life: the last-chance filter writes to it,
    // and a campaign keeps its input in the room after it.
    void* board = MapViewOfFile(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(section)),
                                FILE_MAP_WRITE, 0, 0, 0);
    MEMORY_BASIC_INFORMATION view;
    if (!board || !VirtualQuery(board, &view, sizeof view) ||
        view.RegionSize < sizeof(isolation::Board))
        return false;
    UseKeptInput(board, view.RegionSize);
    std::string bytes;
    if (!ReadAll(GetStdHandle(STD_INPUT_HANDLE), &bytes)) return false;
    journal::Record state;
    size_t at = 0;
    if (!journal::ParseRecord(bytes, &at, &state) || state.type != journal::kState ||
        state.fields.size() < 5)
        return false;
    plan->resumeFile = static_cast<int>(state.Number(0));
    plan->resumeCheck = static_cast<int>(state.Number(1));
    plan->unreturnedCall = state.Text(2);
    plan->keptTry = state.Number(3) != 0;
    size_t files = static_cast<size_t>(state.Number(4));
    if (files > state.fields.size() - 5) return false;
    plan->files.assign(state.fields.begin() + 5, state.fields.begin() + 5 + files);
    plan->saveNames.assign(state.fields.begin() + 5 + files, state.fields.end());
    if (failsTries && plan->keptTry) TerminateProcess(GetCurrentProcess(), 0xC0000001);

    g_journal = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    // A worker whose spicheck has ended (killed, say, in the middle of a
    // call that hangs) ends too.
    if (!isolation::EndWithHost(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(parent))))
        return false;
    isolation::BecomeHelper();
    isolation::UseBoard(static_cast<isolation::Board*>(board));
    isolation::OnLastChance(KeepCampaignInput);
    ObserveCalls(isolation::CallBegins, CallDone);
    return true;
}

void ReportToSpicheck(Checker& checker, Report& report, const WorkerPlan& plan,
                      DWORD hangLimitMs) {
    report.ForwardTo([](Verdict verdict, CheckId check, const std::string& file,
                            const std::string& reason) {
        SendToSpicheck(journal::Packet(journal::kResult)
                           .Add(static_cast<long long>(verdict))
                           .Add(static_cast<long long>(check))
                           .Add(file)
                           .Add(reason));
    });
    report.ForwardSkipsTo([](CheckId check, const std::string& file,
                                 const std::string& reason) {
        SendToSpicheck(journal::Packet(journal::kResult)
                           .Add(journal::kSkipVerdict)
                           .Add(static_cast<long long>(check))
                           .Add(file)
                           .Add(reason));
    });
    checker.OnCheckStart([](CheckId check) {
        EnsureHeapsIntact(LastCallLabel());
        CheckStarts();
        SendToSpicheck(journal::Packet(journal::kCheck).Add(static_cast<long long>(check)));
    });
    for (const std::string& name : plan.saveNames) checker.Names().Taken(name);
    checker.Names().OnReserve([](const std::string& name) {
        SendToSpicheck(journal::Packet(journal::kSaveName).Add(name));
    });
    StartWatchdog(hangLimitMs + 10000, EndQuietly, nullptr);
}
