// The road of one file: read it, probe it, run the checks of the plug-in's
// kind, the robustness and resource checks, and the time check.
#include <cstring>

#include "checker.h"

namespace {

bool ReadWholeFile(const std::string& name, std::string* bytes, DWORD* error) {
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    bool ok = true;
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            *error = GetLastError();
            ok = false;
            break;
        }
        if (got == 0) break;
        bytes->append(chunk, got);
    }
    CloseHandle(file);
    return ok;
}

}  // namespace

int32_t SPI_API RecordProgress(int32_t done, int32_t total, intptr_t data) {
    ProgressLog* log = reinterpret_cast<ProgressLog*>(static_cast<intptr_t>(data));
    int32_t index = log->count++;
    // Stored without allocating: the resource checks count heap blocks
    // around calls that call back.
    if (log->calls.size() < log->calls.capacity()) log->calls.emplace_back(done, total);
    return (log->stopAt >= 0 && index >= log->stopAt) ? 1 : 0;
}

std::string ProgressFault(const ProgressLog& log) {
    const auto& calls = log.calls;
    if (calls.empty()) return std::string();
    if (calls.front().first != 0)
        return Format("progress starts at %d/%d, not at 0", calls.front().first,
                      calls.front().second);
    for (size_t i = 0; i < calls.size(); ++i) {
        int32_t done = calls[i].first, total = calls[i].second;
        if (done > total)
            return Format("progress %d/%d exceeds its total (call %u)", done, total,
                          static_cast<unsigned>(i + 1));
        if (i > 0 && done < calls[i - 1].first)
            return Format("progress goes back from %d to %d (call %u)", calls[i - 1].first, done,
                          static_cast<unsigned>(i + 1));
    }
    if (calls.back().first != calls.back().second)
        return Format("progress ends at %d/%d, not at its total", calls.back().first,
                      calls.back().second);
    return std::string();
}

void Checker::ReportProgress(const TestFile& file, const ProgressLog& log) {
    if (log.count == 0) {
        report_.Warn("callback.progress", file.name, "the plug-in never calls back");
        return;
    }
    std::string fault = ProgressFault(log);
    if (fault.empty())
        report_.Pass("callback.progress", file.name);
    else
        report_.Fail("callback.progress", file.name, fault);
}

std::string Checker::TempPath(const char* what) {
    char folder[MAX_PATH];
    DWORD n = GetTempPathA(sizeof folder, folder);
    if (n == 0 || n >= sizeof folder) strcpy(folder, ".\\");
    return Format("%sspicheck-%lu-%u-%s", folder, GetCurrentProcessId(), ++tempCounter_, what);
}

bool Checker::SaveFile(const std::string& name, const void* data, size_t size) {
    if (options_.saveDir.empty()) return true;
    CreateDirectoryA(options_.saveDir.c_str(), nullptr);
    std::string path = options_.saveDir + "\\" + name;
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    bool ok = fwrite(data, 1, size, out) == size;
    return fclose(out) == 0 && ok;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Checker::Probe(const TestFile& file) {
    // Memory form: the 2048-byte sample ends where an inaccessible page begins.
    EdgeBuffer sample(SPI_SAMPLE_SIZE);
    memcpy(sample.data(), file.bytes.data(),
           file.bytes.size() < SPI_SAMPLE_SIZE ? file.bytes.size() : SPI_SAMPLE_SIZE);
    Outcome memory = Watch("IsSupported (memory)", [&] {
        return plugin_.IsSupported(file.name.c_str(), sample.data());
    }, 0);
    if (memory.faulted && sample.InGuardPage(memory.address))
        report_.Fail("probe.sample-bounds", file.name,
                     Format("IsSupported reads byte %u of the 2048-byte sample",
                            static_cast<unsigned>(memory.address -
                                                  reinterpret_cast<uintptr_t>(sample.data()))));
    else if (memory.faulted)
        report_.Fail("probe.sample-bounds", file.name,
                     "IsSupported on the sample " + Describe(memory));
    else
        report_.Pass("probe.sample-bounds", file.name);

    Outcome handleForm;
    HANDLE handle = CreateFileA(file.name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        handleForm = Watch("IsSupported (file handle)", [&] {
            return plugin_.IsSupported(file.name.c_str(), handle);
        }, 0);
        CloseHandle(handle);
    }
    bool memoryAccepts = !memory.faulted && memory.code != 0;
    bool handleAccepts = !handleForm.faulted && handleForm.code != 0;
    if (handle == INVALID_HANDLE_VALUE)
        report_.Fail("probe.forms-agree", file.name, "the file cannot be opened again");
    else if (handleForm.faulted)
        report_.Fail("probe.forms-agree", file.name,
                     "IsSupported with a file handle " + Describe(handleForm));
    else if (!memory.faulted && memoryAccepts != handleAccepts)
        report_.Fail("probe.forms-agree", file.name,
                     Format("the file-handle form (handle 0x%lx) answers %d, the memory form %d",
                            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(handle)),
                            handleForm.code, memory.code));
    else
        report_.Pass("probe.forms-agree", file.name);

    // Inside a larger buffer: reading past the sample is the concern of
    // sample-bounds alone.
    std::string zeros(2 * SPI_SAMPLE_SIZE, '\0');
    Outcome zero = Watch("IsSupported (zeros)", [&] {
        return plugin_.IsSupported(file.name.c_str(), &zeros[0]);
    }, 0);
    if (zero.faulted)
        report_.Fail("probe.zero-sample", file.name,
                     "IsSupported on 2048 zero bytes " + Describe(zero));
    else if (zero.code != 0)
        report_.Fail("probe.zero-sample", file.name,
                     Format("2048 zero bytes are accepted (answer %d)", zero.code));
    else
        report_.Pass("probe.zero-sample", file.name);

    // A plug-in that faults here is not taken to decline: the other checks
    // still run and report what they meet.
    return memoryAccepts || handleAccepts || memory.faulted || handleForm.faulted;
}

void Checker::CheckTime(const TestFile& file) {
    if (slowestMs_ > options_.timeLimitMs)
        report_.Fail("robust.time", file.name,
                     Format("%s took %lu ms (limit %lu ms)", slowestCall_.c_str(),
                            static_cast<unsigned long>(slowestMs_),
                            static_cast<unsigned long>(options_.timeLimitMs)));
    else
        report_.Pass("robust.time", file.name);
}

void Checker::CheckFile(const std::string& name) {
    TestFile file;
    file.name = name;
    currentFile_ = name;
    DWORD error = 0;
    if (!ReadWholeFile(name, &file.bytes, &error)) {
        report_.Fail("file.read", name, Format("cannot read the file (error %lu)", error));
        return;
    }
    slowestMs_ = 0;
    slowestCall_.clear();
    if (!Probe(file)) {
        report_.Warn("probe.accepts", name,
                     "the plug-in declines this file; its other checks are skipped");
        return;
    }
    if (image_ && hasPicture_)
        CheckPicture(file);
    else if (!image_ && exportsComplete_)
        CheckArchive(file);
    CheckRobustness(file);
    // Only the rounds keep the module loaded; the next file's other checks
    // load it around each call again.
    if (resident_) resident_->Unload();
    CheckTime(file);
}

bool SaveBytes(const std::string& path, const std::string& bytes) {
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return fclose(out) == 0 && ok;
}
