#include "job_scheduler.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "batch_result.h"
#include "file_walk.h"
#include "isolation/helper_process.h"
#include "progress_line.h"
#include "resume_journal.h"
#include "run_output.h"
#include "supervisor.h"

namespace {

// Tests set this to N to have the run killed once N batches are in the
// resume journal: how a run stopped half-way is had without timing.
size_t StopAfterJournaled() {
    char value[16];
    DWORD n = GetEnvironmentVariableA("SPICHECK_TEST_STOP_AFTER_BATCHES", value, sizeof value);
    return n > 0 && n < sizeof value ? strtoul(value, nullptr, 10) : 0;
}

// A batch as the run keeps it while it is checked.
struct Slot {
    size_t first = 0, count = 0;  // its files, in the run's list
    bool done = false;
    size_t printed = 0;           // results on standard output so far
    std::string lastFile;         // the file of its last result
    size_t filesSeen = 0;         // files its results named so far
    BatchResult result;
};

class Scheduler {
public:
    explicit Scheduler(const Options& options) : options_(options), progress_() {}
    int Run();

private:
    void Work();
    void CheckBatch(size_t index);
    // Prints what the batches at the head of the order have that is not
    // printed yet, and moves the head past those that are done.
    void Flush();
    void PrintLine(const std::string& line);
    size_t FilesDone() const;
    int Finish();

    const Options& options_;
    std::vector<std::string> files_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;       // the next batch to start
    size_t head_ = 0;       // the first batch not wholly printed
    size_t stopAt_ = 0;     // batches from here on are not checked
    bool opened_ = false;   // the first batch identified the plug-in (or ended)
    bool headerShown_ = false;
    size_t failed_ = 0;
    ResumeJournal journal_;
    bool journaling_ = false;
    size_t journaled_ = 0;
    const size_t stopAfter_ = StopAfterJournaled();
    ProgressLine progress_;
};

void Scheduler::PrintLine(const std::string& line) {
    if (options_.json) return;
    progress_.Erase();
    printf("%s\n", line.c_str());
    fflush(stdout);
}

void Scheduler::Flush() {
    while (head_ < slots_.size() && head_ < stopAt_) {
        Slot& slot = slots_[head_];
        if (head_ == 0 && !headerShown_ && !slot.result.header.empty()) {
            headerShown_ = true;
            PrintLine(slot.result.header);
        }
        for (; slot.printed < slot.result.results.size(); ++slot.printed) {
            const BatchResult::Entry& e = slot.result.results[slot.printed];
            PrintLine(ResultLine({e.verdict, Check(e.check).name, e.file, e.reason}));
        }
        if (!slot.done) return;
        ++head_;
    }
}

void Scheduler::CheckBatch(size_t index) {
    Slot& slot = slots_[index];
    WorkerBatch batch;
    batch.files.assign(files_.begin() + slot.first, files_.begin() + slot.first + slot.count);
    batch.pluginChecks = index == 0;
    {
        // With --save, the names given are those of the files in turn:
        // the batches run one after another, each after the names before.
        std::lock_guard<std::mutex> lock(mutex_);
        if (index > 0) batch.saveNames = slots_[index - 1].result.saveNames;
    }
    batch.onHeader = [this, &slot](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.result.header = line;
        opened_ = true;
        Flush();
        changed_.notify_all();
    };
    RunOutput out(options_);
    out.report.ForwardTo([this, &slot, index](Verdict verdict, CheckId check,
                                              const std::string& file, const std::string& reason) {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.result.results.push_back({verdict, check, file, reason});
        if (verdict == Verdict::Fail) ++failed_;
        if (!file.empty() && file != slot.lastFile) {
            slot.lastFile = file;
            ++slot.filesSeen;
        }
        if (index == head_) Flush();
    });
    out.report.ForwardSkipsTo([this, &slot](CheckId check, const std::string& file,
                                            const std::string& reason) {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.result.skips.push_back({Verdict::Pass, check, file, reason});
    });
    int status = CheckBatchInWorkers(options_, &batch, &out);

    std::lock_guard<std::mutex> lock(mutex_);
    BatchResult& r = slot.result;
    r.status = status;
    r.endsRun = batch.endsRun || status != 0;
    r.message = batch.message;
    r.releaseFailure = batch.releaseFailure;
    r.saveNames = batch.saveNames;
    if (index == 0) {
        r.kind = out.kind;
        r.version = out.version;
        r.jsonExtra = out.jsonExtra;
        r.identity = out.page.SavedIdentity();
    }
    r.spans = out.spans;
    for (size_t i = 0; i < out.page.FileCount(); ++i) r.pages.push_back(out.page.SavedFile(i));
    slot.done = true;
    if (r.endsRun) stopAt_ = std::min(stopAt_, index + 1);
    if (index == 0) opened_ = true;
    if (journaling_ && status == 0) {
        if (!journal_.Append(r.Bytes(index))) {
            fprintf(stderr, "spicheck: cannot write to %s: the run goes on without it\n",
                    options_.resumeFile.c_str());
            journaling_ = false;
        } else if (++journaled_ == stopAfter_) {
            TerminateProcess(GetCurrentProcess(), 9);
        }
    }
    Flush();
    changed_.notify_all();
}

void Scheduler::Work() {
    for (;;) {
        size_t index;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // The other batches wait until the first has identified the
            // plug-in; with --save, each waits for the one before it.
            changed_.wait(lock, [this] {
                if (next_ >= stopAt_) return true;
                if (next_ > 0 && !opened_) return false;
                return options_.saveDir.empty() || next_ == 0 || slots_[next_ - 1].done;
            });
            while (next_ < stopAt_ && slots_[next_].done) ++next_;
            if (next_ >= stopAt_) return;
            index = next_++;
        }
        CheckBatch(index);
    }
}

