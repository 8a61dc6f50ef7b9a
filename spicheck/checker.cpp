// The road of the checks: the table's rows run in order, the plug-in's own
// once, then those of each file; the verdicts, and what the checks share
// (progress logs, temporary and saved files).
#include <cstring>

#include "checker.h"
#include "names.h"

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
    (this->*Check(id).run)(context);
}

void Checker::Pass() { report_.Add(Verdict::Pass, current_, currentFile_); }
void Checker::Warn(const std::string& reason) {
    report_.Add(Verdict::Warn, current_, currentFile_, reason);
}
void Checker::Fail(const std::string& reason) {
    report_.Add(Verdict::Fail, current_, currentFile_, reason);
}

void Checker::Skip(const std::string& reason) { report_.Skip(current_, currentFile_, reason); }

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
