// The road of the checks: the table's rows run in order, the plug-in's own
// once, then those of each file; and the checks of a file that belong to
// no kind: reading it, the probes and the time check.
#include <cstring>

#include "checker.h"
#include "names.h"

namespace {

bool ReadWholeFile(const std::string& name, std::string* bytes, DWORD* error) {
    UniqueFile file(CreateFileW(WideName(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) {
        *error = GetLastError();
        return false;
    }
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
            *error = GetLastError();
            return false;
        }
        if (got == 0) return true;
        bytes->append(chunk, got);
    }
}

}  // namespace

bool Checker::Applies(const CheckRow& row) const {
    if (!(row.kinds & (image_ ? kImageChecks : kArchiveChecks)) || !ForThisBitness(row) ||
        !CheckChosen(options_, row))
        return false;
    if ((row.traits & kNeedsWideExports) && !WideApplies(row.id)) return false;
    return !(row.traits & kNeedsKindExports) || kindExports_;
}

void Checker::Prepare() {
    image_ = plugin_.GetKind() == static_cast<int32_t>(PluginKind::Image);
    kindExports_ = image_ ? plugin_.HasExport("GetPicture") : MissingKindExports().empty();
    hasPictureInfo_ = plugin_.HasExport("GetPictureInfo");
}

void Checker::CheckPlugin() {
    // What the exports allow is known before ident.exports reports it, for
    // a run that leaves that check out (--only, --skip).
    Prepare();
    currentFile_.clear();
    FileContext none("");
    for (size_t i = 0; i < kCheckCount; ++i)
        if ((kChecks[i].traits & kOfThePlugin) && Applies(kChecks[i]) && PastResumePoint(i))
            Run(kChecks[i].id, none);
    resumeAfter_ = -1;
}

void Checker::CheckFile(const std::string& name) {
    FileContext context(name);
    currentFile_ = name;
    slowestMs_ = 0;
    slowestCall_.clear();
    unreturnedCall_.swap(carriedUnreturned_);
    carriedUnreturned_.clear();
    for (size_t i = 0; i < kCheckCount && !context.stopped; ++i)
        // Reading the file runs even before the resume point: the checks
        // after it need the bytes, and it calls nothing of the plug-in's.
        if (!(kChecks[i].traits & kOfThePlugin) && Applies(kChecks[i]) &&
            (PastResumePoint(i) || kChecks[i].id == CheckId::FileRead))
            Run(kChecks[i].id, context);
    resumeAfter_ = -1;
    if (afterFile_) afterFile_(context);
    if (!context.file.copy.empty()) DeleteFileA(context.file.copy.c_str());
}

void Checker::Run(CheckId id, FileContext& context) {
    current_ = id;
    if (onCheck_) onCheck_(id);
    switch (id) {
        case CheckId::IdentVersion: return IdentVersion(context);
        case CheckId::IdentAbout: return IdentAbout(context);
        case CheckId::IdentFilters: return IdentFilters(context);
        case CheckId::IdentInfoBounds: return IdentInfoBounds(context);
        case CheckId::IdentExports: return IdentExports(context);
        case CheckId::WideExports: return WideExports(context);
        case CheckId::WideInfoBounds: return WideInfoBounds(context);
        case CheckId::FileRead: return FileRead(context);
        case CheckId::ProbeSampleBounds: return ProbeSampleBounds(context);
        case CheckId::ProbeFormsAgree: return ProbeFormsAgree(context);
        case CheckId::ProbeZeroSample: return ProbeZeroSample(context);
        case CheckId::ProbeAccepts: return ProbeAccepts(context);
        case CheckId::ProbeLowAddress: return ProbeLowAddress(context);
        case CheckId::PictureLayout: return PictureLayout(context);
        case CheckId::PictureInfoAgree: return PictureInfoAgree(context);
        case CheckId::PictureComment: return PictureComment(context);
        case CheckId::PictureHeader: return PictureHeader(context);
        case CheckId::PictureBlocks: return PictureBlocks(context);
        case CheckId::PictureSources: return PictureSources(context);
        case CheckId::PicturePreview: return PicturePreview(context);
        case CheckId::PictureReference: return PictureReference(context);
        case CheckId::ArchiveStride: return ArchiveStride(context);
        case CheckId::ArchiveListEnd: return ArchiveListEnd(context);
        case CheckId::ArchiveListAgree: return ArchiveListAgree(context);
        case CheckId::ArchiveExtractMemory: return ArchiveExtractMemory(context);
        case CheckId::ArchiveExtractDisk: return ArchiveExtractDisk(context);
        case CheckId::ArchiveLookup: return ArchiveLookup(context);
        case CheckId::WideAgree: return WideAgree(context);
        case CheckId::WideNames: return WideNames(context);
        case CheckId::WidePairing: return WidePairing(context);
        case CheckId::CallbackProgress: return CallbackProgress(context);
        case CheckId::CallbackNull: return CallbackNull(context);
        case CheckId::CallbackCancel: return CallbackCancel(context);
        case CheckId::ResourceLeak: return ResourceLeak(context);
        case CheckId::ResourceHandles: return ResourceHandles(context);
        case CheckId::RobustPrefixes: return RobustPrefixes(context);
        case CheckId::RobustFuzz: return RobustFuzz(context);
        case CheckId::RobustReload: return RobustReload(context);
        case CheckId::RobustTime: return RobustTime(context);
    }
}

