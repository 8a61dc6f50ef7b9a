// The helper's side of a helper process (see helper_process.h): what makes
// a process one that a plug-in may end without harm to its host.
//
//     isolation::BecomeHelper();               // first thing in main
//     isolation::UseBoard(board);              // once the host's board is mapped
//     isolation::EndWithHost(host);
//     ... serve calls over the channel ...
//     if (!heapCheck.AfterCall()) isolation::EndHelper(isolation::kExitHeapDamage);
#ifndef SPIPROBE_PLUGIN_ISOLATION_HELPER_SIDE_H
#define SPIPROBE_PLUGIN_ISOLATION_HELPER_SIDE_H

#include <windows.h>

#include "isolation/board.h"
#include "isolation/exit_codes.h"

namespace isolation {

// Makes the process a helper: no error dialogs, and the last-chance
// filter, which writes the exception to the board (once UseBoard gave one)
// and ends the process with kExitUnhandledException before a debugger or
// an error report starts. The filter allocates nothing.
void BecomeHelper();
// The board the filter writes to; it must stay mapped for the process's life.
void UseBoard(Board* board);
// What the helper does besides, before the filter ends it: a helper that
// keeps something for the host (the input a campaign was running, the end
// of a report) writes it here. It runs on the faulting thread, with the
// heap perhaps damaged: it allocates nothing. It may end the process
// itself, with a code of its own (EndHelper).
typedef void (*LastChanceHook)(const FaultRecord& fault);
void OnLastChance(LastChanceHook hook);

// The call running, on the board (once UseBoard gave one): its label
// (cut to the board's room) between CallBegins and CallEnds, counted, so
// that the host can tell one call that does not return from many short ones.
void CallBegins(const char* label);
void CallEnds();
// A thread that ends the process with kExitHostGone as soon as the host
// process ends, even in the middle of a call. The handle must stay open.
// False when the thread cannot be started.
bool EndWithHost(HANDLE host);

// Ends the helper at once with the code: nothing of it runs any more
// (no unload code of a plug-in, no destructors).
[[noreturn]] void EndHelper(DWORD code);

// When a helper walks its heaps after the calls into the plug-in. A walk
// costs about a millisecond: a helper that serves one call per request
// walks after every call; one that makes thousands of calls in a row (a
// checker) walks after each of the first calls of a span of work and then
// when the last walk is some milliseconds old. Damage stays, so it is
// still found within the span that did it.
struct HeapCheckPolicy {
    int eachOfFirst;   // calls of a span walked after each; < 0: every call
    DWORD everyMs;     // after that, a walk when the last is this old
};
constexpr HeapCheckPolicy kHeapCheckEveryCall = {-1, 0};

class HeapCheck {
public:
    explicit HeapCheck(HeapCheckPolicy policy) : policy_(policy) {}
    // A span of work starts: its first calls are walked after again.
    void SpanStarts() { callsInSpan_ = 0; }
    // After a call: false when the policy walked the heaps and found one
    // damaged.
    bool AfterCall();
    // A walk now, whatever the policy: false when a heap is damaged.
    bool WalkNow();

private:
    HeapCheckPolicy policy_;
    int callsInSpan_ = 0;
    DWORD lastWalk_ = 0;
};

}  // namespace isolation

#endif
