#include "junit_writer.h"

#include <windows.h>

#include <cstdio>

#include "base/text.h"

namespace {

std::string ToUtf8(const std::string& text) { return Utf8FromAnsi(text); }

void PrintSuite(FILE* out, const CheckSuite& suite) {
    fprintf(out, "  <testsuite name=\"%s\" tests=\"%u\" failures=\"%d\" errors=\"0\" skipped=\"%d\">\n",
            XmlText(suite.name).c_str(), static_cast<unsigned>(suite.cases.size()),
            suite.failures, suite.skipped);
    for (const CheckCase& c : suite.cases) {
        fprintf(out, "    <testcase classname=\"%s\" name=\"%s\"", XmlText(suite.name).c_str(),
                c.check);
        std::string reason = XmlText(c.reason);
        switch (c.outcome) {
            case CaseOutcome::Pass:
                // A pass says what was done only for a fuzzing campaign.
                if (reason.empty())
                    fprintf(out, "/>\n");
                else
                    fprintf(out, ">\n      <system-out>%s</system-out>\n    </testcase>\n",
                            reason.c_str());
                break;
            case CaseOutcome::Warn:
                fprintf(out, ">\n      <system-out>WARN: %s</system-out>\n    </testcase>\n",
                        reason.c_str());
                break;
            case CaseOutcome::Fail:
                fprintf(out, ">\n      <failure message=\"%s\">%s</failure>\n    </testcase>\n",
                        reason.c_str(), reason.c_str());
                break;
            case CaseOutcome::Skipped:
                fprintf(out, ">\n      <skipped message=\"%s\"/>\n    </testcase>\n",
                        reason.empty() ? "left out" : reason.c_str());
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
    std::vector<CheckSuite> suites = MakeSuites(plugin, imageKind, report, spans);
    unsigned tests = 0;
    int failures = 0, skipped = 0;
    for (const CheckSuite& s : suites) {
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
    for (const CheckSuite& s : suites) PrintSuite(out, s);
    fprintf(out, "</testsuites>\n");
    bool ok = !ferror(out);
    return fclose(out) == 0 && ok;
}