void Checker::Pass() { report_.Add(Verdict::Pass, current_, currentFile_); }
void Checker::Warn(const std::string& reason) {
    report_.Add(Verdict::Warn, current_, currentFile_, reason);
}
void Checker::Fail(const std::string& reason) {
    report_.Add(Verdict::Fail, current_, currentFile_, reason);
}

void Checker::Skip(const std::string& reason) { report_.Skip(current_, currentFile_, reason); }

LPCSTR FileContext::MemorySource() {
    if (!memory) {
        memory.reset(new EdgeBuffer(file.bytes.size()));
        memcpy(memory->data(), file.bytes.data(), file.bytes.size());
    }
    return reinterpret_cast<LPCSTR>(memory->data());
}

void Checker::FileRead(FileContext& context) {
    DWORD error = 0;
    InputFile& file = context.file;
    if (!ReadWholeFile(file.name, &file.bytes, &error)) {
        Fail(Format("cannot read the file (error %lu)", error));
        context.stopped = true;
        return;
    }
    file.ansi = AnsiPathFor(file.name);
    if (file.ansi.empty()) {
        // No spelling and no short name in the ANSI code page: the ANSI
        // calls get a copy under a name of our own, with the extension
        // where it has a spelling.
        std::string extension, base = BaseName(file.name);
        size_t dot = base.find_last_of('.');
        if (dot == std::string::npos || !AnsiName(base.substr(dot), &extension)) extension.clear();
        file.copy = TempPath(("copy" + extension).c_str());
        if (CopyFileW(WideName(file.name).c_str(), WideName(file.copy).c_str(), FALSE))
            file.ansi = file.copy;
        else
            file.copy.clear();
    }
    if (!AnsiName(BaseName(file.name), &file.ansiBase)) file.ansiBase = BaseName(file.ansi);
}

SampleAnswer& Checker::Sample(FileContext& context) {
    if (context.sample) return *context.sample;
    context.sample.reset(new SampleAnswer);
    SampleAnswer& answer = *context.sample;
    const InputFile& file = context.file;
    EdgeBuffer sample(SPI_SAMPLE_SIZE);
    memcpy(sample.data(), file.bytes.data(),
           file.bytes.size() < SPI_SAMPLE_SIZE ? file.bytes.size() : SPI_SAMPLE_SIZE);
    answer.outcome = Watch(plugin_, "IsSupported (memory)", [&] {
        return plugin_.IsSupported(file.ansi.c_str(), sample.data());
    });
    answer.address = reinterpret_cast<uintptr_t>(sample.data());
    answer.inGuardPage = answer.outcome.faulted && sample.InGuardPage(answer.outcome.address);
    answer.faultOffset = answer.outcome.address - reinterpret_cast<uintptr_t>(sample.data());
    return answer;
}

