#include "html_matrix.h"

#include <cstring>
#include <ctime>
#include <map>

#include "base/text.h"
#include "junit_writer.h"

const char kMatrixStyle[] =
    "table.matrix td,table.matrix th{padding:1px 6px;font-size:.9em}"
    "table.matrix td.pass{background:#c8ebc8}table.matrix td.warn{background:#fbe7a1}"
    "table.matrix td.fail{background:#f4b6b6}table.matrix td.skipped{color:#888}"
    "table.matrix td.name{font-family:monospace;word-break:break-all}"
    "details.file>summary{cursor:pointer;font-family:monospace;word-break:break-all}"
    "details.file>summary.fail{color:#a00}details.file>summary.warn{color:#850}";

namespace {

// The columns, in this order when present.
const char* const kFamilies[] = {"ident", "probe", "picture", "archive", "wide",
                                 "callback", "resource", "robust"};

// The outcomes from the best to the worst.
const CaseOutcome kRanked[] = {CaseOutcome::Skipped, CaseOutcome::Pass, CaseOutcome::Warn,
                               CaseOutcome::Fail};

int Rank(CaseOutcome outcome) {
    for (int rank = 0; rank < 4; ++rank)
        if (kRanked[rank] == outcome) return rank;
    return 0;
}

// The worst outcome per column of a suite; -1 where it has no check.
std::vector<int> Worst(const CheckSuite& suite, const std::vector<std::string>& columns) {
    std::vector<int> worst(columns.size(), -1);
    for (const CheckCase& c : suite.cases) {
        std::string family = CheckFamily(c.check);
        for (size_t i = 0; i < columns.size(); ++i)
            if (columns[i] == family && Rank(c.outcome) > worst[i]) worst[i] = Rank(c.outcome);
    }
    return worst;
}

std::vector<std::string> Columns(const std::vector<CheckSuite>& suites) {
    std::vector<std::string> columns;
    for (const char* family : kFamilies) {
        bool present = false;
        for (size_t s = 0; s < suites.size() && s < 2 && !present; ++s)
            for (const CheckCase& c : suites[s].cases)
                if (CheckFamily(c.check) == family) present = true;
        if (present) columns.push_back(family);
    }
    return columns;
}

// Text as a JSON string in UTF-8; '<' escaped, so the data never ends its
// script element.
std::string JsonText(const std::string& text) {
    std::string json = JsonString(Utf8FromAnsi(text)), out;
    for (char c : json) out += c == '<' ? std::string("\\u003c") : std::string(1, c);
    return out;
}


std::string DateText(SpiTimestamp timestamp) {
    time_t seconds = static_cast<time_t>(timestamp);
    const struct tm* utc = gmtime(&seconds);
    char text[40];
    if (utc && strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", utc)) return text;
    return Format("(timestamp %lld)", static_cast<long long>(timestamp));
}

std::string Number(unsigned long long value) { return Format("%llu", value); }

const char kOutcomeLetters[] = "PWFS";

// Draws a section when its details element opens (or the address names
// it), from the data: check rows, description, pictures, members.
const char kScript[] = R"JS(
(function () {
  var data = JSON.parse(document.getElementById("spicheck-data").textContent);
  var verdicts = {P: ["pass", "PASS"], W: ["warn", "WARN"], F: ["fail", "FAIL"], S: ["skipped", "left out"]};
  function esc(t) {
    return String(t).replace(/[&<>"']/g, function (c) {
      return {"&": "&amp;", "<": "&lt;", ">": "&gt;", "\"": "&quot;", "'": "&#39;"}[c];
    });
  }
  function draw(details) {
    var section = details.querySelector("section");
    if (section.hasAttribute("data-shown")) return;
    var f = data.files[+details.getAttribute("data-index")];
    var h = ["<table class=\"checks\"><thead><tr><th>check</th><th>verdict</th><th>reason</th></tr></thead><tbody>"];
    for (var i = 0; i < data.checks.length; ++i) {
      var v = verdicts[f.o.charAt(i)];
      h.push("<tr class=\"" + v[0] + "\"><td class=\"check\" title=\"" + esc(data.questions[i]) + "\">" +
             data.checks[i] + "</td><td class=\"verdict\">" + v[1] + "</td><td>" + esc(f.r[i] || "") + "</td></tr>");
    }
    h.push("</tbody></table>");
    if (f.d) h.push("<p>" + esc(f.d) + "</p>");
    if (f.g.length) {
      h.push("<div class=\"pictures\">");
      f.g.forEach(function (g) {
        if (g[2] < 0) {
          h.push("<figure class=\"missing\" data-source=\"" + g[0] + "\"><figcaption>" + esc(g[1]) + "</figcaption></figure>");
          return;
        }
        var longer = Math.max(g[3], g[4]), scale = longer > 0 ? Math.floor(192 / longer) : 1;
        scale = Math.min(8, Math.max(1, scale));
        h.push("<figure data-source=\"" + g[0] + "\"><img src=\"data:image/bmp;base64," + data.images[g[2]] +
               "\" alt=\"" + esc(g[1]) + "\" data-width=\"" + g[3] + "\" data-height=\"" + g[4] +
               "\" style=\"width:" + g[3] * scale + "px\"><figcaption>" + esc(g[1]) + "</figcaption></figure>");
      });
      h.push("</div>");
    }
    if (f.m) {
      h.push("<table class=\"members\"><thead><tr><th>name</th><th>size</th><th>stored</th><th>date (UTC)</th>" +
             "<th>method</th><th>position</th></tr></thead><tbody>");
      f.m.forEach(function (m) {
        h.push("<tr><td class=\"mono\">" + esc(m[0]) + "</td><td class=\"num\">" + m[1] + "</td><td class=\"num\">" +
               m[2] + "</td><td>" + esc(m[3]) + "</td><td class=\"mono\">" + esc(m[4]) + "</td><td class=\"num\">" +
               m[5] + "</td></tr>");
      });
      h.push("</tbody></table>");
      if (f.x) h.push("<p class=\"note\">" + f.x + " more members are not shown (the first " + data.most + " are).</p>");
    }
    section.insertAdjacentHTML("beforeend", h.join("\n"));
    section.setAttribute("data-shown", "");
  }
  document.querySelectorAll("details.file").forEach(function (d) {
    d.addEventListener("toggle", function () { if (d.open) draw(d); });
  });
  function follow() {
    var target = location.hash && document.getElementById(location.hash.slice(1));
    if (target && target.tagName === "DETAILS") { target.open = true; draw(target); }
  }
  window.addEventListener("hashchange", follow);
  follow();
})();
)JS";

}  // namespace

