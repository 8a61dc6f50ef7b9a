#include "supervisor.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/pe_image.h"
#include "file_walk.h"
#include "isolation/helper_process.h"
#include "journal.h"
#include "kept_input.h"
#include "names.h"
#include "run_output.h"
#include "win32_handles.h"
#include "worker.h"

namespace {

// How long a worker is given to be gone once it was ended (or said it was
// ending itself). A process whose heap is wrecked, or one of several side
// by side in a Wine prefix, can stay half-ended for good; Windows has
// unkillable processes too. Past this it is given up.
constexpr DWORD kEndGraceMs = 2000;
// How long a worker that sent the end of its run is given to exit by
// itself before it is ended.
constexpr DWORD kExitGraceMs = 5000;
// A worker that neither writes to its journal nor starts a call for this
// long past the hang limit is taken to have stopped.
constexpr DWORD kSilenceMs = 30000;

// Tests set this to make the end of a worker not take, as for a worker
// stuck in the kernel: the worker is left running and must be given up.
bool EndingIsIgnored() {
    char value[8];
    DWORD n = GetEnvironmentVariableA("SPICHECK_TEST_WORKER_IGNORES_END", value, sizeof value);
    return n > 0 && n < sizeof value && value[0] == '1';
}

// An exit code in hex, with the name of the status it is where it is one
// of the usual ends of a faulting process.
std::string ExitCodeText(DWORD code) {
    struct Known {
        DWORD code;
        const char* name;
    };
    static const Known kKnown[] = {
        {0xC0000005, "an access violation"},      {0xC00000FD, "a stack overflow"},
        {0xC0000374, "heap corruption"},          {0xC0000409, "a stack buffer overrun"},
        {0xC000001D, "an illegal instruction"},   {0xC0000094, "an integer division by zero"},
        {0xC0000096, "a privileged instruction"}, {0xC0000008, "an invalid handle"},
    };
    std::string text = Format("0x%lX", static_cast<unsigned long>(code));
    for (const Known& known : kKnown)
        if (known.code == code) text += std::string(", ") + known.name;
    return text;
}

// Ends the worker; false when it has not ended within the grace.
bool EndWorker(isolation::HelperProcess& worker) {
    if (EndingIsIgnored()) return worker.WaitEnded(kEndGraceMs);
    return worker.Terminate(isolation::kExitEndedByHost, kEndGraceMs);
}
// A run that needs more fresh workers than this ends with what it has.
constexpr int kMostWorkers = 2000;
// A worker that ends before it calls the plug-in at all (Wine can fail to
// start a process on a loaded machine, with no word of why) is started
// again, up to this many times in a row.
constexpr int kStartTries = 3;


// The command line after the program's name, as the worker is to read it.
std::wstring Arguments() {
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {}
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// Where a run has got to, as the journal tells it.
struct Position {
    int file = -1;   // -1: the plug-in's own checks
    int check = -1;  // the check running, -1: none yet
};

// How one worker ended.
struct WorkerEnd {
    bool started = false;
    bool complete = false;    // it sent the end of the run
    bool identified = false;  // it loaded the plug-in
    std::string loadFailure;  // it could not: its message
    bool hung = false;        // ended here past the hang limit
    bool abandoned = false;   // it would not end and was given up
    bool stopped = false;     // its main thread ended, or it fell silent, without an end
    bool inCall = false;
    std::string label;        // the call running (or last run)
    bool heapDamage = false;
    KeptRun kept;  // the campaign's execution that was running
    bool crashed = false;
    FaultRecord crash;  // the exception no guard caught (when crashed)
    DWORD exitCode = 0;
    Position position;
    bool progressed = false;  // it started a check past its resume point
    bool reachedPlugin = false;  // it started a call into the plug-in
};

// What a campaign's input that ended the worker did, as its reproducer
// names it; empty for a worker that would not end and was not hung.
std::string KeptWhat(const WorkerEnd& end) {
    if (end.heapDamage) return "damages the heap";
    if (end.crashed) return Format("uncaught %08lx", static_cast<unsigned long>(end.crash.code));
    if (end.hung) return "hangs in a system wait";
    if (end.abandoned) return std::string();
    return "ends the process";
}

// Whether the worker ended on its own before it reached the plug-in: no
// call started, nothing said, not ended here.
bool EndedBeforeThePlugin(const WorkerEnd& end) {
    return end.started && !end.reachedPlugin && !end.complete && !end.identified &&
           end.loadFailure.empty() && !end.hung && !end.abandoned && !end.crashed &&
           !end.heapDamage;
}

class Supervisor {
public:
    Supervisor(const Options& options, WorkerBatch& batch, RunOutput& out)
        : options_(options), batch_(batch), out_(out) {}
    int Run();

private:
    bool RunWorker(const WorkerPlan& plan, WorkerEnd* end, const std::string* tryBytes = nullptr);
    TryOutcome TryKept(const WorkerEnd& found, int file, const std::string& candidate);
    void Take(const journal::Record& record, WorkerEnd* end);
    std::string Reason(const WorkerEnd& end) const;
    std::string EndReason(const WorkerEnd& end) const;
    void Identify();

    const Options& options_;
    WorkerBatch& batch_;
    RunOutput& out_;
    std::wstring worker_;
    int bits_ = 0;
    std::vector<std::string> files_;
    std::vector<std::string> saveNames_;
    bool identified_ = false;
    bool haveIdentity_ = false;
    int spanFile_ = -1;  // the file whose span is open
    Position resume_;
    // The call that did not return on the file resumed, for its robust.time.
    std::string unreturnedCall_;
};

void Supervisor::Identify() {
    if (identified_) return;
    identified_ = true;
    batch_.identified = true;
    if (batch_.onHeader)
        batch_.onHeader(Format("spicheck: %s, %s plug-in, %d-bit, in a process of its own, kept "
                               "loaded between calls",
                               ShownName(options_.plugin).c_str(), out_.kind.c_str(), bits_));
}

void Supervisor::Take(const journal::Record& r, WorkerEnd* end) {
    switch (r.type) {
        case journal::kKind:
            end->identified = true;
            out_.kind = r.Text(0);
            Identify();
            break;
        case journal::kLoadFailed:
            end->loadFailure = r.Text(0);
            break;
        case journal::kIdentity:
            if (!haveIdentity_ && batch_.pluginChecks) {
                out_.version = r.Text(0);
                haveIdentity_ = out_.page.RestoreIdentity(r.Text(1));
            }
            break;
        case journal::kFile: {
            int file = static_cast<int>(r.Number(0));
            end->position = {file, -1};
            if (file != spanFile_ && file >= 0 && file < static_cast<int>(files_.size())) {
                out_.BeginFile(files_[file]);
                spanFile_ = file;
            }
            break;
        }
        case journal::kCheck:
            end->position.check = static_cast<int>(r.Number(0));
            // file.read runs again on the file resumed: no headway.
            if (end->position.file != resume_.file || end->position.check > resume_.check)
                end->progressed = true;
            break;
        case journal::kResult: {
            long long check = r.Number(1);
            if (check < 0 || check >= static_cast<long long>(kCheckCount)) break;
            if (r.Number(0) == journal::kSkipVerdict) {
                out_.report.Skip(static_cast<CheckId>(check), r.Text(2), r.Text(3));
                break;
            }
            out_.report.Add(static_cast<Verdict>(r.Number(0)), static_cast<CheckId>(check),
                            r.Text(2), r.Text(3));
            out_.CloseSpan();
            break;
        }
        case journal::kPage:
            out_.page.RestoreFile(r.Text(0));
            break;
        case journal::kSaveName:
            saveNames_.push_back(r.Text(0));
            break;
        case journal::kHeapDamage:
            end->heapDamage = true;
            end->label = r.Text(0);
            break;
        case journal::kEnd:
            end->complete = true;
            break;
    }
}

// Starts a worker with the plan on its standard input (and the input to
// try, if any, in the kept room) and takes in its journal until it ends;
// a call past the hang limit ends it.
bool Supervisor::RunWorker(const WorkerPlan& plan, WorkerEnd* end, const std::string* tryBytes) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE raw[4] = {};
    if (!CreatePipe(&raw[0], &raw[1], nullptr, 1 << 16)) return false;
    UniqueKernelHandle journalRead(raw[0]), journalWrite(raw[1]);
    if (!CreatePipe(&raw[2], &raw[3], nullptr, 1 << 16)) return false;
    UniqueKernelHandle planRead(raw[2]), planWrite(raw[3]);
    UniqueFile nul(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));
    if (!nul.valid()) return false;
    UniqueKernelHandle self(OpenProcess(SYNCHRONIZE, TRUE, GetCurrentProcessId()));
    if (!self.valid()) return false;
    // The board, and a page after it the room for a campaign's input.
    const size_t keptRoom = KeptInputRoom(options_, files_);
    const size_t sectionSize = keptRoom ? kKeptInputOffset + keptRoom : sizeof(isolation::Board);
    UniqueKernelHandle boardSection(CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit,
                                                       PAGE_READWRITE, 0,
                                                       static_cast<DWORD>(sectionSize), nullptr));
    if (!boardSection.valid()) return false;
    std::unique_ptr<void, BOOL(WINAPI*)(LPCVOID)> boardView(
        MapViewOfFile(boardSection.get(), FILE_MAP_WRITE, 0, 0, sectionSize), UnmapViewOfFile);
    if (!boardView) return false;
    isolation::Board* board = static_cast<isolation::Board*>(boardView.get());
    char* keptArea = keptRoom ? static_cast<char*>(boardView.get()) + kKeptInputOffset : nullptr;
    PrepareKeptInput(keptArea, keptRoom);
    if (tryBytes && !PlaceTry(keptArea, keptRoom, *tryBytes)) return false;
    // The worker gets its ends of the pipes, the board and this process
    // and nothing else (a worker started beside it must not hold its plan
    // open): it must see its plan end. Its output goes nowhere.
    SetHandleInformation(journalWrite.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(planRead.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    const HANDLE inherited[] = {journalWrite.get(), boardSection.get(), self.get()};
    isolation::StandardHandles standard;
    standard.input = planRead.get();
    standard.output = nul.get();
    standard.error = nul.get();

    std::wstring arguments =
        L"--worker=" + std::to_wstring(reinterpret_cast<uintptr_t>(journalWrite.get())) + L"," +
        std::to_wstring(reinterpret_cast<uintptr_t>(boardSection.get())) + L"," +
        std::to_wstring(reinterpret_cast<uintptr_t>(self.get())) + L" " + Arguments();
    isolation::HelperProcess worker;
    if (!worker.Start(worker_, arguments, inherited, 3, standard)) return false;
    end->started = true;
    journalWrite.reset();
    planRead.reset();
    nul.reset();
    boardSection.reset();
    self.reset();
    std::string planBytes = PlanBytes(plan);
    DWORD written = 0;
    WriteFile(planWrite.get(), planBytes.data(), static_cast<DWORD>(planBytes.size()), &written,
              nullptr);
    planWrite.reset();

    const DWORD hangLimit = options_.timeLimitMs * 10;
    DWORD callSeen = GetTickCount();
    LONG callsSeen = -1;
    // Once the worker said it is ending (a crash, heap damage, the end of
    // its run), when it was said.
    DWORD endingSince = 0;
    bool ending = false;
    DWORD heardFrom = GetTickCount();
    LONG callsHeard = board->calls;
    std::string bytes;
    size_t at = 0;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(journalRead.get(), nullptr, 0, nullptr, &available, nullptr)) break;
        if (available) {
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (!ReadFile(journalRead.get(), &chunk[0], available, &got, nullptr)) break;
            bytes.append(chunk, 0, got);
            journal::Record record;
            while (journal::ParseRecord(bytes, &at, &record)) Take(record, end);
            bytes.erase(0, at);
            at = 0;
            heardFrom = GetTickCount();
            if (!ending && (end->complete || end->heapDamage)) {
                ending = true;
                endingSince = GetTickCount();
            }
            continue;
        }
        // An exception no guard caught: the worker ends itself.
        if (!ending && board->crashMagic == isolation::kCrashMagic) {
            ending = true;
            endingSince = GetTickCount();
        }
        // A call that has not ended since it was first seen running.
        LONG calls = board->calls;
        if (!board->inCall || calls != callsSeen) {
            callsSeen = board->inCall ? calls : -1;
            callSeen = GetTickCount();
        } else if (GetTickCount() - callSeen > hangLimit && !end->hung) {
            end->hung = true;
            if (!EndWorker(worker)) {
                end->abandoned = true;
                break;
            }
        }
        // The worker's main thread runs every check: once it is gone, the
        // worker is ending, whether or not the process is ever signalled
        // (Wine can leave a process half-ended, with no fault of the
        // plug-in's, when several run side by side). So is a worker that
        // fell silent, outside any call, for long.
        if (board->calls != callsHeard) {
            callsHeard = board->calls;
            heardFrom = GetTickCount();
        }
        if (!ending && (WaitForSingleObject(worker.mainThread(), 0) == WAIT_OBJECT_0 ||
                        (!board->inCall && GetTickCount() - heardFrom > hangLimit + kSilenceMs))) {
            ending = true;
            end->stopped = true;
            endingSince = GetTickCount();
        }
        // A worker that said it is ending and has not gone: ended here,
        // and given up when even that does not take.
        if (ending && GetTickCount() - endingSince > (end->complete ? kExitGraceMs : kEndGraceMs)) {
            if (!EndWorker(worker)) end->abandoned = true;
            break;
        }
        // The pipe ends when the worker does; a worker that has ended while
        // something of its own still holds the pipe is waited for no more.
        if (worker.WaitEnded(1)) {
            if (PeekNamedPipe(journalRead.get(), nullptr, 0, nullptr, &available, nullptr) &&
                available)
                continue;
            break;
        }
    }
    // Every wait on the worker is bounded: one that will not end is given
    // up, its pipe and board abandoned with their handles.
    if (!end->abandoned && !worker.WaitEnded(kExitGraceMs) && !EndWorker(worker))
        end->abandoned = true;
    isolation::HelperEnd how = worker.HowEnded(board, 0);
    end->exitCode = end->abandoned ? STILL_ACTIVE : how.exitCode;
    if (isolation::ReadCrash(board, &end->crash)) end->crashed = true;
    char label[sizeof board->label + 1] = {};
    memcpy(label, board->label, sizeof board->label);
    if (!end->heapDamage) end->label = label;
    if (!end->complete) end->kept = ReadKeptInput(keptArea, keptRoom);
    end->inCall = board->inCall != 0;
    end->reachedPlugin = board->calls != 0;
    return true;
}

