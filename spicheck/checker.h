// The checks. A Checker runs every check that applies to the plug-in's kind
// and adds one result per check (and file) to the report.
#ifndef SPICHECK_CHECKER_H
#define SPICHECK_CHECKER_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "memory_tools.h"
#include "options.h"
#include "report.h"
#include "watchdog.h"
#include "spi_dll_file.h"

// The library's plug-in object, plus the one question the library does not
// answer: whether the module exports a name at all.
class CheckedPlugin : public SpiDllFile {
public:
    CheckedPlugin() = default;
    explicit CheckedPlugin(int32_t residency) : SpiDllFile(residency) {}
    bool HasExport(const char* name);
};

// How one call into the plug-in went.
struct Outcome {
    int32_t code = 0;
    bool faulted = false;    // the guard caught a fault inside the plug-in
    DWORD exception = 0;     // its code
    uintptr_t address = 0;   // for an access violation, the address touched
    DWORD ms = 0;
};
// "returned 3", "faulted (c0000005 at address 0x00000010)"
std::string Describe(const Outcome& outcome);

// One file under test.
struct TestFile {
    std::string name;   // as given on the command line
    std::string bytes;  // its contents
};

// The calls of one progress callback.
struct ProgressLog {
    std::vector<std::pair<int32_t, int32_t>> calls;
    int32_t count = 0;    // calls made (calls holds at most its capacity)
    int32_t stopAt = -1;  // answer non-zero from this call on (0-based); -1 never
};
int32_t SPI_API RecordProgress(int32_t done, int32_t total, intptr_t data);
// The verdict on a log of a call that was never stopped: empty when fine.
std::string ProgressFault(const ProgressLog& log);

// An archive list read within its block.
struct ArchiveListing {
    std::vector<fileInfo> records;
    bool locked = false;
    bool terminated = false;  // an end record lies within the block
    size_t blockSize = 0;
};
ArchiveListing ReadListing(HLOCAL handle);

std::string BaseName(const std::string& path);
bool SaveBytes(const std::string& path, const std::string& bytes);

class Checker {
public:
    Checker(CheckedPlugin& plugin, const Options& options, Report& report)
        : plugin_(plugin), options_(options), report_(report) {}

    void CheckIdentification();
    void CheckFile(const std::string& name);

    // Runs one guarded call and records how it went; faultResult is what the
    // library answers for a caught fault (8, or 0 for IsSupported). label
    // names the call in the time check.
    template <typename Call>
    Outcome Watch(const char* label, Call&& call, int32_t faultResult = 8);

    const std::string& Version() const { return version_; }
    // The file under test, empty during the checks of the plug-in itself.
    const std::string& CurrentFile() const { return currentFile_; }

private:
    bool Probe(const TestFile& file);
    void CheckPicture(const TestFile& file);
    void CheckArchive(const TestFile& file);
    void CheckRobustness(const TestFile& file);
    void CheckTime(const TestFile& file);
    // Tries one variant from memory the way a host would; false when a call
    // faulted (*what says which and how).
    bool TryVariant(SpiDllFile& plugin, const std::string& name, const std::string& bytes,
                    std::string* what);
    // The plug-in for the long series of calls (variants, repeated decodes):
    // a second object that keeps the module loaded, as a host that holds
    // its plug-ins does. Loading a module around each of thousands of calls
    // is slow, and each load of a module linked with MinGW's posix-thread
    // C++ runtime leaves a kernel handle behind; once handle values pass
    // 0xFFFF, plug-ins can no longer tell a file handle from a sample's
    // address in IsSupported.
    // Falls back to the main object when the second load fails.
    CheckedPlugin& RoundsPlugin();
    void ReportProgress(const TestFile& file, const ProgressLog& log);
    void ReportCancel(const TestFile& file, const Outcome& outcome, const ProgressLog& log,
                      const HeapCensus& before, const HeapCensus& after);
    // Repeats a call (which frees what it receives) and compares the heap
    // and private memory before and after.
    void CheckLeaks(const TestFile& file, const std::function<Outcome(SpiDllFile&)>& call);
    std::string TempPath(const char* what);
    // Writes bytes into the --save folder (nothing without --save).
    bool SaveFile(const std::string& name, const void* data, size_t size);

    CheckedPlugin& plugin_;
    const Options& options_;
    Report& report_;
    bool image_ = false;
    // The checks of a file need the exports of the plug-in's kind; those
    // that need a missing one are left out (ident.exports reports it).
    bool exportsComplete_ = false;
    bool hasPictureInfo_ = false;
    bool hasPicture_ = false;
    DWORD slowestMs_ = 0;
    std::string slowestCall_;
    std::string version_;
    std::unique_ptr<CheckedPlugin> resident_;
    bool residentLoaded_ = false;
    std::string currentFile_;
    unsigned tempCounter_ = 0;
};

template <typename Call>
Outcome Checker::Watch(const char* label, Call&& call, int32_t faultResult) {
    Outcome outcome;
    ResetFaultWatch();
    DWORD start = GetTickCount();
    CallStarted(label);
    outcome.code = call();
    CallEnded();
    outcome.ms = GetTickCount() - start;
    outcome.faulted = FaultSeen(&outcome.exception, &outcome.address) &&
                      outcome.code == faultResult;
    if (outcome.ms > slowestMs_) {
        slowestMs_ = outcome.ms;
        slowestCall_ = label;
    }
    return outcome;
}

#endif