std::string CheckFamily(const char* check) {
    const char* dot = strchr(check, '.');
    std::string family = dot ? std::string(check, dot - check) : std::string(check);
    // Whether the file could be read at all is the first thing a probe asks.
    return family == "file" ? "probe" : family;
}

void PrintMatrix(FILE* out, const std::vector<CheckSuite>& suites) {
    std::vector<std::string> columns = Columns(suites);
    fprintf(out, "<table class=\"matrix\"><thead><tr><th>file</th>");
    for (const std::string& column : columns) fprintf(out, "<th>%s</th>", column.c_str());
    fprintf(out, "</tr></thead><tbody>\n");
    for (size_t s = 0; s < suites.size(); ++s) {
        std::vector<int> worst = Worst(suites[s], columns);
        if (s == 0)
            fprintf(out, "<tr class=\"plugin\"><td class=\"name\"><a href=\"#plugin\">the plug-in"
                         "</a></td>");
        else
            fprintf(out, "<tr class=\"file\"><td class=\"name\"><a href=\"#f%u\">%s</a></td>",
                    static_cast<unsigned>(s), XmlText(suites[s].name).c_str());
        for (int w : worst)
            if (w < 0)
                fprintf(out, "<td></td>");
            else
                fprintf(out, "<td class=\"%s\">%s</td>", VerdictClass(kRanked[w]),
                        VerdictText(kRanked[w]));
        fprintf(out, "</tr>\n");
    }
    fprintf(out, "</tbody></table>\n");
}

