// The results of one run: one line per check (and file), printed as text
// or as one JSON document, and the counts the summary and the exit status
// come from.
#ifndef SPICHECK_REPORT_H
#define SPICHECK_REPORT_H

#include <cstdio>
#include <string>
#include <vector>

enum class Verdict { Pass, Warn, Fail };

struct CheckResult {
    Verdict verdict;
    std::string check;   // e.g. "picture.header"
    std::string file;    // empty for checks of the plug-in itself
    std::string reason;  // empty for a pass
};

class Report {
public:
    void Add(Verdict verdict, const std::string& check, const std::string& file,
             const std::string& reason = std::string());
    void Pass(const std::string& check, const std::string& file) {
        Add(Verdict::Pass, check, file);
    }
    void Warn(const std::string& check, const std::string& file, const std::string& reason) {
        Add(Verdict::Warn, check, file, reason);
    }
    void Fail(const std::string& check, const std::string& file, const std::string& reason) {
        Add(Verdict::Fail, check, file, reason);
    }

    // Text lines are printed as they arrive, so a run that hangs still
    // shows how far it got.
    void StreamTo(FILE* out) { stream_ = out; }

    int Count(Verdict verdict) const;
    const std::vector<CheckResult>& Results() const { return results_; }

    // "N passed, M warnings, K failed"
    std::string Summary() const;
    void PrintJson(FILE* out, const std::string& plugin, const std::string& kind,
                   const std::string& version) const;

private:
    std::vector<CheckResult> results_;
    FILE* stream_ = nullptr;
};

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
