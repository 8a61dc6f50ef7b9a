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
    //
    // A call of the operation whose last answer named blocks has blocks of
    // those sizes made while the plug-in works, a slice at a time between
    // looks at the pipe: a host that decodes pictures of one size finds its
    // blocks made when the runner names them. Blocks of other sizes are
    // freed when the runner names its own.
    //
    // While the runner copies the bytes into the section this side copies
    // them out behind it: filled says how many of the block's first bytes
    // are there already (the caller copies the rest).
    HLOCAL TakePrepared(uint64_t offset, uint64_t size, uint64_t* filled);

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
    // The blocks a BlocksAhead names (sizes the section holds), made and
    // touched page by page; those made ahead of its sizes are kept.
    void Prepare(uint64_t size0, uint64_t size1);
    // Makes and touches one slice of the blocks made ahead; false once
    // there is nothing left to make.
    bool MakeAheadSlice();
    // Copies the announced bytes the runner has put in the section into
    // the prepared blocks as they come, until all are there or the runner
    // makes no progress for a moment or the call's deadline (counted from
    // started) has passed (the rest is copied after the answer).
    void FollowCopy(DWORD started);
    void DropPrepared() {
        for (Prepared& made : prepared_) made = Prepared();
        makingAhead_ = false;
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
    // A caller's block: its size, made and touched up to `touched` bytes;
    // where its bytes lie in the section, and how many of them are copied
    // into it already.
    struct Prepared {
        UniqueLocal block;
        uint64_t size = 0;
        uint64_t touched = 0;
        uint64_t offset = 0;
        uint64_t filled = 0;
    };
    Prepared prepared_[2];
    uint32_t aheadGeneration_ = 0;  // the section the copy was followed in
    // The operation and the sizes of the last BlocksAhead, and whether the
    // call under way still makes blocks of those sizes.
    struct {
        uint32_t op;
        uint64_t sizes[2];
    } lastAhead_ = {0, {0, 0}};
    bool makingAhead_ = false;
    uint64_t nextId_ = 1;
    bool posted_ = false;
    SpiFault failure_;
};

#endif
