#include "html_writer.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "bitmap.h"
#include "exports.h"
#include "html_matrix.h"
#include "journal.h"
#include "junit_writer.h"
#include "spi_dll_file.h"

namespace {

// The exports the page lists: the API's ANSI ones, in the list's order.
std::vector<const char*> PageExportNames() {
    std::vector<const char*> names;
    for (const SpiExportInfo& info : kSpiExports)
        if (info.text == ExportText::Ansi) names.push_back(info.name);
    return names;
}

const char kStyle[] =
    "body{font:14px/1.4 sans-serif;margin:1em 2em;color:#222;background:#fff}"
    "h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em;word-break:break-all}"
    "table{border-collapse:collapse;margin:.4em 0}"
    "th,td{border:1px solid #bbb;padding:2px 8px;text-align:left;vertical-align:top}"
    "th{background:#eee}td.num{text-align:right;font-variant-numeric:tabular-nums}"
    "tr.pass td.verdict{background:#c8ebc8}tr.warn td.verdict{background:#fbe7a1}"
    "tr.fail td.verdict{background:#f4b6b6}tr.skipped td{color:#888}"
    "tr.fail td{background:#fdeaea}tr.warn td{background:#fff8e0}"
    "td.check,td.mono{font-family:monospace}"
    ".pictures{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}"
    "figure{margin:0;padding:6px;border:1px solid #bbb;max-width:660px}"
    "figure img{display:block;height:auto;max-width:640px;image-rendering:pixelated;"
    "background:repeating-conic-gradient(#ddd 0 25%,#fff 0 50%) 0 0/16px 16px}"
    "figcaption{font-size:.9em;margin-top:4px}figure.missing{background:#f6f6f6;color:#555}"
    ".summary{font-weight:bold}.note{color:#555;font-size:.9em}";

const char* Question(const char* check) {
    const CheckRow* row = CheckNamed(check);
    return row ? row->question : "";
}

// "37x23, 24 bits, bottom-up"
std::string ShapeText(const BmpFacts& facts) {
    return Format("%ldx%ld, %d bits, %s", facts.width, facts.height, facts.bitCount,
                  facts.topDown ? "top-down" : "bottom-up");
}

void PrintChecks(FILE* out, const CheckSuite& suite) {
    fprintf(out, "<table class=\"checks\"><thead><tr><th>check</th><th>verdict</th>"
                 "<th>reason</th></tr></thead><tbody>\n");
    for (const CheckCase& c : suite.cases)
        fprintf(out,
                "<tr class=\"%s\"><td class=\"check\" title=\"%s\">%s</td>"
                "<td class=\"verdict\">%s</td><td>%s</td></tr>\n",
                VerdictClass(c.outcome), XmlText(Question(c.check)).c_str(), c.check,
                VerdictText(c.outcome), XmlText(c.reason).c_str());
    fprintf(out, "</tbody></table>\n");
}

}  // namespace

const char* VerdictClass(CaseOutcome outcome) {
    switch (outcome) {
        case CaseOutcome::Pass: return "pass";
        case CaseOutcome::Warn: return "warn";
        case CaseOutcome::Fail: return "fail";
        case CaseOutcome::Skipped: return "skipped";
    }
    return "skipped";
}

const char* VerdictText(CaseOutcome outcome) {
    switch (outcome) {
        case CaseOutcome::Pass: return "PASS";
        case CaseOutcome::Warn: return "WARN";
        case CaseOutcome::Fail: return "FAIL";
        case CaseOutcome::Skipped: return "left out";
    }
    return "";
}

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