size_t Scheduler::FilesDone() const {
    size_t done = 0;
    for (const Slot& slot : slots_)
        done += slot.done ? slot.count : (slot.filesSeen ? slot.filesSeen - 1 : 0);
    return done;
}

int Scheduler::Run() {
    for (const std::string& argument : options_.files) ExpandArgument(argument, &files_);
    const size_t size = BatchSize(files_.size());
    for (size_t first = 0; first < files_.size() || slots_.empty(); first += size) {
        Slot slot;
        slot.first = first;
        slot.count = std::min(size, files_.size() - first);
        slots_.push_back(slot);
    }
    stopAt_ = slots_.size();

    if (!options_.resumeFile.empty()) {
        RunKey key;
        std::string note, error;
        if (!key.Make(options_.pluginPath, files_)) {
            fprintf(stderr, "spicheck: cannot read %s\n", options_.plugin.c_str());
            return 2;
        }
        if (!journal_.Open(options_.resumeFile, key, &note, &error)) {
            fprintf(stderr, "spicheck: %s\n", error.c_str());
            return 2;
        }
        journaling_ = true;
        if (!note.empty()) fprintf(stderr, "spicheck: %s: %s\n", options_.resumeFile.c_str(), note.c_str());
        size_t resumed = 0, files = 0;
        for (const std::string& record : journal_.Records()) {
            BatchResult result;
            size_t index = 0;
            if (!result.Restore(record, &index) || index >= slots_.size() || slots_[index].done)
                continue;
            slots_[index].result = std::move(result);
            slots_[index].done = true;
            if (slots_[index].result.endsRun) stopAt_ = std::min(stopAt_, index + 1);
            ++resumed;
            files += slots_[index].count;
        }
        if (slots_[0].done) opened_ = true;
        if (resumed)
            fprintf(stderr, "spicheck: %s: %u of %u files were checked before; going on after them\n",
                    options_.resumeFile.c_str(), static_cast<unsigned>(files),
                    static_cast<unsigned>(files_.size()));
    }

    int jobs = options_.jobs;
    if (jobs <= 0) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        jobs = static_cast<int>(system.dwNumberOfProcessors);
    }
    if (jobs < 1) jobs = 1;
    size_t workers = std::min(static_cast<size_t>(jobs), slots_.size());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Flush();
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < workers; ++i) threads.emplace_back([this] { Work(); });
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (head_ < std::min(stopAt_, slots_.size())) {
            progress_.Update(FilesDone(), files_.size(), failed_);
            changed_.wait_for(lock, std::chrono::milliseconds(250));
        }
        progress_.Erase();
    }
    for (std::thread& thread : threads) thread.join();
    return Finish();
}

// The run's report from its batches, in order.
int Scheduler::Finish() {
    RunOutput out(options_);
    std::string releaseFailure;
    for (size_t index = 0; index < slots_.size() && index < stopAt_; ++index) {
        const BatchResult& r = slots_[index].result;
        if (!r.message.empty()) fprintf(stderr, "spicheck: %s\n", r.message.c_str());
        if (r.status != 0) return r.status;
        if (index == 0) {
            out.kind = r.kind;
            out.version = r.version;
            out.jsonExtra = r.jsonExtra;
            if (!r.identity.empty()) out.page.RestoreIdentity(r.identity);
        }
        size_t offset = out.report.Results().size();
        for (const BatchResult::Entry& e : r.results)
            out.report.Add(e.verdict, e.check, e.file, e.reason);
        for (const BatchResult::Entry& e : r.skips) out.report.Skip(e.check, e.file, e.reason);
        for (const FileSpan& span : r.spans)
            out.spans.push_back({span.file, span.first + offset, span.end + offset});
        for (const std::string& page : r.pages) out.page.RestoreFile(page);
        if (releaseFailure.empty()) releaseFailure = r.releaseFailure;
        // Held once: the run's report has it now.
        slots_[index].result = BatchResult();
    }
    // A fault while the plug-in was released belongs to no file's check.
    if (!releaseFailure.empty()) {
        out.report.Add(Verdict::Fail, CheckId::RobustTime, std::string(), releaseFailure);
        PrintLine(ResultLine(out.report.Results().back()));
    }
    out.PrintEnd();
    return out.ExitStatus();
}

}  // namespace

size_t BatchSize(size_t files) { return std::max<size_t>(1, std::min<size_t>(16, files / 32)); }

int CheckInWorkers(const Options& options) {
    // No worker outlives this run, however it ends. Where no job can be
    // had, a worker still ends itself once it sees this process gone.
    isolation::EndHelpersWithThisProcess();
    Scheduler scheduler(options);
    return scheduler.Run();
}
