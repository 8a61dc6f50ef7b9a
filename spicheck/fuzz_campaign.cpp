#include "fuzz_campaign.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "file_bytes.h"
#include "file_walk.h"
#include "fuzz_coverage.h"
#include "fuzz_findings.h"
#include "fuzz_hang.h"
#include "fuzz_mutator.h"
#include "guarded_record.h"
#include "kept_input.h"
#include "names.h"
#include "picture_record.h"
#include "worker.h"

namespace {

// Members extracted per execution of an archive plug-in.
constexpr size_t kMembersPerExecution = 16;
// Havoc executions per corpus entry before the next is taken.
constexpr int kEnergy = 64;
// Input-to-state candidates per corpus entry.
constexpr size_t kReplacementsPerEntry = 256;
// The corpus keeps no input whose picture or members take more than this.
constexpr size_t kLargestKeptOutput = 4u << 20;
constexpr DWORD kSlowestKeptMs = 20;
// Executions a reproducer may take to minimise: a bound that keeps a run's
// length known, and the same on every machine (a hang costs a time limit
// each, so it gets fewer).
constexpr int kMinimiseBudget = 2048;
constexpr int kMinimiseHangBudget = 8;
// A leak: the live heap bytes after kLeakRounds runs of an input, more than
// kLeakBytesPerCall a run above those before. Looked for on the file, on
// each input that joins the corpus and on every kLeakEvery-th execution;
// minimised with fewer candidates, each costing the rounds.
constexpr int kLeakRounds = 16;
constexpr long long kLeakBytesPerCall = 64;
constexpr long long kLeakEvery = 4096;
constexpr int kMinimiseLeakBudget = 64;

// What a worker that is about to end writes (SaveCampaignInputBeforeTheEnd):
// the input and the operation of the execution running, and the folder
// and extension, spelled out before any execution.
struct LastWords {
    const char* input = nullptr;
    size_t size = 0;
    const char* operation = nullptr;  // null: no execution running
    char folder[MAX_PATH] = {};
    char extension[32] = {};
} g_lastWords;

struct Execution {
    std::string signature;  // empty: nothing found
    bool accepted = false;  // IsSupported accepted the input
    bool hang = false;
    bool leak = false;
    size_t output = 0;  // bytes of the picture's blocks, or of the members
    DWORD ms = 0;       // the calls' time
};

// Runs inputs through the plug-in's memory operations, reusing its buffers:
// the input ends right before an inaccessible page, the picture record is
// followed by canary bytes.
class Executor {
public:
    Executor(Checker& checker, SpiDllFile& plugin, bool image, const InputFile& file,
             size_t maxSize, DWORD timeLimitMs)
        : checker_(checker), plugin_(plugin), image_(image), name_(file.ansi),
          input_(maxSize), sample_(2 * SPI_SAMPLE_SIZE, '\0'), timeLimitMs_(timeLimitMs),
          breaker_(timeLimitMs) {}

    bool ok() const { return input_.ok(); }
    // Runs the input through the first `calls` operations (all by
    // default): 1 IsSupported, 2 also GetPictureInfo or GetArchiveInfo,
    // 3 also GetPicture or GetFile. The comparisons the plug-in made are
    // logged when asked for (coverage::Comparisons).
    Execution Run(const std::string& bytes, int calls = 3, bool comparisons = false);
    // The campaign's execution the next runs belong to (for the input kept
    // for spicheck).
    void SetExecution(long long execution) { execution_ = execution; }
    // The operation's name, 1 to 3.
    const char* Operation(int call) const {
        static const char* const image[] = {"IsSupported", "GetPictureInfo", "GetPicture"};
        static const char* const archive[] = {"IsSupported", "GetArchiveInfo", "GetFile"};
        return (image_ ? image : archive)[call - 1];
    }

private:
    // The signature of the call's outcome; empty when it came back in time
    // without a fault.
    std::string Judge(const char* operation, const Outcome& outcome, Execution* execution);