std::string Base64(const std::string& bytes) {
    static const char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(bytes[i]) << 16 |
                     static_cast<unsigned char>(bytes[i + 1]) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (size_t rest = bytes.size() - i) {
        uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += rest == 2 ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string BmpFileOf(HLOCAL info, HLOCAL bits, size_t limit, BmpFacts* facts) {
    LocalLockScope header(info), pixels(bits);
    BitmapShape shape;
    facts->why = ReadBitmapShape(header.data(), header.size(), &shape);
    if (!facts->why.empty()) return std::string();
    facts->width = shape.width;
    facts->height = shape.height;
    facts->bitCount = shape.bitCount;
    facts->topDown = shape.topDown;
    BITMAPINFOHEADER h;
    memcpy(&h, header.data(), sizeof h);
    // Compressed pixels take biSizeImage bytes, uncompressed ones whole rows.
    bool compressed = h.biCompression != BI_RGB && h.biCompression != BI_BITFIELDS;
    size_t pixelBytes = compressed ? shape.sizeImage : shape.imageBytes;
    if (header.size() < shape.headerBytes) {
        facts->why = Format("the information block holds %u bytes; header and palette need %u",
                            static_cast<unsigned>(header.size()),
                            static_cast<unsigned>(shape.headerBytes));
    } else if (!pixels.data()) {
        facts->why = pixels.live() ? "the pixel block cannot be locked"
                                   : "the pixel handle is no live block";
    } else if (compressed && pixelBytes == 0) {
        facts->why = Format("compression %lu without biSizeImage",
                            static_cast<unsigned long>(h.biCompression));
    } else if (pixels.size() < pixelBytes) {
        facts->why = Format("the pixel block holds %u bytes; the header describes %u",
                            static_cast<unsigned>(pixels.size()),
                            static_cast<unsigned>(pixelBytes));
    }
    if (!facts->why.empty()) return std::string();
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = static_cast<DWORD>(sizeof file + shape.headerBytes);
    facts->bytes = file.bfOffBits + pixelBytes;
    file.bfSize = static_cast<DWORD>(facts->bytes);
    if (facts->bytes > limit) {
        facts->why = Format("%u bytes as a .bmp file", static_cast<unsigned>(facts->bytes));
        facts->tooLarge = true;
        return std::string();
    }
    std::string out;
    out.reserve(facts->bytes);
    out.append(reinterpret_cast<const char*>(&file), sizeof file);
    out.append(header.as<const char>(), shape.headerBytes);
    out.append(pixels.as<const char>(), pixelBytes);
    return out;
}

void HtmlPage::SetPlugin(const SpiDllFile& plugin, const std::string& version,
                         const std::vector<std::pair<std::string, std::string>>& filters) {
    identified_ = true;
    version_ = version;
    about_ = Field(plugin.GetAboutText(), SpiDllFile::kAboutTextSize);
    filters_ = filters;
    exports_.clear();
    for (const char* name : PageExportNames()) exports_.emplace_back(name, plugin.HasExport(name));
}

PageFigure HtmlPage::MakeFigure(const char* source, const char* label, const Decoded& decoded) {
    PageFigure figure;
    figure.source = source;
    if (decoded.outcome.faulted || decoded.outcome.code != 0) {
        figure.caption = std::string(label) + ": " + Describe(decoded.outcome);
        return figure;
    }
    size_t room = kMaxPageBytes > embedded_ ? kMaxPageBytes - embedded_ : 0;
    BmpFacts facts;
    figure.bmp = BmpFileOf(decoded.info.get(), decoded.bits.get(),
                           room < kMaxPictureBytes ? room : kMaxPictureBytes, &facts);
    figure.width = facts.width;
    figure.height = facts.height;
    embedded_ += figure.bmp.size();
    if (facts.tooLarge && facts.bytes > kMaxPictureBytes)
        facts.why += Format(", more than the %u bytes embedded of a picture",
                            static_cast<unsigned>(kMaxPictureBytes));
    else if (facts.tooLarge)
        facts.why += Format(", more than the page has left of the %u bytes it embeds",
                            static_cast<unsigned>(kMaxPageBytes));
    if (figure.bmp.empty())
        figure.caption = std::string(label) + (facts.width ? ", " + ShapeText(facts) : "") +
                         ": not shown: " + facts.why;
    else
        figure.caption = std::string(label) + ": " + ShapeText(facts);
    return figure;
}

void HtmlPage::AddFile(const FileContext& context) {
    files_.emplace_back();
    PageFile& file = files_.back();
    file.name = context.file.name;
    if (const PictureDescriptions* d = context.descriptions.get(); d && d->usable) {
        const PictureInfo& p = d->fromFile;
        file.description =
            Format("GetPictureInfo: %ldx%ld, %d bits, at %ld,%ld, %u/%u dpi",
                   static_cast<long>(p.width), static_cast<long>(p.height), p.colorDepth,
                   static_cast<long>(p.left), static_cast<long>(p.top), p.x_density, p.y_density);
    }
    if (const PictureDecodes* d = context.decodes.get()) {
        file.figures.push_back(MakeFigure("file", "from the file", d->disk));
        file.figures.push_back(MakeFigure("memory", "from memory", d->memory));
        file.figures.push_back(MakeFigure("offset", "from the file at offset 128", d->offset));
    }
    if (const Decoded* preview = context.preview.get())
        file.figures.push_back(MakeFigure("preview", "the preview", *preview));
    if (const ArchiveLists* l = context.lists.get(); l && l->listed) {
        file.listed = true;
        const std::vector<fileInfo>& records = l->listing.records;
        size_t shown = records.size() < kMaxMembers ? records.size() : kMaxMembers;
        file.members.assign(records.begin(), records.begin() + shown);
        file.membersLeftOut = records.size() - shown;
    }
}

std::string HtmlPage::SavedIdentity() const {
    journal::Packet packet('i');
    packet.Add(identified_ ? 1 : 0).Add(version_).Add(about_);
    packet.Add(static_cast<long long>(filters_.size()));
    for (const auto& filter : filters_) packet.Add(filter.first).Add(filter.second);
    for (const auto& e : exports_) packet.Add(e.second ? 1 : 0);
    return packet.Bytes();
}

bool HtmlPage::RestoreIdentity(const std::string& bytes) {
    journal::Record r;
    size_t at = 0;
    if (!journal::ParseRecord(bytes, &at, &r) || r.type != 'i' || r.fields.size() < 4) return false;
    size_t filters = static_cast<size_t>(r.Number(3));
    const std::vector<const char*> exportNames = PageExportNames();
    const size_t exportCount = exportNames.size();
    if (r.fields.size() != 4 + 2 * filters + exportCount) return false;
    identified_ = r.Number(0) != 0;
    version_ = r.Text(1);
    about_ = r.Text(2);
    filters_.clear();
    for (size_t i = 0; i < filters; ++i)
        filters_.emplace_back(r.Text(4 + 2 * i), r.Text(5 + 2 * i));
    exports_.clear();
    for (size_t i = 0; i < exportCount; ++i)
        exports_.emplace_back(exportNames[i], r.Number(4 + 2 * filters + i) != 0);
    return true;
}

// A member as the page shows it, field by field: the worker and spicheck
// may be of different bitnesses, and so of different record layouts.
std::string HtmlPage::SavedLastFile() const {
    return files_.empty() ? journal::Packet('f').Bytes() : SavedFile(files_.size() - 1);
}

std::string HtmlPage::SavedFile(size_t index) const {
    journal::Packet packet('f');
    const PageFile& file = files_[index];
    packet.Add(file.name).Add(file.description).Add(static_cast<long long>(file.figures.size()));
    for (const PageFigure& f : file.figures)
        packet.Add(f.source).Add(f.caption).Add(f.bmp).Add(f.width).Add(f.height);
    packet.Add(file.listed ? 1 : 0).Add(static_cast<long long>(file.membersLeftOut));
    packet.Add(static_cast<long long>(file.members.size()));
    for (const fileInfo& m : file.members) {
        packet.Add(std::string(reinterpret_cast<const char*>(m.method), sizeof m.method));
        packet.Add(static_cast<long long>(m.position)).Add(static_cast<long long>(m.compsize));
        packet.Add(static_cast<long long>(m.filesize)).Add(static_cast<long long>(m.timestamp));
        packet.Add(std::string(m.path, strnlen(m.path, sizeof m.path)));
        packet.Add(std::string(m.filename, strnlen(m.filename, sizeof m.filename)));
        packet.Add(static_cast<long long>(m.crc));
    }
    return packet.Bytes();
}

bool HtmlPage::RestoreFile(const std::string& bytes) {
    journal::Record r;
    size_t at = 0;
    if (!journal::ParseRecord(bytes, &at, &r) || r.type != 'f' || r.fields.size() < 3) return false;
    PageFile file;
    file.name = r.Text(0);
    file.description = r.Text(1);
    size_t i = 3, figures = static_cast<size_t>(r.Number(2));
    if (figures > r.fields.size() / 5) return false;
    for (size_t n = 0; n < figures; ++n, i += 5) {
        PageFigure f;
        f.source = r.Text(i);
        f.caption = r.Text(i + 1);
        f.bmp = r.Text(i + 2);
        f.width = static_cast<long>(r.Number(i + 3));
        f.height = static_cast<long>(r.Number(i + 4));
        // Files from several workers: the page's limit holds for them all.
        if (!f.bmp.empty() && embedded_ + f.bmp.size() > kMaxPageBytes) {
            size_t colon = f.caption.find(": ");
            if (colon != std::string::npos) f.caption.replace(colon, 2, ", ");
            f.caption += Format(": not shown: %u bytes as a .bmp file, more than the page has "
                                "left of the %u bytes it embeds",
                                static_cast<unsigned>(f.bmp.size()),
                                static_cast<unsigned>(kMaxPageBytes));
            f.bmp.clear();
        }
        embedded_ += f.bmp.size();
        file.figures.push_back(std::move(f));
    }
    file.listed = r.Number(i) != 0;
    file.membersLeftOut = static_cast<size_t>(r.Number(i + 1));
    size_t members = static_cast<size_t>(r.Number(i + 2));
    i += 3;
    if (members > r.fields.size() / 8 || r.fields.size() != i + 8 * members) return false;
    for (size_t n = 0; n < members; ++n, i += 8) {
        fileInfo m = {};
        const std::string& method = r.Text(i);
        memcpy(m.method, method.data(), method.size() < sizeof m.method ? method.size() : sizeof m.method);
        // A 32-bit page shows a 64-bit plug-in's sizes cut to its fields, as
        // the runner's lists for a 32-bit host leave such records out.
        m.position = static_cast<uintptr_t>(r.Number(i + 1));
        m.compsize = static_cast<uintptr_t>(r.Number(i + 2));
        m.filesize = static_cast<uintptr_t>(r.Number(i + 3));
        m.timestamp = static_cast<SpiTimestamp>(r.Number(i + 4));
        strncpy(m.path, r.Text(i + 5).c_str(), sizeof m.path - 1);
        strncpy(m.filename, r.Text(i + 6).c_str(), sizeof m.filename - 1);
        m.crc = static_cast<uint32_t>(r.Number(i + 7));
        file.members.push_back(m);
    }
    files_.push_back(std::move(file));
    return true;
}

bool HtmlPage::Write(const std::string& path, const std::string& plugin, const char* kind,
                     const Report& report, const std::vector<FileSpan>& spans) const {
    std::vector<CheckSuite> suites =
        MakeSuites(plugin, strcmp(kind, "image") == 0, report, spans);
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    std::string name = XmlText(plugin);
    fprintf(out, "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                 "<title>spicheck: %s</title>\n<style>%s%s</style></head>\n<body>\n",
            name.c_str(), kStyle, kMatrixStyle);
    fprintf(out, "<h1>spicheck: %s, %s plug-in</h1>\n<p class=\"summary\">%s</p>\n",
            name.c_str(), kind, report.Summary().c_str());
    PrintMatrix(out, suites);

    fprintf(out, "<section class=\"plugin\" id=\"plugin\" data-file=\"\">\n"
                 "<h2>The plug-in</h2>\n");
    if (identified_) {
        fprintf(out, "<table class=\"identity\"><tbody>\n"
                     "<tr><th>version</th><td class=\"mono\">%s</td></tr>\n"
                     "<tr><th>about</th><td>%s</td></tr>\n",
                XmlText(version_).c_str(), XmlText(about_).c_str());
        for (const auto& filter : filters_)
            fprintf(out, "<tr><th>filter</th><td><span class=\"mono\">%s</span> %s</td></tr>\n",
                    XmlText(filter.first).c_str(), XmlText(filter.second).c_str());
        fprintf(out, "<tr><th>exports</th><td class=\"mono\">");
        const char* separator = "";
        for (const auto& e : exports_) {
            if (!e.second) continue;
            fprintf(out, "%s%s", separator, e.first);
            separator = ", ";
        }
        fprintf(out, "</td></tr>\n<tr><th>not exported</th><td class=\"mono\">");
        separator = "";
        for (const auto& e : exports_) {
            if (e.second) continue;
            fprintf(out, "%s%s", separator, e.first);
            separator = ", ";
        }
        fprintf(out, "</td></tr>\n</tbody></table>\n");
    }
    PrintChecks(out, suites.front());
    fprintf(out, "</section>\n");

    // What the page kept of each file, in the order of the files; a file
    // whose checks ended its worker has nothing kept.
    std::vector<const PageFile*> kept;
    for (size_t i = 0, k = 0; i < spans.size(); ++i) {
        bool found = k < files_.size() && files_[k].name == spans[i].file;
        kept.push_back(found ? &files_[k++] : nullptr);
    }
    PrintFileSections(out, suites, kept);
    fprintf(out, "<p class=\"note\">Pictures are embedded as the plug-in returned them, as .bmp "
                 "files of up to %u bytes each and %u bytes in all; larger ones are named with "
                 "the reason.</p>\n</body></html>\n",
            static_cast<unsigned>(kMaxPictureBytes), static_cast<unsigned>(kMaxPageBytes));
    bool ok = !ferror(out);
    return fclose(out) == 0 && ok;
}
