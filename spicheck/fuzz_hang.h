// Ends a call into the plug-in that runs past the time limit during the
// fuzzing campaign, so that a hang is a finding with its reproducer rather
// than the end of the worker: a thread of its own watches the call, and
// when it has run too long, suspends the main thread where it is (inside
// the plug-in's code) and makes it raise kHangException there, as if the
// plug-in had raised it. The library's guard around the call catches it
// like any fault of the plug-in's.
//
// Rules of use:
// - Only around a guarded call into the plug-in (CallBegins / CallEnds
//   right inside the call's lambda): a thread stopped in spicheck's own
//   code is never redirected, it is looked at again later.
// - A call blocked in the system (a wait that never ends) is not reached
//   this way: still running three limits after it was redirected, its
//   input is kept (as the campaign keeps a worker's last input) and the
//   worker's own hang limit ends it.
#ifndef SPICHECK_FUZZ_HANG_H
#define SPICHECK_FUZZ_HANG_H

#include <windows.h>

#include <cstdint>

constexpr DWORD kHangException = 0xE5C1F00Du;

class HangBreaker {
public:
    explicit HangBreaker(DWORD limitMs);
    ~HangBreaker();
    HangBreaker(const HangBreaker&) = delete;
    HangBreaker& operator=(const HangBreaker&) = delete;

    void CallBegins();
    void CallEnds();

private:
    static DWORD WINAPI Watch(void* self);
    void Break();

    DWORD limitMs_;
    // spicheck's own image: a thread stopped there is left alone.
    uintptr_t ownBase_ = 0, ownSize_ = 0;
    HANDLE mainThread_ = nullptr;
    HANDLE thread_ = nullptr;
    HANDLE stop_ = nullptr;
    volatile LONG active_ = 0;
    volatile LONG calls_ = 0;
    volatile DWORD started_ = 0;
    LONG broken_ = -1;  // the call that was ended last
    LONG kept_ = -1;    // the call whose input was kept last
};

#endif
