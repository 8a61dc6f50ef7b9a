#include "remote/runner_link.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "base/text.h"
#include "isolation/board.h"
#include "remote/wire.h"

static_assert(sizeof(isolation::Board) <= remote::kPostedOffset &&
                  remote::kPostedOffset + sizeof(remote::PostedProgress) <= remote::kControlSize,
              "the board and the posted progress share the control section");

using remote::Answer;
using remote::Op;
using remote::Request;

bool RunnerLink::Start(int bits, const std::string& folder) {
    static LONG counter = 0;
    wchar_t base[96];
    swprintf(base, 96, L"spiremote-%lu-%ld-%lu", GetCurrentProcessId(),
             InterlockedIncrement(&counter), GetTickCount());
    std::wstring pipeName = std::wstring(L"\\\\.\\pipe\\") + base;
    std::wstring program = isolation::HelperProgram(L"spirunner", bits, WideFromAnsi(folder.c_str()));

    auto failed = [this] {
        failure_ = SpiFault();
        failure_.kind = SpiFaultKind::RunnerStart;
        failure_.code = GetLastError();
        End(true);
        return false;
    };
    End(true);
    pipe_.reset(CreateNamedPipeW(pipeName.c_str(),
                                 PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                     FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 1 << 16,
                                 1 << 16, 0, nullptr));
    if (pipe_.get() == INVALID_HANDLE_VALUE) pipe_.release();
    ioEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    progressEvent_.reset(
        CreateEventW(nullptr, FALSE, FALSE, (std::wstring(base) + L"-progress").c_str()));
    boardMapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                           remote::kControlSize,
                                           (std::wstring(base) + L"-control").c_str()));
    if (!pipe_.valid() || !ioEvent_.valid() || !progressEvent_.valid() || !boardMapping_.valid())
        return failed();
    boardView_.reset(MapViewOfFile(boardMapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                   remote::kControlSize));
    bulk_.reset(new remote::Section(base));
    if (!boardView_.valid() || !bulk_->Create(0, remote::kFirstBulkSize)) return failed();

    // The runner inherits no handle of ours and has no console: what a
    // plug-in writes there goes nowhere. It finds the pipe and the sections
    // by name.
    std::wstring arguments =
        pipeName + L" " + base + L" " + std::to_wstring(GetCurrentProcessId());
    if (!helper_.Start(program, arguments, nullptr, 0)) return failed();

    // Its connection, or its end.
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = ioEvent_.get();
    ResetEvent(ioEvent_.get());
    if (!ConnectNamedPipe(pipe_.get(), &overlapped)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {ioEvent_.get(), helper_.handle()};
            DWORD limit = deadline_ > kStartDeadline ? deadline_ : kStartDeadline;
            DWORD woke = WaitForMultipleObjects(2, waits, FALSE, limit);
            if (woke != WAIT_OBJECT_0) {
                CancelIo(pipe_.get());
                DWORD ignored = 0;
                GetOverlappedResult(pipe_.get(), &overlapped, &ignored, TRUE);
                Failed(woke == WAIT_TIMEOUT);
                if (failure_.kind == SpiFaultKind::RunnerTimeout) failure_.waited = limit;
                return false;
            }
        } else if (error != ERROR_PIPE_CONNECTED) {
            // Connected and gone already (ERROR_NO_DATA).
            Failed(false);
            return false;
        }
    }
    return true;
}

void RunnerLink::End(bool kill) {
    DropPrepared();
    pipe_.reset();  // a runner waiting for the next frame ends on this
    helper_.End(isolation::kExitEndedByHost, kill ? 0 : isolation::kEndGrace);
    ioEvent_.reset();
    progressEvent_.reset();
    bulk_.reset();
    boardView_.reset();
    boardMapping_.reset();
}

void RunnerLink::Failed(bool timedOut) {
    failure_ = SpiFault();
    if (timedOut || !helper_.Running()) {
        failure_.kind = SpiFaultKind::RunnerTimeout;
        failure_.waited = deadline_;
        End(true);
        return;
    }
    // A broken pipe comes a moment before the process's end.
    isolation::HelperEnd end =
        helper_.HowEnded(static_cast<const isolation::Board*>(boardView_.get()));
    if (end.crashed) {
        failure_.kind = SpiFaultKind::RunnerException;
        failure_.code = end.crash.code;
        failure_.access = end.crash.access;
        failure_.address = end.crash.address;
        failure_.instruction = end.crash.instruction;
    } else {
        failure_.kind = SpiFaultKind::RunnerExited;
        failure_.code = end.exitCode;
    }
    End(true);
}

void RunnerLink::Prepare(uint64_t size0, uint64_t size1) {
    DropPrepared();
    const uint64_t sizes[2] = {size0, size1};
    for (int n = 0; n < 2; ++n) {
        if (!sizes[n] || !remote::Fits(sizes[n])) continue;
        prepared_[n].reset(LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(sizes[n])));
        LocalLockScope lock(prepared_[n].get());
        if (!lock.data()) {
            prepared_[n].reset();
            continue;
        }
        // A fresh block's pages are mapped at their first touch: here, while
        // the runner copies, rather than in the copy out of the section.
        volatile unsigned char* bytes = lock.as<unsigned char>();
        for (size_t at = 0; at < lock.size(); at += 4096) bytes[at] = 0;
    }
}