HandleAnswer& Checker::HandleForm(FileContext& context) {
    if (context.handleForm) return *context.handleForm;
    context.handleForm.reset(new HandleAnswer);
    HandleAnswer& answer = *context.handleForm;
    const char* name = context.file.ansi.c_str();
    UniqueFile file(CreateFileW(WideName(context.file.name).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) return answer;
    answer.opened = true;
    answer.handle = reinterpret_cast<uintptr_t>(file.get());
    answer.outcome = Watch(plugin_, "IsSupported (file handle)", [&] {
        return plugin_.IsSupported(name, file.get());
    });
    return answer;
}

void Checker::ProbeSampleBounds(FileContext& context) {
    const SampleAnswer& sample = Sample(context);
    if (sample.inGuardPage)
        Fail(Format("IsSupported reads byte %u of the 2048-byte sample",
                    static_cast<unsigned>(sample.faultOffset)));
    else if (sample.outcome.faulted)
        Fail("IsSupported on the sample " + Describe(sample.outcome));
    else
        Pass();
}

void Checker::ProbeFormsAgree(FileContext& context) {
    const Outcome& memory = Sample(context).outcome;
    const HandleAnswer& handle = HandleForm(context);
    bool memoryAccepts = !memory.faulted && memory.code != 0;
    bool handleAccepts = !handle.outcome.faulted && handle.outcome.code != 0;
    if (!handle.opened)
        Fail("the file cannot be opened again");
    else if (handle.outcome.faulted)
        Fail("IsSupported with a file handle " + Describe(handle.outcome));
    else if (!memory.faulted && memoryAccepts != handleAccepts)
        Fail(Format("the file-handle form (handle 0x%lx) answers %d, the memory form %d",
                    static_cast<unsigned long>(handle.handle), handle.outcome.code, memory.code));
    else
        Pass();
}

void Checker::ProbeZeroSample(FileContext& context) {
    // Asked first under a name whose extension the plug-in does not list:
    // the API lets a plug-in fall back to the name when no signature
    // matches, and that is no broken sniffing. Inside a larger buffer:
    // reading past the sample is the concern of sample-bounds alone.
    std::string zeros(2 * SPI_SAMPLE_SIZE, '\0');
    const std::string& real = context.file.ansi;
    std::string neutral = real.substr(0, real.size() - BaseName(real).size()) + "zeros.spicheck";
    auto ask = [&](const std::string& name) {
        return Watch(plugin_, "IsSupported (zeros)", [&] {
            return plugin_.IsSupported(name.c_str(), &zeros[0]);
        });
    };
    Outcome zero = ask(neutral);
    if (zero.faulted) return Fail("IsSupported on 2048 zero bytes " + Describe(zero));
    if (zero.code != 0)
        return Fail(Format("2048 zero bytes are accepted (answer %d) under the name %s, whose "
                           "extension the plug-in does not list",
                           zero.code, BaseName(neutral).c_str()));
    Outcome named = ask(real);
    if (named.faulted)
        return Fail("IsSupported on 2048 zero bytes under the file's name " + Describe(named));
    if (named.code != 0)
        return Warn(Format("2048 zero bytes are declined under the name %s but accepted (answer "
                           "%d) under the file's own name: the name decided it, not the data",
                           BaseName(neutral).c_str(), named.code));
    Pass();
}

void Checker::ProbeAccepts(FileContext& context) {
    const Outcome& memory = Sample(context).outcome;
    // An x64 plug-in is asked with the sample only.
    const Outcome handle = kX64 ? Outcome() : HandleForm(context).outcome;
    // A plug-in that faults while probing is not taken to decline: the other
    // checks still run and report what they meet.
    if (memory.faulted || handle.faulted || memory.code != 0 || handle.code != 0) return;
    Warn("the plug-in declines this file; its other checks are skipped");
    context.stopped = true;
}

void Checker::ProbeLowAddress(FileContext& context) {
    const SampleAnswer& usual = Sample(context);
    // Asked again only about a file the usual sample has it accept.
    if (usual.outcome.faulted || usual.outcome.code == 0) return;
    std::unique_ptr<EdgeBuffer> high = EdgeBufferAboveFourGiB(SPI_SAMPLE_SIZE);
    if (!high) return Warn("no place above 4 GiB with low 32 bits below 0x10000 could be reserved");
    const std::string& bytes = context.file.bytes;
    memcpy(high->data(), bytes.data(),
           bytes.size() < SPI_SAMPLE_SIZE ? bytes.size() : SPI_SAMPLE_SIZE);
    Outcome o = Watch(plugin_, "IsSupported (sample above 4 GiB)", [&] {
        return plugin_.IsSupported(context.file.ansi.c_str(), high->data());
    });
    unsigned long long at = reinterpret_cast<uintptr_t>(high->data());
    if (o.faulted)
        Fail(Format("IsSupported on the sample at 0x%llx ", at) + Describe(o));
    else if (o.code == 0)
        Fail(Format("the sample at 0x%llx is declined (answer 0), at 0x%llx accepted (answer "
                    "%d): its low 32 bits, 0x%llx, are taken for a file handle",
                    at, static_cast<unsigned long long>(usual.address), usual.outcome.code,
                    at & 0xFFFFFFFFull));
    else
        Pass();
}

void Checker::RobustTime(FileContext&) {
    if (!unreturnedCall_.empty())
        Fail(Format("%s did not return within %lu ms (limit %lu ms)", unreturnedCall_.c_str(),
                    static_cast<unsigned long>(options_.timeLimitMs * 10),
                    static_cast<unsigned long>(options_.timeLimitMs)));
    else if (slowestMs_ > options_.timeLimitMs)
        Fail(Format("%s took %lu ms (limit %lu ms)", slowestCall_.c_str(),
                    static_cast<unsigned long>(slowestMs_),
                    static_cast<unsigned long>(options_.timeLimitMs)));
    else
        Pass();
}

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

std::string Checker::TempPath(const char* what) {
    char folder[MAX_PATH];
    DWORD n = GetTempPathA(sizeof folder, folder);
    if (n == 0 || n >= sizeof folder) strcpy(folder, ".\\");
    return Format("%sspicheck-%lu-%u-%s", folder, GetCurrentProcessId(), ++tempCounter_, what);
}

std::string Checker::SavePath(const std::string& name, std::string* savedAs) {
    CreateDirectoryA(options_.saveDir.c_str(), nullptr);
    *savedAs = saveNames_.Reserve(name);
    return options_.saveDir + "\\" + *savedAs;
}

bool Checker::SaveFile(const std::string& name, const void* data, size_t size,
                       std::string* savedAs) {
    *savedAs = name;
    if (options_.saveDir.empty()) return true;
    std::string path = SavePath(name, savedAs);
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    bool ok = fwrite(data, 1, size, out) == size;
    return fclose(out) == 0 && ok;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