    Checker& checker_;
    SpiDllFile& plugin_;
    bool image_;
    std::string name_;
    EdgeBuffer input_;
    std::string sample_;
    GuardedRecord<PictureInfo> info_;
    DWORD timeLimitMs_;
    HangBreaker breaker_;
    long long execution_ = 0;
    // A call of the execution starts: the input is kept under its name.
    void Starts(const char* operation) {
        g_lastWords.operation = operation;
        KeepOperation(operation);
    }
    // One watched call; in a worker the heaps are walked right after it
    // (it costs next to nothing beside the call), so that damage is found
    // with the input and the operation that did it.
    template <typename Call>
    Outcome Watched(const char* label, Call&& call) {
        Outcome outcome = checker_.Watch(plugin_, label, call);
        EnsureHeapsIntact(label);
        return outcome;
    }
    // One call into the plug-in, which the breaker may end.
    template <typename Call>
    int32_t Broken(Call&& call) {
        breaker_.CallBegins();
        int32_t code = call();
        breaker_.CallEnds();
        return code;
    }
};

std::string Executor::Judge(const char* operation, const Outcome& outcome,
                            Execution* execution) {
    if (outcome.faulted && outcome.exception == kHangException) {
        execution->hang = true;
        return std::string(operation) + " hangs";
    }
    if (outcome.faulted) {
        const SpiFault& fault = plugin_.LastFault();
        bool pastInput = fault.code == EXCEPTION_ACCESS_VIOLATION && input_.InGuardPage(fault.address);
        return FaultSignature(operation, fault.code, fault.instruction, pastInput);
    }
    if (outcome.ms > timeLimitMs_) {
        execution->hang = true;
        return std::string(operation) + " hangs";
    }
    return std::string();
}

Execution Executor::Run(const std::string& bytes, int calls, bool comparisons) {
    Execution e;
    coverage::BeginExecution(comparisons);
    unsigned char* at = input_.data() + input_.size() - bytes.size();
    if (!bytes.empty()) memcpy(at, bytes.data(), bytes.size());
    LPCSTR source = reinterpret_cast<LPCSTR>(at);
    int32_t size = static_cast<int32_t>(bytes.size());
    // The sample sits in a larger buffer, as hosts give it.
    memset(&sample_[0], 0, sample_.size());
    memcpy(&sample_[0], bytes.data(), std::min<size_t>(bytes.size(), SPI_SAMPLE_SIZE));

    g_lastWords.input = bytes.data();
    g_lastWords.size = bytes.size();
    KeepInput(bytes, execution_);
    Starts("IsSupported");
    Outcome o = Watched("IsSupported (campaign)", [&] {
        return Broken([&] { return plugin_.IsSupported(name_.c_str(), &sample_[0]); });
    });
    e.signature = Judge("IsSupported", o, &e);
    e.ms += o.ms;
    e.accepted = !o.faulted && o.code != 0;
    KeepAccepted(e.accepted);
    if (calls < 2) {
        // IsSupported alone.
    } else if (image_ && e.signature.empty()) {
        info_.Reset();
        FillHInfo(info_.get());
        Starts("GetPictureInfo");
        o = Watched("GetPictureInfo (campaign)", [&] {
            return Broken([&] {
                return plugin_.GetPictureInfoAsGiven(source, size, SPI_INPUT_MEMORY, info_.get());
            });
        });
        e.signature = Judge("GetPictureInfo", o, &e);
        e.ms += o.ms;
        if (e.signature.empty() && info_.Overrun()) e.signature = "GetPictureInfo writes past its record";
        UniqueLocal comment(o.faulted ? nullptr : CommentHandle(info_.value()));
        if (e.signature.empty() && calls >= 3) {
            UniqueLocal header, bits;
            Starts("GetPicture");
            o = Watched("GetPicture (campaign)", [&] {
                return Broken([&] {
                    return plugin_.GetPicture(source, size, SPI_INPUT_MEMORY, header.put(),
                                              bits.put(), NullProgress, 0);
                });
            });
            e.signature = Judge("GetPicture", o, &e);
            e.ms += o.ms;
            if (!o.faulted) e.output = LocalSize(header.get()) + LocalSize(bits.get());
        }
    } else if (e.signature.empty()) {
        UniqueLocal list;
        Starts("GetArchiveInfo");
        o = Watched("GetArchiveInfo (campaign)", [&] {
            return Broken([&] {
                return plugin_.GetArchiveInfo(source, size, SPI_INPUT_MEMORY, list.put());
            });
        });
        e.signature = Judge("GetArchiveInfo", o, &e);
        e.ms += o.ms;
        if (e.signature.empty() && o.code == 0 && list.get() && calls >= 3) {
            ArchiveListing listing = ReadListing(list.get());
            size_t tried = 0;
            for (const fileInfo& record : listing.records) {
                if (record.position >= bytes.size()) continue;
                if (++tried > kMembersPerExecution) break;
                UniqueLocal member;
                Starts("GetFile");
                o = Watched("GetFile (campaign)", [&] {
                    return Broken([&] {
                        return plugin_.GetFile(source + record.position,
                                               size - static_cast<int32_t>(record.position),
                                               reinterpret_cast<LPSTR>(member.put()),
                                               SPI_INPUT_MEMORY | SPI_OUTPUT_MEMORY, NullProgress,
                                               0);
                    });
                });
                e.signature = Judge("GetFile", o, &e);
                e.ms += o.ms;
                if (!o.faulted) e.output += LocalSize(member.get());
                if (!e.signature.empty()) break;
            }
        }
    }
    g_lastWords.operation = nullptr;
    ForgetInput();
    coverage::EndExecution();
    return e;
}

// A corpus file's name: its contents' FNV-1a hash, so that one input is
// kept once.
std::string CorpusName(const std::string& bytes) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001B3ull;
    char name[24];
    snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
    return name;
}

