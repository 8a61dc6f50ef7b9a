#include "remote/runner_link.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "base/text.h"
#include "isolation/board.h"
#include "remote/wire.h"

static_assert(sizeof(isolation::Board) <= remote::kPostedOffset &&
                  remote::kPostedOffset + sizeof(remote::PostedProgress) <=
                      remote::kCopiedOffset &&
                  remote::kCopiedOffset + sizeof(LONG64) <= remote::kControlSize,
              "the board, the posted progress and the copy's count share the control section");

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

namespace {

// Touches the pages of the block from `from` on, up to `to` bytes: a fresh
// block's pages are mapped at their first touch, here, while the runner
// works, rather than in the copy out of the section.
void TouchPages(HLOCAL block, uint64_t from, uint64_t to) {
    LocalLockScope lock(block);
    if (!lock.data()) return;
    volatile unsigned char* bytes = lock.as<unsigned char>();
    for (uint64_t at = from; at < to && at < lock.size(); at += 4096) bytes[at] = 0;
}

// What one slice of the blocks made ahead touches.
constexpr uint64_t kAheadSlice = 256 * 1024;

}  // namespace

void RunnerLink::Prepare(uint64_t size0, uint64_t size1) {
    // Blocks made ahead of other sizes go; the rest are made and touched
    // here, while the runner copies.
    lastAhead_.sizes[0] = size0;
    lastAhead_.sizes[1] = size1;
    for (int n = 0; n < 2; ++n)
        if (prepared_[n].size != lastAhead_.sizes[n]) prepared_[n] = Prepared();
    makingAhead_ = true;
    while (MakeAheadSlice()) {
    }
    for (int n = 0; n < 2; ++n) {
        prepared_[n].offset = n ? size0 : 0;
        prepared_[n].filled = 0;
    }
}

void RunnerLink::FollowCopy(DWORD started) {
    volatile LONG64* copied = remote::CopiedIn(boardView_.get());
    aheadGeneration_ = bulk_->Ref().generation;
    LARGE_INTEGER frequency, now, moved;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&moved);
    for (;;) {
        uint64_t there = static_cast<uint64_t>(InterlockedCompareExchange64(copied, 0, 0));
        bool progress = false, left = false;
        for (Prepared& prepared : prepared_) {
            if (!prepared.block.valid()) continue;
            uint64_t end = prepared.offset + prepared.size;
            if (there < end) end = there;
            if (end > prepared.offset + prepared.filled) {
                LocalLockScope lock(prepared.block.get());
                if (!lock.data()) continue;
                uint64_t from = prepared.offset + prepared.filled;
                memcpy(lock.as<unsigned char>() + prepared.filled, bulk_->data() + from,
                       static_cast<size_t>(end - from));
                prepared.filled = end - prepared.offset;
                progress = true;
            }
            if (prepared.filled < prepared.size) left = true;
        }
        // Neither a runner that stalls nor one that counts a byte at a time
        // holds the call beyond its deadline.
        if (!left || GetTickCount() - started >= deadline_) return;
        QueryPerformanceCounter(&now);
        if (progress) {
            moved = now;
        } else {
            // The runner is held up (or counts nothing): the rest comes
            // after the answer.
            if (now.QuadPart - moved.QuadPart > frequency.QuadPart / 1000) return;
            SwitchToThread();
        }
    }
}

bool RunnerLink::MakeAheadSlice() {
    for (int n = 0; makingAhead_ && n < 2; ++n) {
        Prepared& made = prepared_[n];
        const uint64_t size = lastAhead_.sizes[n];
        if (!size || !remote::Fits(size) || (made.block.valid() && made.touched >= size))
            continue;
        if (!made.block.valid()) {
            made.block.reset(LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(size)));
            if (!made.block.valid()) break;  // the caller's block is made when taken
            made.size = size;
        }
        uint64_t to = made.touched + kAheadSlice < size ? made.touched + kAheadSlice : size;
        TouchPages(made.block.get(), made.touched, to);
        made.touched = to;
        return true;
    }
    makingAhead_ = false;
    return false;
}

HLOCAL RunnerLink::TakePrepared(uint64_t offset, uint64_t size, uint64_t* filled) {
    *filled = 0;
    for (Prepared& made : prepared_) {
        if (!made.block.valid() || made.offset != offset || made.size != size ||
            made.touched < size)
            continue;
        // Bytes followed in a section the answer no longer names are
        // copied again.
        if (bulk_->Ref().generation == aheadGeneration_) *filled = made.filled;
        HLOCAL block = made.block.release();
        made = Prepared();
        return block;
    }
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
        // While blocks are made ahead the waits only look, and a slice is
        // made each time nothing has come.
        const bool making = makingAhead_ && left;
        if (!posted) {
            DWORD woke = WaitForMultipleObjects(2, waits, FALSE, making ? 0 : left);
            if (woke == WAIT_TIMEOUT && making) {
                MakeAheadSlice();
                continue;
            }
            return woke;
        }
        // After a post was taken the next is left to gather for a while: a
        // plug-in that calls back faster costs one wake of this thread per
        // interval, not one per callback.
        DWORD since = now - posted->takenAt;
        DWORD quiet = posted->quiet && since < kPostInterval ? kPostInterval - since : 0;
        if (quiet && quiet < left) {
            DWORD woke = WaitForMultipleObjects(2, waits, FALSE, making ? 0 : quiet);
            if (woke != WAIT_TIMEOUT) return woke;
            if (making) {
                MakeAheadSlice();
                continue;
            }
        }
        posted->quiet = false;
        DWORD woke = WaitForMultipleObjects(3, waits, FALSE, making ? 0 : left);
        if (woke == WAIT_TIMEOUT && making) {
            MakeAheadSlice();
            continue;
        }
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
    // Blocks of the sizes this operation's last answer named, made while
    // the plug-in works.
    makingAhead_ = request.op == lastAhead_.op;
    bool announced = false;
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
            announced = true;
            // Only sizes the section holds are made (and made ahead on the
            // operation's next call): the answer could name no others.
            if (answer.size0 > bulk_->size() || answer.size1 > bulk_->size() - answer.size0) {
                lastAhead_ = {0, {0, 0}};
                DropPrepared();
                continue;
            }
            lastAhead_.op = request.op;
            Prepare(answer.size0, answer.size1);
            if (answer.result == remote::kCopyCounted) FollowCopy(started);
            continue;
        }
        if (answer.op != static_cast<uint32_t>(Op::Progress)) {
            // Blocks made ahead for an answer that names none; the next
            // call of the operation makes none.
            if (!announced) {
                lastAhead_ = {0, {0, 0}};
                DropPrepared();
            }
            return true;
        }
        Request reply = remote::NewRequest(Op::Progress);
        reply.id = request.id;
        reply.section = bulk_->Ref();
        reply.arg0 = progress ? progress(answer.progressNum, answer.progressDenom, data) : 0;
        // The plug-in's time starts again after each callback.
        started = GetTickCount();
        if (!Transfer(true, &reply, sizeof reply, started)) return false;
    }
}
