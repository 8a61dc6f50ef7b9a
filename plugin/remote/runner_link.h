// RunnerLink: a host's link to one plug-in runner (spirunner32.exe or
// spirunner64.exe): it starts the runner on the isolation kit, moves the
// frames of remote/protocol.h over the pipe, keeps each call's deadline,
// answers the runner's progress round trips or takes its posted progress
// with the caller's callback, and says what became of a runner that ended
// or missed its deadline.
//
//     RunnerLink link;
//     if (!link.Start(64, "", deadline)) return link.Failure();
//     remote::Request request = remote::NewRequest(remote::Op::Load);
//     remote::Answer answer;
//     if (!link.Exchange(request, answer, nullptr, 0)) return link.Failure();
//
// After a failed Start or Exchange the runner is gone and Failure() says
// why (a SpiFault of a runner kind). Used from one thread at a time.
#ifndef SPIPROBE_PLUGIN_REMOTE_RUNNER_LINK_H
#define SPIPROBE_PLUGIN_REMOTE_RUNNER_LINK_H

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "isolation/helper_process.h"
#include "remote/protocol.h"
#include "remote/section.h"
#include "spi_api.h"
#include "spi_fault.h"
#include "win32_handles.h"

class RunnerLink {
public:
    // Time a call may take before its runner is ended, and time a runner
    // gets to start (both reset by every progress callback).
    static constexpr DWORD kDefaultDeadline = 30000;
    static constexpr DWORD kStartDeadline = 20000;

    RunnerLink() = default;
    ~RunnerLink() { End(false); }
    RunnerLink(const RunnerLink&) = delete;
    RunnerLink& operator=(const RunnerLink&) = delete;

    // Starts a runner of the bitness from the folder (empty: the calling
    // program's) and waits for it to connect. False (Failure() set) when
    // it cannot be started or ends or stalls first.
    bool Start(int bits, const std::string& folder);
    // Ends the runner: asked to end (its pipe closed) and given a moment,
    // or killed at once. Nothing when none runs.
    void End(bool kill);
    bool Running() const { return helper_.Running(); }
    DWORD ProcessId() const { return helper_.ProcessId(); }

    // One call to a running runner: the request (id, section and progress
    // mode filled in here), its progress callbacks, the answer. False when
    // the runner ended, answered out of turn or missed its deadline; then
    // Failure() says so and the runner is gone.
    bool Exchange(remote::Request& request, remote::Answer& answer, ProgressCallback progress,
                  intptr_t data);
    const SpiFault& Failure() const { return failure_; }

    // Whether progress callbacks are posted (the callback sees the latest
    // progress while the call runs, and its answer reaches the plug-in at
    // the plug-in's next callback) instead of one round trip each (the
    // default: the callback sees every call and decides at it).
    void SetPostedProgress(bool posted) { posted_ = posted; }
    bool ProgressPosted() const { return posted_; }

    // A block of the caller's of the size, made while the runner copied the
    // bytes into the section (BlocksAhead) and not yet taken; null when
    // none. The caller owns it and fills it. Blocks not taken are freed at
    // the next exchange and when the runner ends.
    HLOCAL TakePrepared(uint64_t size);

    // The bulk section of the running runner; null when none runs.
    remote::Section* bulk() const { return bulk_.get(); }

    // Milliseconds each call may take (0: kDefaultDeadline).
    void SetDeadline(DWORD milliseconds) {
        deadline_ = milliseconds ? milliseconds : kDefaultDeadline;
    }
    DWORD Deadline() const { return deadline_; }

private:
    // A progress callback of the running call: the caller's, with its data,
    // and, when the runner posts its progress, the shared state.
    struct CallProgress {
        ProgressCallback callback;
        intptr_t data;
        remote::PostedProgress* shared;
        DWORD takenAt;  // when a post was last taken
        bool quiet;     // the next is left to gather until kPostInterval after it
    };
    // The least time between two posts taken while a call runs.
    static constexpr DWORD kPostInterval = 10;
    // Reads or writes a whole frame; false when the runner ended or the
    // deadline (counted from started) passed, with the runner then ended.
    // While it waits it takes the posted progress of the call, if any,
    // which starts the deadline again.
    bool Transfer(bool write, void* buffer, DWORD size, DWORD& started,
                  CallProgress* posted = nullptr);
    // Waits for the pipe's transfer, the runner's end or the deadline, and
    // meanwhile takes the call's posts: what WaitForMultipleObjects says of
    // the first two handles.
    DWORD WaitForFrame(DWORD& started, CallProgress* posted);
    // The blocks a BlocksAhead names, made and touched page by page.
    void Prepare(uint64_t size0, uint64_t size1);
    void DropPrepared() {
        for (UniqueLocal& block : prepared_) block.reset();
    }
    // The latest posted progress to the caller's callback, once; its
    // result goes back to the shared state. False when nothing was posted.
    static bool TakePosted(const CallProgress& progress);
    // The runner ended (or is to be ended after missing its deadline):
    // what became of it goes to failure_, and it is gone afterwards.
    void Failed(bool timedOut);

    DWORD deadline_ = kDefaultDeadline;
    isolation::HelperProcess helper_;
    UniqueKernelHandle pipe_;
    UniqueKernelHandle ioEvent_;
    UniqueKernelHandle progressEvent_;
    UniqueKernelHandle boardMapping_;
    remote::UniqueView boardView_;
    std::unique_ptr<remote::Section> bulk_;
    UniqueLocal prepared_[2];
    uint64_t nextId_ = 1;
    bool posted_ = false;
    SpiFault failure_;
};

#endif