struct Entry {
    std::string bytes;
    std::vector<spicov_cmp> comparisons;  // of its own execution
};

class Campaign {
public:
    Campaign(Checker& checker, SpiDllFile& plugin, bool image, const Options& options,
             const InputFile& file, size_t maxSize)
        : options_(options), file_(file), executor_(checker, plugin, image, file, maxSize,
                                                    options.timeLimitMs),
          mutator_(maxSize), random_(options.seed), maxSize_(maxSize) {}

    CampaignResult Run();

private:
    bool BudgetLeft() const;
    // Runs one input of the campaign: a finding is recorded (a new one
    // minimised and written), an input with new coverage joins the corpus.
    void Execute(const std::string& bytes, bool initial);
    void Record(const std::string& bytes, const Execution& execution);
    // "GetPicture leaks memory" for an input whose runs leave heap blocks
    // behind (the first operation that does), else empty.
    std::string LeakSignature(const std::string& bytes);

    const Options& options_;
    const InputFile& file_;
    Executor executor_;
    Mutator mutator_;
    FuzzRandom random_;
    coverage::Seen seen_;
    std::vector<Entry> corpus_;
    CampaignResult result_;
    size_t maxSize_;
    size_t replaced_ = 0;  // entries whose input-to-state candidates have run
    DWORD start_ = 0;
};

bool Campaign::BudgetLeft() const {
    if (options_.fuzzExecs > 0 && result_.executions >= options_.fuzzExecs) return false;
    if (options_.fuzzSeconds > 0 && GetTickCount() - start_ >= options_.fuzzSeconds * 1000u)
        return false;
    return true;
}

void Campaign::Record(const std::string& bytes, const Execution& execution) {
    for (CampaignFinding& known : result_.findings)
        if (known.signature == execution.signature) {
            ++known.hits;
            return;
        }
    CampaignFinding finding;
    finding.signature = execution.signature;
    finding.hits = 1;
    const bool accepted = execution.accepted;
    Reproducer about = ReproducerOf(options_, execution.signature, file_.name,
                                    result_.executions, bytes.size(), accepted);
    const bool leak = execution.leak;
    std::string smallest = Minimise(
        bytes,
        [&](const std::string& candidate) {
            Execution again = executor_.Run(candidate);
            if (leak && again.signature.empty() && again.accepted == accepted)
                return LeakSignature(candidate) == execution.signature;
            return again.signature == execution.signature && again.accepted == accepted;
        },
        execution.hang ? kMinimiseHangBudget : leak ? kMinimiseLeakBudget : kMinimiseBudget,
        &about.minimiseCalls);
    result_.minimising += about.minimiseCalls;
    std::string path = ReproducerPath(options_.crashesDir, execution.signature, file_.ansiBase);
    if (WriteReproducer(path, smallest, about, options_.crashesDir)) finding.path = path;
    result_.findings.push_back(finding);
}

