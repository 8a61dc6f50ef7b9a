// The host's side of a helper process: a program of the library's (the
// plug-in runner, spicheck's worker) that runs a plug-in so that whatever
// the plug-in does to its process (a fault no guard catches, ExitProcess,
// a call that never returns, a damaged heap) ends the helper, not the host.
//
//     isolation::HelperProcess helper;
//     std::wstring program = isolation::HelperProgram(L"spirunner", 64, folder);
//     if (!helper.Start(program, arguments, nullptr, 0)) ... GetLastError()
//     ... talk to it over a channel of the caller's own ...
//     isolation::HelperEnd end = helper.End(isolation::kExitEndedByHost, board);
//
// Each helper keeps its own channel (the runner's frames, the worker's
// journal): only starting, watching, ending and the board are common.
#ifndef SPIPROBE_PLUGIN_ISOLATION_HELPER_PROCESS_H
#define SPIPROBE_PLUGIN_ISOLATION_HELPER_PROCESS_H

#include <windows.h>

#include <cstddef>
#include <string>

#include "base/fault_record.h"
#include "isolation/board.h"
#include "isolation/exit_codes.h"
#include "win32_handles.h"

namespace isolation {

// Time a helper gets to be seen ended once it was ended (killed, or told
// to end by its channel's close). Wine can leave a killed process
// half-ended and never signalled, so no wait on a helper is unbounded.
constexpr DWORD kEndGrace = 3000;

// The program "<stem><bits>.exe" in folder (ending in a separator or
// empty: the folder of the calling program).
std::wstring HelperProgram(const wchar_t* stem, int bits, const std::wstring& folder);
// The folder of the calling program, with its separator; empty when unknown.
std::wstring ProgramFolder();

// Puts the calling process in a job of its own that ends every process
// in it once this process has ended, however it ends (its exit status
// stays its own). Helpers started afterwards are in the job from their
// start, so none outlives its host: not even one the host was killed in
// the middle of starting, which the system leaves suspended for good.
// For a program whose helpers are its own (spicheck), not for a library's
// host. False, with nothing changed, when the process cannot be put in a
// job (one it is in allows no other); true at once when called again.
bool EndHelpersWithThisProcess();

// How a helper ended.
struct HelperEnd {
    bool ended = false;     // it was seen ended (false: it outlived every bound)
    DWORD exitCode = STILL_ACTIVE;
    bool crashed = false;   // its last-chance filter caught an exception
    FaultRecord crash;      // that exception (when crashed)
};

// The standard handles a helper is given: each, when not null, is
// inheritable and inherited beside the handles named (the same handle may
// stand for several). All null: the helper gets none.
struct StandardHandles {
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE error = nullptr;
};

class HelperProcess {
public:
    // A helper still running when its owner goes is ended. It owns its
    // process: it is neither copied nor moved.
    ~HelperProcess() { End(kExitEndedByHost); }

    // Starts program with the command line "program" arguments, detached
    // from the console, inheriting exactly the inherit handles given (which
    // must be inheritable) and nothing else. False with the system's error
    // in GetLastError() when it cannot be started.
    bool Start(const std::wstring& program, const std::wstring& arguments,
               const HANDLE* inherit, size_t inheritCount);
    // The same, with the standard handles given (a helper whose channel is
    // its standard input, say, or whose output must go nowhere).
    bool Start(const std::wstring& program, const std::wstring& arguments,
               const HANDLE* inherit, size_t inheritCount, const StandardHandles& standard);

    bool Running() const { return process_.valid(); }
    // Its process handle, to wait on beside a channel; null when none runs.
    HANDLE handle() const { return process_.get(); }
    DWORD ProcessId() const { return process_.valid() ? GetProcessId(process_.get()) : 0; }
    // Its first thread: a helper that does its work there has stopped once
    // it ends, even where the process is never seen ended (Wine can leave
    // a process half-ended). Null when none runs.
    HANDLE mainThread() const { return thread_.get(); }

    // Whether it ended within milliseconds.
    bool WaitEnded(DWORD milliseconds) const;
    // How it ended, read after a wait of at most milliseconds; the crash
    // from the board when it ended through its last-chance filter. The
    // helper is still held.
    HelperEnd HowEnded(const Board* board, DWORD milliseconds = kEndGrace) const;
    // Ends it (after grace milliseconds of its own ending, when given) with
    // the code, waits a bounded time and lets it go. Nothing when none runs.
    void End(DWORD code, DWORD grace = 0);
    // Ends it with the code and waits at most milliseconds for it to be
    // seen ended, still holding it, so that how it ended can be read after.
    // False when it was not seen ended (a process the system cannot end).
    bool Terminate(DWORD code, DWORD milliseconds = kEndGrace);

private:
    UniqueKernelHandle process_;
    UniqueKernelHandle thread_;
};

}  // namespace isolation

#endif
