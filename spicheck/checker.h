// The checks. A Checker runs the rows of the table of checks that apply to
// the plug-in's kind, one function per check, and adds one result per
// check (and file) to the report.
#ifndef SPICHECK_CHECKER_H
#define SPICHECK_CHECKER_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "check_table.h"
#include "file_context.h"
#include "memory_tools.h"
#include "options.h"
#include "report.h"
#include "save_names.h"
#include "watchdog.h"
#include "spi_dll_file.h"

// Variant `index` of a file's bytes under a seed: a few bytes flipped,
// the same on every machine for the three numbers.
std::string FuzzVariant(const std::string& bytes, uint32_t seed, int index);

// spicheck checks plug-ins of its own bitness.
constexpr bool kX64 = sizeof(void*) == 8;

class Checker {
public:
    Checker(SpiDllFile& plugin, const Options& options, Report& report)
        : plugin_(plugin), options_(options), report_(report) {}

    // The checks of the plug-in itself, then those of each file.
    void CheckPlugin();
    void CheckFile(const std::string& name);

    // For a worker process that goes on where an earlier one ended: the
    // next CheckPlugin or CheckFile leaves out the checks up to and
    // including `check`. Before CheckFile without CheckPlugin, Prepare
    // reads what the file checks need of the plug-in (its kind and exports).
    void ResumeAfter(CheckId check) { resumeAfter_ = static_cast<int>(check); }
    // A call on the next file that an earlier worker made and that never
    // returned: the file's robust.time fails with it.
    void CallDidNotReturn(const std::string& label) { carriedUnreturned_ = label; }
    void Prepare();
    // Told of each check as it starts.
    void OnCheckStart(std::function<void(CheckId)> hook) { onCheck_ = std::move(hook); }
    SaveNames& Names() { return saveNames_; }

    // Runs one call of plugin's and records how it went: its result, and
    // what the library's guard caught, if anything (a fault the plug-in
    // handles itself is none). label names the call in the time check.
    template <typename Call>
    Outcome Watch(SpiDllFile& plugin, const char* label, Call&& call);

    // Unloads the module (watched); the next call loads it again.
    void ReleasePlugins();

    const std::string& Version() const { return version_; }
    // The filters ident.filters read: patterns and format name, in order.
    const std::vector<std::pair<std::string, std::string>>& Filters() const { return filters_; }
    // Called with each file's shared results at the end of its checks,
    // before they are freed (the HTML page keeps what it shows of them).
    void AfterEachFile(std::function<void(const FileContext&)> hook) { afterFile_ = std::move(hook); }
    // The file under test, empty during the checks of the plug-in itself.
    const std::string& CurrentFile() const { return currentFile_; }
    // The check running (or run last).
    CheckId CurrentCheck() const { return current_; }

    // The checks, one function per row of the table (its `run`), declared
    // from the list of checks. Those of the plug-in itself get a context
    // without a file.
#define SPICHECK_CHECK_FUNCTION(function) void function(FileContext& context);
    SPICHECK_CHECK_LIST(SPICHECK_CHECK_FUNCTION)
#undef SPICHECK_CHECK_FUNCTION

private:
    bool Applies(const CheckRow& row) const;
    // Whether the row is past the resume point (and so runs).
    bool PastResumePoint(size_t row) const { return static_cast<int>(row) > resumeAfter_; }
    void Run(CheckId id, FileContext& context);
    // The verdict of the check being run, on the current file.
    void Pass();
    void Warn(const std::string& reason);
    void Fail(const std::string& reason);
    // The check is left out, for a reason the JUnit file tells.
    void Skip(const std::string& reason);
    // Leaves the check out when it needs the kind's input from memory and
    // the plug-in does not implement it; true then.
    bool SkippedForMemoryInput(FileContext& context);

    // What a GetPluginInfo or GetPluginInfoW call with a small buffer did.
    struct SmallBufferAnswer {
        Outcome outcome;
        bool overrun = false;
        size_t overrunAt = 0;  // the first unit past the size that changed
    };
    // The first call ask(n, size) stands for, for the info numbers up to 3
    // the filter walk found and buffers of 1 to 8 units, that faults or
    // writes past the size it is given, in a verdict's words; empty when
    // none does. The ANSI and the wide export are bounded alike.
    std::string SmallBufferFault(const char* exportName, const char* unit,
                                 const std::function<SmallBufferAnswer(int32_t, size_t)>& ask);
    // The exports of the plug-in's kind it lacks, ", " between them.
    std::string MissingKindExports() const;
    // Whether the plug-in has the wide exports a kNeedsWideExports check asks.
    bool WideApplies(CheckId id) const;
    // Unloads the module and loads it again, as a host that loads a
    // plug-in around each call does between two calls.
    void Reload();