// Runs a candidate for the input of a campaign's execution that ended the
// worker (`found`) alone in a fresh worker: whether it ends that one the
// same way, in the same operation, IsSupported answering as it did.
TryOutcome Supervisor::TryKept(const WorkerEnd& found, int file, const std::string& candidate) {
    WorkerPlan plan;
    plan.keptTry = true;
    plan.resumeFile = file;
    plan.files = files_;
    for (int start = 0; start < kStartTries; ++start) {
        WorkerEnd end;
        if (!RunWorker(plan, &end, &candidate) || !end.started) return TryOutcome::NoWorker;
        if (EndedBeforeThePlugin(end)) continue;
        if (!end.loadFailure.empty() || !end.identified) return TryOutcome::NoWorker;
        bool same = end.kept.running && !end.abandoned &&
                    end.kept.operation == found.kept.operation &&
                    end.kept.accepted == found.kept.accepted && KeptWhat(end) == KeptWhat(found);
        return same ? TryOutcome::Shows : TryOutcome::DoesNotShow;
    }
    return TryOutcome::NoWorker;
}

std::string Supervisor::Reason(const WorkerEnd& end) const {
    std::string reason = EndReason(end);
    if (end.abandoned && !end.hung && !end.stopped)
        reason += "; the plug-in's process could not be ended";
    return reason;
}