std::string Campaign::LeakSignature(const std::string& bytes) {
    // The whole execution first; only a leak is narrowed to its operation.
    for (int calls = 3, leaking = 0; calls >= 1; --calls) {
        executor_.Run(bytes, calls);  // what a first call sets up once is no leak
        HeapCensus before = TakeHeapCensus();
        for (int i = 0; i < kLeakRounds; ++i)
            if (!executor_.Run(bytes, calls).signature.empty()) return std::string();
        HeapCensus after = TakeHeapCensus();
        result_.minimising += kLeakRounds + 1;
        bool leaks = after.bytes - before.bytes > kLeakBytesPerCall * kLeakRounds;
        if (!leaks) {
            if (!leaking) return std::string();
            return std::string(executor_.Operation(leaking)) + " leaks memory";
        }
        leaking = calls;
        if (calls == 1) return std::string(executor_.Operation(1)) + " leaks memory";
    }
    return std::string();
}

void Campaign::Execute(const std::string& bytes, bool initial) {
    executor_.SetExecution(result_.executions + 1);
    Execution execution = executor_.Run(bytes);
    ++result_.executions;
    // An input that makes the plug-in produce a huge picture costs as
    // much every time it is mutated: its edges count, the input is not
    // kept. A campaign counted in executions decides by that size alone,
    // so that it repeats exactly; one bounded by time only also leaves out
    // inputs whose calls took long, which would slow all that follows.
    bool fresh = result_.instrumented && seen_.Add() && execution.output <= kLargestKeptOutput &&
                 (options_.fuzzExecs > 0 || execution.ms <= kSlowestKeptMs);
    if (fresh || initial) {
        Entry entry;
        entry.bytes = bytes;
        // Its comparisons, from a run that logs them: logging on every
        // execution would cost more than the edges.
        if (result_.instrumented && !execution.hang) {
            executor_.Run(bytes, 3, true);
            ++result_.minimising;
            entry.comparisons = coverage::Comparisons();
        }
        if (fresh && !initial && !options_.corpusDir.empty()) {
            SaveBytes(options_.corpusDir + "\\" + CorpusName(bytes), bytes);
        }
        corpus_.push_back(std::move(entry));
    }
    // Last: minimising runs the plug-in again and would change the map.
    // A slow call is a hang only when the input is slow again: a machine
    // busy for a moment must not make one.
    if (execution.hang && executor_.Run(bytes).signature != execution.signature) return;
    if (!execution.signature.empty()) {
        Record(bytes, execution);
    } else if (fresh || initial || result_.executions % kLeakEvery == 0) {
        Execution leak;
        leak.signature = LeakSignature(bytes);
        leak.leak = true;
        leak.accepted = execution.accepted;
        if (!leak.signature.empty()) Record(bytes, leak);
    }
}

CampaignResult Campaign::Run() {
    start_ = GetTickCount();
    // The plug-in's code has run in the checks before: an instrumented
    // one has found the map by now.
    result_.instrumented = coverage::Instrumented();
    if (!executor_.ok()) {
        result_.problem = "no room for the campaign's input buffer";
        return result_;
    }
    if (!options_.dictFile.empty()) {
        std::vector<std::string> tokens;
        std::string error;
        if (!ReadDictionary(options_.dictFile, &tokens, &error))
            result_.problem = error;
        for (const std::string& token : tokens) mutator_.AddToken(token);
    }
    std::vector<std::string> initial = {file_.bytes};
    if (!options_.corpusDir.empty()) {
        CreateDirectoryA(options_.corpusDir.c_str(), nullptr);
        for (const std::string& name : FileNamesIn(options_.corpusDir)) {
            std::string bytes;
            if (ReadBytes(options_.corpusDir + "\\" + name, &bytes) && bytes.size() <= maxSize_)
                initial.push_back(bytes);
        }
    }
    for (const std::string& bytes : initial) {
        if (!BudgetLeft()) break;
        Execute(bytes, true);
    }
    for (size_t turn = 0; BudgetLeft() && !corpus_.empty(); ++turn) {
        // Each new entry's replacements come first: they are few, and each
        // may pass one more comparison.
        while (result_.instrumented && replaced_ < corpus_.size() && BudgetLeft()) {
            std::vector<std::string> candidates = mutator_.InputToState(
                corpus_[replaced_].bytes, corpus_[replaced_].comparisons, kReplacementsPerEntry);
            ++replaced_;
            for (const std::string& candidate : candidates) {
                if (!BudgetLeft()) break;
                Execute(candidate, false);
            }
        }
        size_t index = turn % corpus_.size();
        for (int i = 0; i < kEnergy && BudgetLeft(); ++i) {
            // Entries move when the corpus grows: copies, not references.
            std::string base = corpus_[index].bytes;
            std::string other;
            bool splice = corpus_.size() > 1 && random_.Below(8) == 0;
            if (splice) other = corpus_[random_.Below(corpus_.size())].bytes;
            Execute(mutator_.Havoc(base, splice ? &other : nullptr, random_), false);
        }
    }
    result_.ms = GetTickCount() - start_;
    result_.edges = result_.instrumented ? seen_.Edges() : 0;
    result_.corpus = corpus_.size();
    return result_;
}

}  // namespace

