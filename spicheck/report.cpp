#include "report.h"

#include <cstdarg>

#include "names.h"

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Pass: return "PASS";
        case Verdict::Warn: return "WARN";
        case Verdict::Fail: return "FAIL";
    }
    return "?";
}

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
    fprintf(stream_, "%s\n", ResultLine(results_.back()).c_str());
    fflush(stream_);
}

std::string ResultLine(const CheckResult& result) {
    std::string line = std::string(VerdictText(result.verdict)) + "  " + result.check;
    if (!result.file.empty()) line += "  " + ShownName(result.file);
    // A pass has a reason only where it says what was done (robust.fuzz's
    // campaign).
    if (!result.reason.empty()) line += ": " + result.reason;
    return line;
}

void Report::Skip(CheckId check, const std::string& file, const std::string& reason) {
    skips_.push_back(CheckResult{Verdict::Pass, Check(check).name, file, reason});
    if (skipSink_) skipSink_(check, file, reason);
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

std::string JsonHead(const std::string& plugin, const std::string& kind,
                     const std::string& version, const std::string& extra) {
    return "{\n  \"plugin\": " + JsonName(plugin) + ",\n  \"kind\": " + JsonString(kind) +
           ",\n  \"version\": " + JsonString(version) + extra + ",\n  \"results\": [";
}

std::string JsonResult(Verdict verdict, const char* check, const std::string& file,
                       const std::string& reason) {
    return "\n    {\"check\": " + JsonString(check) + ", \"file\": " + JsonName(file) +
           ", \"status\": \"" + VerdictText(verdict) + "\", \"reason\": " +
           JsonString(reason) + "}";
}

void Report::PrintJson(FILE* out, const std::string& plugin, const std::string& kind,
                       const std::string& version, const std::string& extra) const {
    fputs(JsonHead(plugin, kind, version, extra).c_str(), out);
    for (size_t i = 0; i < results_.size(); ++i) {
        const CheckResult& r = results_[i];
        if (i) fputc(',', out);
        fputs(JsonResult(r.verdict, r.check, r.file, r.reason).c_str(), out);
    }
    fprintf(out, "\n  ],\n  \"passed\": %d,\n  \"warnings\": %d,\n  \"failed\": %d\n}\n",
            Count(Verdict::Pass), Count(Verdict::Warn), Count(Verdict::Fail));
}