std::string Supervisor::EndReason(const WorkerEnd& end) const {
    std::string call = end.label.empty() ? std::string("the check") : end.label;
    if (end.abandoned && end.hung)
        return Format("the plug-in's process could not be ended after %s did not return within "
                      "%lu ms",
                      call.c_str(), static_cast<unsigned long>(options_.timeLimitMs * 10));
    if (end.stopped && end.abandoned && !end.hung && !end.crashed && !end.heapDamage)
        return "the plug-in's process stopped after " + call +
               " without ending, and could not be ended";
    if (end.hung)
        return Format("%s did not return within %lu ms; the plug-in's process was ended",
                      call.c_str(), static_cast<unsigned long>(options_.timeLimitMs * 10));
    if (end.heapDamage)
        return "a heap of the plug-in's process was found damaged (HeapValidate) after " + call;
    if (end.crashed) {
        if (end.crash.code == EXCEPTION_ACCESS_VIOLATION)
            return Format("%s ended the plug-in's process: exception %08lx at address 0x%0*llx, "
                          "which no guard caught",
                          call.c_str(), static_cast<unsigned long>(end.crash.code),
                          bits_ == 64 ? 16 : 8,
                          static_cast<unsigned long long>(end.crash.address));
        return Format("%s ended the plug-in's process: exception %08lx, which no guard caught",
                      call.c_str(), static_cast<unsigned long>(end.crash.code));
    }
    std::string reason =
        call + " ended the plug-in's process with exit code " + ExitCodeText(end.exitCode);
    // What the C++ runtime's abort gives, after a C++ exception that
    // escapes a GCC-built plug-in among others.
    if (end.exitCode == 3) reason += " (as abort does, after an uncaught C++ exception)";
    return reason;
}