void PrintFileSections(FILE* out, const std::vector<CheckSuite>& suites,
                       const std::vector<const PageFile*>& kept) {
    // Each distinct picture once.
    std::map<std::string, size_t> pictures;
    std::string images, files;
    for (size_t s = 1; s < suites.size(); ++s) {
        const CheckSuite& suite = suites[s];
        std::string name = XmlText(suite.name);
        const char* worst = suite.failures ? "fail" : suite.warnings ? "warn" : "pass";
        fprintf(out,
                "<details class=\"file\" id=\"f%u\" data-index=\"%u\"><summary class=\"%s\">%s: "
                "%d failed, %d warnings</summary>\n<section class=\"file\" data-file=\"%s\">"
                "<h2>%s</h2></section></details>\n",
                static_cast<unsigned>(s), static_cast<unsigned>(s - 1), worst, name.c_str(),
                suite.failures, suite.warnings, name.c_str(), name.c_str());
        std::string o, r;
        for (size_t i = 0; i < suite.cases.size(); ++i) {
            const CheckCase& c = suite.cases[i];
            o += kOutcomeLetters[static_cast<int>(c.outcome)];
            if (!c.reason.empty()) r += (r.empty() ? "" : ",") + Format("\"%u\":", static_cast<unsigned>(i)) + JsonText(c.reason);
        }
        std::string f = "{\"o\":\"" + o + "\",\"r\":{" + r + "},\"g\":[";
        const PageFile* page = s - 1 < kept.size() ? kept[s - 1] : nullptr;
        if (page) {
            for (size_t i = 0; i < page->figures.size(); ++i) {
                const PageFigure& g = page->figures[i];
                long index = -1;
                if (!g.bmp.empty()) {
                    auto found = pictures.emplace(g.bmp, pictures.size());
                    if (found.second) images += (images.empty() ? "\"" : ",\"") + Base64(g.bmp) + "\"";
                    index = static_cast<long>(found.first->second);
                }
                f += Format("%s[\"%s\",", i ? "," : "", g.source.c_str()) + JsonText(g.caption) +
                     Format(",%ld,%ld,%ld]", index, g.width, g.height);
            }
        }
        f += "]";
        if (page && !page->description.empty()) f += ",\"d\":" + JsonText(page->description);
        if (page && page->listed) {
            f += ",\"m\":[";
            for (size_t i = 0; i < page->members.size(); ++i) {
                const fileInfo& m = page->members[i];
                std::string method(reinterpret_cast<const char*>(m.method),
                                   strnlen(reinterpret_cast<const char*>(m.method), sizeof m.method));
                f += (i ? ",[" : "[") + JsonText(Field(m.path, sizeof m.path) + Field(m.filename, sizeof m.filename)) +
                     ",\"" + Number(m.filesize) + "\",\"" + Number(m.compsize) + "\"," +
                     JsonText(DateText(m.timestamp)) + "," + JsonText(method) + ",\"" +
                     Number(m.position) + "\"]";
            }
            f += Format("],\"x\":%u", static_cast<unsigned>(page->membersLeftOut));
        }
        files += (s > 1 ? ",\n" : "") + f + "}";
    }
    std::string checks, questions;
    if (suites.size() > 1)
        for (const CheckCase& c : suites[1].cases) {
            checks += (checks.empty() ? "\"" : ",\"") + std::string(c.check) + "\"";
            const CheckRow* row = CheckNamed(c.check);
            questions += (questions.empty() ? "" : ",") + JsonText(row ? row->question : "");
        }
    fprintf(out, "<script type=\"application/json\" id=\"spicheck-data\">{\"most\":%u,"
                 "\"checks\":[%s],\n\"questions\":[%s],\n\"images\":[%s],\n\"files\":[%s]}"
                 "</script>\n<script>%s</script>\n",
            static_cast<unsigned>(HtmlPage::kMaxMembers), checks.c_str(), questions.c_str(),
            images.c_str(), files.c_str(), kScript);
}
