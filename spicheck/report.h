// The results of one run: one line per check (and file), printed as text
// or as one JSON document, and the counts the summary and the exit status
// come from.
#ifndef SPICHECK_REPORT_H
#define SPICHECK_REPORT_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "check_table.h"

enum class Verdict { Pass, Warn, Fail };

struct CheckResult {
    Verdict verdict;
    const char* check;   // the name of its row in the table, e.g. "picture.header"
    std::string file;    // UTF-8; empty for checks of the plug-in itself
    std::string reason;  // empty for a pass
};

class Report {
public:
    // file is empty for a check of the plug-in itself.
    void Add(Verdict verdict, CheckId check, const std::string& file,
             const std::string& reason = std::string());

    // Text lines are printed as they arrive, so a run that hangs still
    // shows how far it got.
    void StreamTo(FILE* out) { stream_ = out; }
    // Also hands each result to `sink` as it is added (a worker process
    // passes them on to spicheck).
    void ForwardTo(std::function<void(Verdict, CheckId, const std::string& file,
                                      const std::string& reason)> sink) {
        sink_ = std::move(sink);
    }

    // A check left out for a reason worth telling (the JUnit file's
    // skipped case says it); not printed, not counted.
    void Skip(CheckId check, const std::string& file, const std::string& reason);
    void ForwardSkipsTo(std::function<void(CheckId, const std::string& file,
                                           const std::string& reason)> sink) {
        skipSink_ = std::move(sink);
    }
    const std::vector<CheckResult>& Skips() const { return skips_; }

    int Count(Verdict verdict) const;
    const std::vector<CheckResult>& Results() const { return results_; }

    // "N passed, M warnings, K failed"
    std::string Summary() const;
    // extra: further members after "version", each written as
    // ",\n  \"name\": value" (empty: none).
    void PrintJson(FILE* out, const std::string& plugin, const std::string& kind,
                   const std::string& version, const std::string& extra = std::string()) const;

private:
    std::vector<CheckResult> results_;
    std::vector<CheckResult> skips_;
    std::function<void(CheckId, const std::string&, const std::string&)> skipSink_;
    FILE* stream_ = nullptr;
    std::function<void(Verdict, CheckId, const std::string&, const std::string&)> sink_;
};

// Text as a JSON string: bytes pass unchanged (plug-in texts are in the
// plug-in's code page); only what JSON forbids raw is escaped.
std::string JsonString(const std::string& text);
// One result as the text report prints it (without the line's end).
std::string ResultLine(const CheckResult& result);
// One result as the JSON document lists it (without the comma before it).
std::string JsonResult(Verdict verdict, const char* check, const std::string& file,
                       const std::string& reason);
// The JSON document's start, up to the first result.
std::string JsonHead(const std::string& plugin, const std::string& kind,
                     const std::string& version, const std::string& extra);
const char* VerdictText(Verdict verdict);

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
