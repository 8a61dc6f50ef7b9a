#include "junit_writer.h"

#include <windows.h>

#include <cstdio>

namespace {

std::string ToUtf8(const std::string& text) {
    if (text.empty()) return text;
    int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
    if (wide <= 0) return text;
    std::wstring w(wide, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &w[0], wide);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], bytes, nullptr, nullptr);
    return out;
}

enum class Outcome { Pass, Warn, Fail, Skipped };

struct Case {
    const char* check;
    Outcome outcome;
    std::string reason;
};

struct Suite {
    std::string name;
    std::vector<Case> cases;
    int failures = 0, skipped = 0;
};

// The cases of one suite: every check of the kind that belongs to it (the
// plug-in's own, or a file's), with its result where it has one.
Suite MakeSuite(const std::string& name, bool ofThePlugin, unsigned kind, const Report& report,
                size_t first, size_t end) {
    Suite suite;
    suite.name = name;
    const std::vector<CheckResult>& results = report.Results();
    // Once a check has ended the file's checks, the rest are left out.
    bool stopped = false;
    for (size_t i = 0; i < kCheckCount; ++i) {
        const CheckRow& row = kChecks[i];
        if (!(row.kinds & kind) || ((row.traits & kOfThePlugin) != 0) != ofThePlugin) continue;
        const CheckResult* found = nullptr;
        for (size_t r = first; r < end && !found; ++r)
            if (results[r].check == row.name) found = &results[r];
        Case c{row.name, Outcome::Skipped, std::string()};
        if (found) {
            c.outcome = found->verdict == Verdict::Pass   ? Outcome::Pass
                        : found->verdict == Verdict::Warn ? Outcome::Warn
                                                          : Outcome::Fail;
            c.reason = found->reason;
        } else if ((row.traits & kNeverPasses) && !stopped) {
            // Silent: the file was read, or accepted.
            c.outcome = Outcome::Pass;
        }
        if (found && (row.traits & kNeverPasses)) stopped = true;
        if (c.outcome == Outcome::Fail) ++suite.failures;
        if (c.outcome == Outcome::Skipped) ++suite.skipped;
        suite.cases.push_back(c);
    }
    return suite;
}

void PrintSuite(FILE* out, const Suite& suite) {
    fprintf(out, "  <testsuite name=\"%s\" tests=\"%u\" failures=\"%d\" errors=\"0\" skipped=\"%d\">\n",
            XmlText(suite.name).c_str(), static_cast<unsigned>(suite.cases.size()),
            suite.failures, suite.skipped);
    for (const Case& c : suite.cases) {
        fprintf(out, "    <testcase classname=\"%s\" name=\"%s\"", XmlText(suite.name).c_str(),
                c.check);
        std::string reason = XmlText(c.reason);
        switch (c.outcome) {
            case Outcome::Pass: fprintf(out, "/>\n"); break;
            case Outcome::Warn:
                fprintf(out, ">\n      <system-out>WARN: %s</system-out>\n    </testcase>\n",
                        reason.c_str());
                break;
            case Outcome::Fail:
                fprintf(out, ">\n      <failure message=\"%s\">%s</failure>\n    </testcase>\n",
                        reason.c_str(), reason.c_str());
                break;
            case Outcome::Skipped:
                fprintf(out, ">\n      <skipped message=\"left out\"/>\n    </testcase>\n");
                break;
        }
    }
    fprintf(out, "  </testsuite>\n");
}

}  // namespace

std::string XmlText(const std::string& text) {
    std::string out;
    for (unsigned char c : ToUtf8(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                // XML 1.0 holds no other control characters, not even as
                // references.
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    out += '?';
                else
                    out += static_cast<char>(c);
        }
    }
    return out;
}

bool WriteJunit(const std::string& path, const std::string& plugin, bool imageKind,
                const Report& report, const std::vector<FileSpan>& spans) {
    unsigned kind = imageKind ? kImageChecks : kArchiveChecks;
    std::vector<Suite> suites;
    size_t ownEnd = spans.empty() ? report.Results().size() : spans.front().first;
    suites.push_back(MakeSuite(plugin, true, kind, report, 0, ownEnd));
    for (const FileSpan& span : spans)
        suites.push_back(MakeSuite(span.file, false, kind, report, span.first, span.end));
    unsigned tests = 0;
    int failures = 0, skipped = 0;
    for (const Suite& s : suites) {
        tests += static_cast<unsigned>(s.cases.size());
        failures += s.failures;
        skipped += s.skipped;
    }
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    fprintf(out, "<testsuites name=\"spicheck %s\" tests=\"%u\" failures=\"%d\" errors=\"0\" "
                 "skipped=\"%d\">\n",
            XmlText(plugin).c_str(), tests, failures, skipped);
    for (const Suite& s : suites) PrintSuite(out, s);
    fprintf(out, "</testsuites>\n");
    bool ok = !ferror(out);
    return fclose(out) == 0 && ok;
}