HLOCAL RunnerLink::TakePrepared(uint64_t size) {
    for (UniqueLocal& block : prepared_)
        if (block.valid() && LocalSize(block.get()) == size) return block.release();
    return nullptr;
}

bool RunnerLink::TakePosted(const CallProgress& progress) {
    if (!InterlockedExchange(&progress.shared->pending, 0)) return false;
    int32_t num = 0, denom = 0;
    remote::TakeLatest(progress.shared, &num, &denom);
    InterlockedExchange(&progress.shared->answer, progress.callback(num, denom, progress.data));
    return true;
}

DWORD RunnerLink::WaitForFrame(DWORD& started, CallProgress* posted) {
    HANDLE waits[3] = {ioEvent_.get(), helper_.handle(), progressEvent_.get()};
    for (;;) {
        DWORD now = GetTickCount(), spent = now - started;
        DWORD left = spent < deadline_ ? deadline_ - spent : 0;
        if (!posted) return WaitForMultipleObjects(2, waits, FALSE, left);
        // After a post was taken the next is left to gather for a while: a
        // plug-in that calls back faster costs one wake of this thread per
        // interval, not one per callback.
        DWORD since = now - posted->takenAt;
        DWORD quiet = posted->quiet && since < kPostInterval ? kPostInterval - since : 0;
        if (quiet && quiet < left) {
            DWORD woke = WaitForMultipleObjects(2, waits, FALSE, quiet);
            if (woke != WAIT_TIMEOUT) return woke;
        }
        posted->quiet = false;
        DWORD woke = WaitForMultipleObjects(3, waits, FALSE, left);
        if (woke != WAIT_OBJECT_0 + 2) return woke;
        // The plug-in's time starts again after each callback.
        if (TakePosted(*posted)) {
            started = posted->takenAt = GetTickCount();
            posted->quiet = true;
        }
    }
}

bool RunnerLink::Transfer(bool write, void* buffer, DWORD size, DWORD& started,
                          CallProgress* posted) {
    char* at = static_cast<char*>(buffer);
    while (size) {
        OVERLAPPED overlapped;
        memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = ioEvent_.get();
        ResetEvent(ioEvent_.get());
        DWORD done = 0;
        BOOL ok = write ? WriteFile(pipe_.get(), at, size, &done, &overlapped)
                        : ReadFile(pipe_.get(), at, size, &done, &overlapped);
        if (!ok) {
            if (GetLastError() != ERROR_IO_PENDING) {
                Failed(false);
                return false;
            }
            DWORD woke = WaitForFrame(started, posted);
            if (woke != WAIT_OBJECT_0) CancelIo(pipe_.get());
            ok = GetOverlappedResult(pipe_.get(), &overlapped, &done, TRUE);
            if (woke != WAIT_OBJECT_0 || !ok) {
                // The frame may have arrived whole just as the process ended.
                if (!(ok && done == size)) {
                    Failed(woke == WAIT_TIMEOUT);
                    return false;
                }
            }
        }
        if (done == 0) {
            Failed(false);
            return false;
        }
        at += done;
        size -= done;
    }
    return true;
}

bool RunnerLink::Exchange(Request& request, Answer& answer, ProgressCallback progress,
                          intptr_t data) {
    DropPrepared();
    request.id = nextId_++;
    request.section = bulk_->Ref();
    request.progress = !progress ? remote::kProgressNone
                       : posted_ ? remote::kProgressPosted
                                 : remote::kProgressRoundTrip;
    CallProgress call = {progress, data, nullptr, 0, false};
    if (request.progress == remote::kProgressPosted) {
        call.shared = remote::PostedIn(boardView_.get());
        call.shared->pending = 0;
        call.shared->answer = 0;
        remote::PostLatest(call.shared, 0, 0);
        ResetEvent(progressEvent_.get());
    }
    DWORD started = GetTickCount();
    if (!Transfer(true, &request, sizeof request, started)) return false;
    for (;;) {
        if (!Transfer(false, &answer, sizeof answer, started, call.shared ? &call : nullptr))
            return false;
        if (answer.magic != remote::kAnswerMagic || answer.id != request.id ||
            !bulk_->Follow(answer.section)) {
            Failed(false);
            return false;
        }
        // The callback sees the last progress the plug-in posted before it
        // returned, as it would have seen it in process.
        if (call.shared) TakePosted(call);
        if (answer.op == static_cast<uint32_t>(Op::BlocksAhead)) {
            // Only sizes the section holds are made: the answer could name
            // no others.
            if (answer.size0 > bulk_->size() || answer.size1 > bulk_->size() - answer.size0) {
                DropPrepared();
                continue;
            }
            Prepare(answer.size0, answer.size1);
            continue;
        }
        if (answer.op != static_cast<uint32_t>(Op::Progress)) return true;
        Request reply = remote::NewRequest(Op::Progress);
        reply.id = request.id;
        reply.section = bulk_->Ref();
        reply.arg0 = progress ? progress(answer.progressNum, answer.progressDenom, data) : 0;
        // The plug-in's time starts again after each callback.
        started = GetTickCount();
        if (!Transfer(true, &reply, sizeof reply, started)) return false;
    }
}