int Supervisor::Run() {
    bits_ = PeImageBits(options_.pluginPath.c_str());
    if (!bits_) bits_ = sizeof(void*) == 8 ? 64 : 32;
    // The worker of a 32-bit plug-in is the 32-bit spicheck itself.
    worker_ = bits_ == 64 ? isolation::HelperProgram(L"spicheck", 64, std::wstring())
                          : isolation::ProgramFolder() + L"spicheck.exe";
    files_ = batch_.files;
    saveNames_ = batch_.saveNames;
    // A batch after the first goes on from its first file, the plug-in
    // identified already.
    identified_ = !batch_.pluginChecks;
    if (!batch_.pluginChecks) resume_ = {0, -1};
    out_.jsonExtra = Format(",\n  \"bits\": %d,\n  \"in_process\": false,\n  \"resident\": true", bits_);

    int startFailures = 0;  // workers in a row that ended before the plug-in
    for (int workers = 0;; ++workers) {
        WorkerPlan plan;
        plan.resumeFile = resume_.file;
        plan.resumeCheck = resume_.check;
        plan.unreturnedCall = unreturnedCall_;
        plan.files = files_;
        plan.saveNames = saveNames_;
        WorkerEnd end;
        end.position = resume_;
        if (!RunWorker(plan, &end) || !end.started) {
            batch_.message = Format("cannot start %s for a %d-bit plug-in (error %lu)",
                                    Utf8Name(worker_).c_str(), bits_, GetLastError());
            return 2;
        }
        if (end.complete) break;
        if (EndedBeforeThePlugin(end)) {
            if (++startFailures < kStartTries) continue;
            batch_.message = Format(
                "spicheck's worker process (%s) ended with exit code %s before it reached the "
                "plug-in, %d times in a row; the run ends here",
                Utf8Name(worker_).c_str(), ExitCodeText(end.exitCode).c_str(), startFailures);
            if (!identified_) return 2;
            out_.report.Add(Verdict::Fail, CheckId::RobustTime, std::string(), batch_.message);
            batch_.endsRun = true;
            break;
        }
        startFailures = 0;
        if (!end.loadFailure.empty()) {
            if (identified_) {
                batch_.message = end.loadFailure + " again; the run ends here";
                batch_.endsRun = true;
                break;
            }
            batch_.message = end.loadFailure;
            return 2;
        }
        if (!end.identified && !identified_) {
            if (!end.hung) {
                batch_.message = Format("cannot load %s: the plug-in's process ended with exit "
                                        "code %s while it was loaded",
                                        ShownName(options_.plugin).c_str(),
                                        ExitCodeText(end.exitCode).c_str());
                return 2;
            }
            // As in process: a hang before the plug-in is identified ends
            // the run.
            if (batch_.onHeader)
                batch_.onHeader("spicheck: " + ShownName(options_.plugin) + ", not identified");
            out_.report.Add(Verdict::Fail, CheckId::RobustTime, std::string(),
                            Format("%s did not return within %lu ms; the run was ended",
                                   end.label.c_str(),
                                   static_cast<unsigned long>(options_.timeLimitMs * 10)));
            batch_.endsRun = true;
            break;
        }
        // The release at the end of the batch belongs to no file's check:
        // the run reports it once, at its end.
        if (end.label == "release") {
            batch_.releaseFailure = Reason(end);
            break;
        }
        // One FAIL for the check that was running, then a fresh worker goes
        // on after it. Where the worker made no headway, the run ends here.
        const Position& at = end.position;
        std::string file = at.file >= 0 && at.file < static_cast<int>(files_.size())
                               ? files_[at.file]
                               : std::string();
        CheckId check = at.check >= 0 ? static_cast<CheckId>(at.check) : CheckId::RobustTime;
        std::string reason = Reason(end);
        // The input of a campaign's execution that ended the worker is its
        // reproducer, minimised in workers of its own (none beside one
        // that would not end).
        std::string kept, what = KeptWhat(end);
        auto tryInput = [&](const std::string& candidate) {
            return TryKept(end, at.file, candidate);
        };
        if (!what.empty())
            kept = WriteKeptReproducer(end.kept, what, options_, file,
                                       end.abandoned ? 0 : end.hung ? kKeptHangTries : kKeptTries,
                                       tryInput);
        if (!kept.empty()) reason += "; the input that did it: " + kept;
        out_.report.Add(Verdict::Fail, check, file, reason);
        out_.CloseSpan();
        if (!end.progressed || workers + 1 >= kMostWorkers) {
            batch_.endsRun = true;
            break;
        }
        if (at.file != resume_.file) unreturnedCall_.clear();
        if (end.hung && unreturnedCall_.empty()) unreturnedCall_ = end.label;
        resume_ = at;
    }
    batch_.saveNames = saveNames_;
    return 0;
}

}  // namespace

int CheckBatchInWorkers(const Options& options, WorkerBatch* batch, RunOutput* out) {
    Supervisor supervisor(options, *batch, *out);
    return supervisor.Run();
}
