#include "report.h"

#include <cstdarg>

#include "names.h"

namespace {

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Pass: return "PASS";
        case Verdict::Warn: return "WARN";
        case Verdict::Fail: return "FAIL";
    }
    return "?";
}

// Bytes pass unchanged (plug-in texts are in the plug-in's code page);
// only what JSON forbids raw is escaped.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string Format(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

void Report::Add(Verdict verdict, CheckId check, const std::string& file,
                 const std::string& reason) {
    const char* name = Check(check).name;
    results_.push_back(CheckResult{verdict, name, file, reason});
    if (sink_) sink_(verdict, check, file, reason);
    if (!stream_) return;
    std::string line = std::string(VerdictText(verdict)) + "  " + name;
    if (!file.empty()) line += "  " + ShownName(file);
    // A pass has a reason only where it says what was done (robust.fuzz's
    // campaign).
    if (!reason.empty()) line += ": " + reason;
    fprintf(stream_, "%s\n", line.c_str());
    fflush(stream_);
}

int Report::Count(Verdict verdict) const {
    int n = 0;
    for (const CheckResult& r : results_)
        if (r.verdict == verdict) ++n;
    return n;
}

std::string Report::Summary() const {
    return Format("%d passed, %d warnings, %d failed", Count(Verdict::Pass),
                  Count(Verdict::Warn), Count(Verdict::Fail));
}

void Report::PrintJson(FILE* out, const std::string& plugin, const std::string& kind,
                       const std::string& version, const std::string& extra) const {
    fprintf(out, "{\n  \"plugin\": %s,\n  \"kind\": %s,\n  \"version\": %s%s,\n  \"results\": [",
            JsonName(plugin).c_str(), JsonString(kind).c_str(), JsonString(version).c_str(),
            extra.c_str());
    for (size_t i = 0; i < results_.size(); ++i) {
        const CheckResult& r = results_[i];
        fprintf(out, "%s\n    {\"check\": %s, \"file\": %s, \"status\": \"%s\", \"reason\": %s}",
                i ? "," : "", JsonString(r.check).c_str(), JsonName(r.file).c_str(),
                VerdictText(r.verdict), JsonString(r.reason).c_str());
    }
    fprintf(out, "\n  ],\n  \"passed\": %d,\n  \"warnings\": %d,\n  \"failed\": %d\n}\n",
            Count(Verdict::Pass), Count(Verdict::Warn), Count(Verdict::Fail));
}
