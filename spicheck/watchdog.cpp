#include "watchdog.h"

#include <system_error>
#include <thread>

namespace {

volatile LONG g_active = 0;
volatile DWORD g_started = 0;
const char* volatile g_label = "";
DWORD g_limitMs = 0;
HangHandler g_handler = nullptr;
void* g_context = nullptr;

volatile LONG g_running = 0;
CallObserver g_observeStart = nullptr;
CallObserver g_observeEnd = nullptr;

void WatchCalls() {
    InterlockedExchange(&g_running, 1);
    for (;;) {
        Sleep(50);
        if (!g_active) continue;
        DWORD started = g_started;
        if (GetTickCount() - started < g_limitMs || !g_active) continue;
        g_handler(g_label, g_limitMs, g_context);
        TerminateProcess(GetCurrentProcess(), 1);
    }
}

}  // namespace

void StartWatchdog(DWORD limitMs, HangHandler handler, void* context) {
    g_limitMs = limitMs;
    g_handler = handler;
    g_context = context;
    try {
        std::thread(WatchCalls).detach();
    } catch (const std::system_error&) {
        // Without the thread the run goes on unwatched: a hang stays a hang.
        return;
    }
    // A new thread starts only once it can take the loader lock, which a
    // plug-in hanging in DllMain holds: the thread must be running first.
    for (int waited = 0; !g_running && waited < 5000; ++waited) Sleep(1);
}

void ObserveCalls(CallObserver started, CallObserver ended) {
    g_observeStart = started;
    g_observeEnd = ended;
}

void CallStarted(const char* label) {
    if (g_observeStart) g_observeStart(label);
    g_label = label;
    g_started = GetTickCount();
    InterlockedExchange(&g_active, 1);
}

const char* LastCallLabel() { return g_label; }

void CallEnded() {
    InterlockedExchange(&g_active, 0);
    if (g_observeEnd) g_observeEnd(g_label);
}