void SaveCampaignInputBeforeTheEnd(const char* what) {
    const LastWords& w = g_lastWords;
    if (!w.operation || !w.folder[0] || InputKept()) return;
    char path[MAX_PATH + 96];
    wsprintfA(path, "%s\\%s_%s%s", w.folder, w.operation, what, w.extension);
    CreateDirectoryA(w.folder, nullptr);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, w.input, static_cast<DWORD>(w.size), &written, nullptr);
    CloseHandle(file);
}

void TryKeptInput(Checker& checker, SpiDllFile& plugin, bool image, const Options& options,
                  const std::string& fileName) {
    std::string bytes;
    if (!TakeTry(&bytes)) return;
    // The file's name as the campaign's IsSupported got it.
    InputFile file;
    file.name = fileName;
    file.ansi = AnsiPathFor(fileName);
    if (file.ansi.empty()) AnsiName(BaseName(fileName), &file.ansi);
    Executor executor(checker, plugin, image, file, bytes.size(), options.timeLimitMs);
    if (!executor.ok()) return;
    executor.SetExecution(1);
    executor.Run(bytes);
}

size_t CampaignInputLimit(size_t fileSize) {
    // Room to grow, within reason.
    size_t limit = std::max<size_t>(fileSize * 2, fileSize + 4096);
    return std::min<size_t>(limit, std::max<size_t>(fileSize, 1u << 20));
}

CampaignResult RunFuzzCampaign(Checker& checker, SpiDllFile& plugin, bool image,
                               const Options& options, const InputFile& file) {
    lstrcpynA(g_lastWords.folder, options.crashesDir.c_str(), sizeof g_lastWords.folder);
    size_t dot = file.ansiBase.find_last_of('.');
    std::string extension = dot == std::string::npos ? std::string() : file.ansiBase.substr(dot);
    lstrcpynA(g_lastWords.extension, extension.c_str(), sizeof g_lastWords.extension);
    Campaign campaign(checker, plugin, image, options, file, CampaignInputLimit(file.bytes.size()));
    return campaign.Run();
}

std::string CampaignLine(const CampaignResult& r) {
    double seconds = r.ms / 1000.0;
    long long rate = seconds > 0 ? static_cast<long long>((r.executions + r.minimising) / seconds)
                                 : r.executions + r.minimising;
    std::string line = Format("campaign: %lld executions, %lld/s", r.executions, rate);
    if (r.instrumented)
        line += Format(", %u edges", static_cast<unsigned>(r.edges));
    else
        line += ", no coverage";
    line += Format(", corpus %u", static_cast<unsigned>(r.corpus));
    if (!r.problem.empty()) line += "; " + r.problem;
    return line;
}

std::string FindingsText(const CampaignResult& r) {
    if (r.findings.empty()) return std::string();
    std::string text = Format("%u distinct fault%s: ", static_cast<unsigned>(r.findings.size()),
                              r.findings.size() == 1 ? "" : "s");
    for (size_t i = 0; i < r.findings.size() && i < 5; ++i) {
        const CampaignFinding& f = r.findings[i];
        if (i) text += "; ";
        text += f.signature + " (" + (f.path.empty() ? std::string("not written") : f.path) + ")";
    }
    if (r.findings.size() > 5)
        text += Format("; and %u more", static_cast<unsigned>(r.findings.size() - 5));
    return text;
}