    // The shared calls of a file, made by the first check that asks.
    SampleAnswer& Sample(FileContext& context);
    HandleAnswer& HandleForm(FileContext& context);
    PictureDescriptions& Descriptions(FileContext& context);
    PictureDecodes& Decodes(FileContext& context);
    ArchiveLists& Lists(FileContext& context);
    Extractions& Extracted(FileContext& context);
    // One member extracted to a fresh temporary folder, which is removed
    // unless *folder is asked for.
    Outcome ExtractToFolder(FileContext& context, const fileInfo& record,
                            std::string* folder = nullptr);
    // The callbacks of the kind's sample call (the decode from the file, or
    // the extraction of the first member with data); null when there was
    // none, and then the callback and resource checks are left out.
    const ProgressLog* SampleCallLog(FileContext& context);
    // The plug-in answered -1 (not implemented) for the kind's input from
    // memory; the checks that call from memory are left out.
    bool MemoryInputDeclined(FileContext& context);

    // Tries one variant from memory the way a host would; false when a call
    // faulted (*what says which and how).
    bool TryVariant(SpiDllFile& plugin, const std::string& name, const std::string& bytes,
                    std::string* what);
    // Within a series of variants, a call's label names the variant
    // ("GetPicture (variant 146 of seed 1)", "GetPicture (the first 24
    // bytes)"), so that a slow or hung call can be repeated; otherwise the
    // label as it is.
    const char* SeriesLabel(const char* label);
    // The calls after IsSupported on one variant, from memory.
    bool TryCalls(SpiDllFile& plugin, const std::string& bytes, std::string* what);
    std::string seriesNote_;
    char seriesLabel_[160] = {};
    // The plug-in for the long series of calls (variants, repeated decodes).
    // Every check runs the plug-in as a host that keeps it loaded does:
    // the object is Resident, loaded once per process (and again after the
    // loads of resource.handles and robust.reload).
    SpiDllFile& RoundsPlugin();
    // The kind's sample call from memory (a decode, or the extraction of the
    // sample member), freeing what it receives; empty when there is none.
    std::function<Outcome(SpiDllFile&)> SampleCall(FileContext& context);
    // Kernel handles left by loading and releasing the plug-in: counted on
    // the first file, then kept (-1: not counted yet or not countable).
    long loadHandleGrowth_ = -1;
    bool loadsCounted_ = false;
    // Repeats a call (which frees what it receives) and compares the heap
    // and private memory before and after.
    void CheckLeaks(const std::function<Outcome(SpiDllFile&)>& call);
    std::string TempPath(const char* what);
    // Writes bytes into the --save folder (nothing without --save) under
    // the name SaveNames gives `name`; *savedAs is that name.
    bool SaveFile(const std::string& name, const void* data, size_t size,
                  std::string* savedAs);
    // The path in the --save folder for `name`, made safe and unique.
    std::string SavePath(const std::string& name, std::string* savedAs);

    SpiDllFile& plugin_;
    const Options& options_;
    Report& report_;
    CheckId current_ = CheckId::IdentVersion;
    std::string currentFile_;
    bool image_ = false;
    // The checks of a file need the exports of the plug-in's kind (an image
    // plug-in's GetPicture); those that need a missing one are left out
    // (ident.exports reports it).
    bool kindExports_ = false;
    bool hasPictureInfo_ = false;
    // The highest info number the filter walk found answered; the buffer
    // bounds are tried up to it.
    int32_t lastInfoNumber_ = 1;
    DWORD slowestMs_ = 0;
    std::string slowestCall_;
    std::string unreturnedCall_, carriedUnreturned_;
    std::string version_;
    std::vector<std::pair<std::string, std::string>> filters_;
    std::function<void(const FileContext&)> afterFile_;
    unsigned tempCounter_ = 0;
    int resumeAfter_ = -1;  // index of the last row to leave out, -1: none
    std::function<void(CheckId)> onCheck_;
    SaveNames saveNames_;
};

template <typename Call>
Outcome Checker::Watch(SpiDllFile& plugin, const char* label, Call&& call) {
    Outcome outcome;
    label = SeriesLabel(label);
    DWORD start = GetTickCount();
    CallStarted(label);
    outcome.code = call();
    CallEnded();
    outcome.ms = GetTickCount() - start;
    const SpiFault& fault = plugin.LastFault();
    outcome.faulted = fault.kind != SpiFaultKind::None;
    outcome.exception = fault.code;
    outcome.address = fault.address;
    // The first call past the limit is kept (else the slowest): when
    // several are, the one named does not depend on the machine's load.
    if (outcome.ms > slowestMs_ && slowestMs_ <= options_.timeLimitMs) {
        slowestMs_ = outcome.ms;
        slowestCall_ = label;
    }
    return outcome;
}

#endif
