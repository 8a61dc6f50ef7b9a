// Checks of the wide exports (GetPictureW, GetArchiveInfoW, ...): which of
// them the plug-in has, how GetPluginInfoW treats its buffer size, whether
// each answers as its ANSI twin, whether a name outside the ANSI code pages
// reaches the file, and whether the wide list leads to the wide extraction.
#include <cstring>
#include <cwchar>

#include "checker.h"
#include "guarded_record.h"
#include "names.h"

namespace {

constexpr size_t kCanaryWchars = 32;
constexpr wchar_t kCanaryWchar = 0xCDCD;
// The members checks ask for: the first records, as the ANSI checks do.
constexpr size_t kMaxWideMembers = 64;

// One information text asked for with a buffer of `size` WCHARs followed
// by canary WCHARs, at the edge of an inaccessible page.
struct WideInfoAnswer {
    Outcome outcome;
    bool terminated = false;
    size_t length = 0;       // WCHARs before the terminator (or size)
    bool overrun = false;
    size_t overrunAt = 0;    // the first WCHAR past the size that changed
};

WideInfoAnswer AskInfoW(Checker& checker, SpiDllFile& plugin, int32_t number, size_t size) {
    WideInfoAnswer answer;
    EdgeBuffer buffer((size + kCanaryWchars) * sizeof(wchar_t));
    if (!buffer.ok()) return answer;
    wchar_t* text = reinterpret_cast<wchar_t*>(buffer.data());
    for (size_t i = 0; i < size + kCanaryWchars; ++i) text[i] = kCanaryWchar;
    answer.outcome = checker.Watch(plugin, "GetPluginInfoW", [&] {
        return plugin.GetPluginInfoW(number, text, static_cast<int32_t>(size));
    });
    for (answer.length = 0; answer.length < size && text[answer.length]; ++answer.length) {}
    answer.terminated = answer.length < size;
    for (size_t i = size; i < size + kCanaryWchars; ++i)
        if (text[i] != kCanaryWchar) {
            answer.overrun = true;
            answer.overrunAt = i;
            break;
        }
    return answer;
}

std::wstring WideField(const wchar_t* text, size_t count) {
    return std::wstring(text, wcsnlen(text, count));
}

std::wstring WideFullName(const fileInfoW& record) {
    return WideField(record.path, 200) + WideField(record.filename, 200);
}

std::string AnsiFullName(const fileInfo& record) {
    return TextField(record.path, sizeof record.path) +
           TextField(record.filename, sizeof record.filename);
}

// A wide member list read within its block.
struct WideListing {
    std::vector<fileInfoW> records;
    bool terminated = false;
};

WideListing ReadWideListing(HLOCAL handle) {
    WideListing listing;
    LocalLockScope view(handle);
    if (!view.data()) return listing;
    const unsigned char* at = view.as<const unsigned char>();
    for (size_t offset = 0; offset + sizeof(fileInfoW) <= view.size();
         offset += sizeof(fileInfoW)) {
        fileInfoW record;
        memcpy(&record, at + offset, sizeof record);
        if (record.method[0] == 0) {
            listing.terminated = true;
            break;
        }
        listing.records.push_back(record);
    }
    return listing;
}

// Empty when two pixel blocks of the shape hold the same picture (row
// padding aside, as picture.sources compares), else the first difference.
std::string PixelBlockDifference(const BitmapShape& shape, HLOCAL wide, HLOCAL ansi) {
    LocalLockScope w(wide), a(ansi);
    if (!w.data() || !a.data()) return w.data() == a.data() ? std::string()
                                                            : "a pixel block is dead";
    if (w.size() < shape.imageBytes || a.size() < shape.imageBytes)
        if (w.size() != a.size())
            return Format("the pixel block holds %u bytes, GetPicture's %u",
                          static_cast<unsigned>(w.size()), static_cast<unsigned>(a.size()));
    PixelDifference d = FirstPixelDifference(shape, w.data(), w.size(), a.data(), a.size());
    if (!d.found) return std::string();
    return Format("pixel byte %u (row %ld) is 0x%02x, GetPicture's 0x%02x",
                  static_cast<unsigned>(d.offset), static_cast<long>(d.row), d.a, d.b);
}

// Empty when two blocks hold the same bytes, else the first difference.
std::string BlockDifference(const char* what, HLOCAL wide, HLOCAL ansi) {
    LocalLockScope w(wide), a(ansi);
    if (w.size() != a.size())
        return Format("the %s block holds %u bytes, GetPicture's %u", what,
                      static_cast<unsigned>(w.size()), static_cast<unsigned>(a.size()));
    if (!w.data() || !a.data()) return w.data() == a.data() ? std::string()
                                                            : Format("a %s block is dead", what);
    const unsigned char* p = w.as<const unsigned char>();
    const unsigned char* q = a.as<const unsigned char>();
    for (size_t i = 0; i < w.size(); ++i)
        if (p[i] != q[i])
            return Format("%s byte %u is 0x%02x, GetPicture's 0x%02x", what,
                          static_cast<unsigned>(i), p[i], q[i]);
    return std::string();
}

std::string InfoDifference(const PictureInfo& w, const PictureInfo& a) {
    struct Field {
        const char* name;
        long wide, ansi;
    };
    const Field fields[] = {{"left", w.left, a.left},
                            {"top", w.top, a.top},
                            {"width", w.width, a.width},
                            {"height", w.height, a.height},
                            {"x_density", w.x_density, a.x_density},
                            {"y_density", w.y_density, a.y_density},
                            {"colorDepth", w.colorDepth, a.colorDepth}};
    for (const Field& f : fields)
        if (f.wide != f.ansi)
            return Format("GetPictureInfoW gives %s %ld, GetPictureInfo %ld", f.name, f.wide,
                          f.ansi);
    return std::string();
}

// Empty when the wide record describes the same member as the ANSI one.
std::string RecordDifference(const fileInfoW& w, const fileInfo& a) {
    const std::string wideMethod = TextField(w.method, sizeof w.method),
                      ansiMethod = TextField(a.method, sizeof a.method);
    if (wideMethod != ansiMethod)
        return "method \"" + wideMethod + "\", GetArchiveInfo's \"" + ansiMethod + "\"";
    auto number = [](const char* name, unsigned long long wide, unsigned long long ansi) {
        return Format("%s %llu, GetArchiveInfo's %llu", name, wide, ansi);
    };
    if (w.position != a.position) return number("position", w.position, a.position);
    if (w.compsize != a.compsize) return number("compsize", w.compsize, a.compsize);
    if (w.filesize != a.filesize) return number("filesize", w.filesize, a.filesize);
    if (w.timestamp != a.timestamp) return number("timestamp", w.timestamp, a.timestamp);
    // The ANSI list may spell a name in the code page or hold the archive's
    // own bytes of it (UTF-8, say); a name without a spelling in the code
    // page is compared only in the latter form. A name cut to its record is
    // compared up to the shorter of the two.
    const std::string ansi = AnsiFullName(a), utf8 = Utf8Name(WideFullName(w));
    std::string spelled;
    bool hasSpelling = AnsiName(utf8, &spelled);
    bool cut = strnlen(a.filename, sizeof a.filename) >= sizeof a.filename - 10 ||
               wcsnlen(w.filename, 200) >= 190;
    auto same = [&](const std::string& name) {
        if (!cut) return name == ansi;
        size_t n = name.size() < ansi.size() ? name.size() : ansi.size();
        return name.compare(0, n, ansi, 0, n) == 0;
    };
    if (!same(utf8) && hasSpelling && !same(spelled))
        return "name \"" + spelled + "\", GetArchiveInfo's \"" + ansi + "\"";
    if (w.crc != a.crc) return number("crc", w.crc, a.crc);
    return std::string();
}

std::wstring TempFolderW() {
    wchar_t folder[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, folder);
    if (n == 0 || n >= MAX_PATH) return L".\\";
    return folder;
}

}  // namespace

bool Checker::WideApplies(CheckId id) const {
    auto has = [this](const char* name) { return plugin_.HasExport(name); };
    switch (id) {
        case CheckId::WideExports:
            for (const char* name : {"GetPluginInfoW", "IsSupportedW", "GetPictureInfoW",
                                     "GetPictureW", "GetPreviewW", "GetArchiveInfoW",
                                     "GetFileInfoW", "GetFileW"})
                if (has(name)) return true;
            return false;
        case CheckId::WideInfoBounds: return has("GetPluginInfoW");
        case CheckId::WideAgree:
        case CheckId::WideNames:
            return has("IsSupportedW") ||
                   (image_ ? has("GetPictureInfoW") || has("GetPictureW")
                           : has("GetArchiveInfoW") || has("GetFileW"));
        case CheckId::WidePairing:
            return has("GetArchiveInfoW") && has("GetFileInfoW") && has("GetFileW");
        default: return true;
    }
}

void Checker::WideExports(FileContext&) {
    std::vector<const char*> wanted = {"GetPluginInfoW", "IsSupportedW"};
    if (image_) {
        wanted.insert(wanted.end(), {"GetPictureInfoW", "GetPictureW"});
        if (plugin_.HasExport("GetPreview")) wanted.push_back("GetPreviewW");
    } else {
        wanted.insert(wanted.end(), {"GetArchiveInfoW", "GetFileInfoW", "GetFileW"});
    }
    std::string has, lacks;
    for (const char* name : wanted) {
        std::string& list = plugin_.HasExport(name) ? has : lacks;
        list += std::string(list.empty() ? "" : ", ") + name;
    }
    if (lacks.empty())
        Pass();
    else
        Warn("of the wide exports of " + std::string(image_ ? "an image" : "an archive") +
             " plug-in it has " + (has.empty() ? std::string("none") : has) + " and lacks " +
             lacks);
}

void Checker::WideInfoBounds(FileContext&) {
    std::string fault = SmallBufferFault("GetPluginInfoW", "WCHAR", [&](int32_t n, size_t size) {
        WideInfoAnswer answer = AskInfoW(*this, plugin_, n, size);
        return SmallBufferAnswer{answer.outcome, answer.overrun, answer.overrunAt};
    });
    if (!fault.empty()) return Fail(fault);
    // The unit of buflen: a text longer than the buffer is cut to the
    // buffer less its terminator when buflen counts WCHARs, to half of it
    // when it counts bytes.
    WideInfoAnswer whole = AskInfoW(*this, plugin_, 1, SpiDllFile::kAboutTextSize);
    if (!whole.outcome.faulted && whole.terminated && whole.length >= 4) {
        size_t size = whole.length >= 8 ? 8 : 4;
        WideInfoAnswer cut = AskInfoW(*this, plugin_, 1, size);
        if (!cut.outcome.faulted && cut.terminated && cut.length < size / 2)
            return Warn(Format("GetPluginInfoW counts buflen in bytes: given %u WCHARs for "
                               "the %u-character about text it writes %u and the terminator "
                               "(hosts pass a count of WCHARs)",
                               static_cast<unsigned>(size), static_cast<unsigned>(whole.length),
                               static_cast<unsigned>(cut.length)));
    }
    Pass();
}

void Checker::WideAgree(FileContext& context) {
    const InputFile& file = context.file;
    const std::wstring name = WideName(file.name);
    if (plugin_.HasExport("IsSupportedW")) {
        EdgeBuffer sample(SPI_SAMPLE_SIZE);
        FillSample(sample, file.bytes);
        Outcome wide = Watch(plugin_, "IsSupportedW (memory)", [&] {
            return plugin_.IsSupportedW(name.c_str(), sample.data());
        });
        const Outcome& ansi = Sample(context).outcome;
        if (wide.faulted) return Fail("IsSupportedW " + Describe(wide));
        if (!ansi.faulted && (wide.code != 0) != (ansi.code != 0))
            return Fail(Format("IsSupportedW answers %d, IsSupported %d", wide.code, ansi.code));
    }
    if (image_) {
        if (plugin_.HasExport("GetPictureInfoW") && hasPictureInfo_) {
            PictureInfo info = {};
            Outcome wide = Watch(plugin_, "GetPictureInfoW (file)", [&] {
                return plugin_.GetPictureInfoW(name.c_str(), 0, SPI_INPUT_FILE, &info);
            });
            UniqueLocal comment(wide.faulted ? nullptr : info.hInfo);
            const PictureDescriptions& d = Descriptions(context);
            if (wide.faulted) return Fail("GetPictureInfoW " + Describe(wide));
            if (!d.file.faulted && wide.code != d.file.code)
                return Fail(Format("GetPictureInfoW returned %d, GetPictureInfo %d", wide.code,
                                   d.file.code));
            if (wide.code == 0 && !d.file.faulted) {
                std::string difference = InfoDifference(info, d.fromFile);
                if (!difference.empty()) return Fail(difference);
            }
        }
        if (plugin_.HasExport("GetPictureW")) {
            UniqueLocal info, bits;
            Outcome wide = Watch(plugin_, "GetPictureW (file)", [&] {
                return plugin_.GetPictureW(name.c_str(), 0, SPI_INPUT_FILE, info.put(),
                                           bits.put(), nullptr, 0);
            });
            const PictureDecodes& d = Decodes(context);
            if (wide.faulted) return Fail("GetPictureW " + Describe(wide));
            if (!d.disk.outcome.faulted && wide.code != d.disk.outcome.code)
                return Fail(Format("GetPictureW returned %d, GetPicture %d", wide.code,
                                   d.disk.outcome.code));
            if (wide.code == 0 && d.decoded) {
                std::string difference = BlockDifference("header", info.get(), d.disk.info.get());
                if (difference.empty() && d.shapeFault.empty())
                    difference = PixelBlockDifference(d.shape, bits.get(), d.disk.bits.get());
                if (!difference.empty()) return Fail("GetPictureW: " + difference);
            }
        }
        return Pass();
    }

    const ArchiveLists& l = Lists(context);
    if (plugin_.HasExport("GetArchiveInfoW")) {
        UniqueLocal list;
        Outcome wide = Watch(plugin_, "GetArchiveInfoW (file)", [&] {
            return plugin_.GetArchiveInfoW(name.c_str(), 0, SPI_INPUT_FILE, list.put());
        });
        if (wide.faulted) return Fail("GetArchiveInfoW " + Describe(wide));
        if (!l.file.faulted && wide.code != l.file.code)
            return Fail(Format("GetArchiveInfoW returned %d, GetArchiveInfo %d", wide.code,
                               l.file.code));
        if (wide.code == 0 && l.listed) {
            WideListing listing = ReadWideListing(list.get());
            const std::vector<fileInfo>& ansi = l.listing.records;
            if (listing.records.size() != ansi.size())
                return Fail(Format("GetArchiveInfoW lists %u members, GetArchiveInfo %u",
                                   static_cast<unsigned>(listing.records.size()),
                                   static_cast<unsigned>(ansi.size())));
            for (size_t i = 0; i < ansi.size(); ++i) {
                std::string difference = RecordDifference(listing.records[i], ansi[i]);
                if (!difference.empty())
                    return Fail(Format("record %u: GetArchiveInfoW gives ",
                                       static_cast<unsigned>(i + 1)) +
                                difference);
            }
        }
    }
    if (plugin_.HasExport("GetFileW") && l.listed) {
        const Extractions& e = Extracted(context);
        for (const MemberExtraction& m : e.members) {
            if (!m.extracted) continue;
            UniqueLocal block;
            HLOCAL* out = block.put();
            Outcome wide = Watch(plugin_, "GetFileW (memory)", [&] {
                return plugin_.GetFileW(name.c_str(), static_cast<intptr_t>(m.record->position),
                                        reinterpret_cast<LPWSTR>(out),
                                        SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, nullptr, 0);
            });
            std::string member = AnsiFullName(*m.record);
            if (wide.faulted || wide.code != 0)
                return Fail(member + ": GetFileW " + Describe(wide) + ", GetFile returned 0");
            LocalLockScope view(block.get());
            std::string bytes;
            if (view.data()) bytes.assign(view.as<const char>(), view.size());
            if (bytes.size() < m.bytes.size() || bytes.compare(0, m.bytes.size(), m.bytes) != 0) {
                size_t at = 0;
                while (at < bytes.size() && at < m.bytes.size() && bytes[at] == m.bytes[at]) ++at;
                if (at >= bytes.size())
                    return Fail(Format("%s: GetFileW gives %u bytes, GetFile %u", member.c_str(),
                                       static_cast<unsigned>(bytes.size()),
                                       static_cast<unsigned>(m.bytes.size())));
                return Fail(Format("%s: byte %u from GetFileW is 0x%02x, from GetFile 0x%02x",
                                   member.c_str(), static_cast<unsigned>(at),
                                   static_cast<unsigned char>(bytes[at]),
                                   static_cast<unsigned char>(m.bytes[at])));
            }
        }
    }
    Pass();
}

void Checker::WideNames(FileContext& context) {
    const InputFile& file = context.file;
    std::wstring original = WideName(file.name);
    std::wstring extension;
    size_t dot = original.find_last_of(L".\\/:");
    if (dot != std::wstring::npos && original[dot] == L'.') extension = original.substr(dot);
    // Hangul: outside code pages 932 and 1252 both.
    std::wstring copy = TempFolderW() + L"spicheck-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(++tempCounter_) + L"-\xD55C\xAE00" + extension;
    // Named without the process and the counter, which change from run to
    // run: the reason stays the same.
    std::string shown =
        "%TEMP%\\" + ShownName(Utf8Name(L"spicheck-*-\xD55C\xAE00" + extension));
    if (!CopyFileW(original.c_str(), copy.c_str(), FALSE))
        return Warn(Format("no copy %s could be made (error %lu)", shown.c_str(),
                           GetLastError()));
    std::string fault;
    if (plugin_.HasExport("IsSupportedW")) {
        EdgeBuffer sample(SPI_SAMPLE_SIZE);
        FillSample(sample, file.bytes);
        Outcome o = Watch(plugin_, "IsSupportedW (copy)", [&] {
            return plugin_.IsSupportedW(copy.c_str(), sample.data());
        });
        if (o.faulted || o.code == 0) fault = "IsSupportedW on the copy " + shown + " " + Describe(o);
    }
    if (fault.empty() && image_ && plugin_.HasExport("GetPictureInfoW")) {
        PictureInfo info = {};
        Outcome o = Watch(plugin_, "GetPictureInfoW (copy)", [&] {
            return plugin_.GetPictureInfoW(copy.c_str(), 0, SPI_INPUT_FILE, &info);
        });
        UniqueLocal comment(o.faulted ? nullptr : info.hInfo);
        if (o.faulted || o.code != 0)
            fault = "GetPictureInfoW on the copy " + shown + " " + Describe(o);
    }
    if (fault.empty() && image_ && plugin_.HasExport("GetPictureW")) {
        UniqueLocal info, bits;
        Outcome o = Watch(plugin_, "GetPictureW (copy)", [&] {
            return plugin_.GetPictureW(copy.c_str(), 0, SPI_INPUT_FILE, info.put(), bits.put(),
                                       nullptr, 0);
        });
        const PictureDecodes& d = Decodes(context);
        if (o.faulted || o.code != 0)
            fault = "GetPictureW on the copy " + shown + " " + Describe(o);
        else if (d.decoded && d.shapeFault.empty() &&
                 !PixelBlockDifference(d.shape, bits.get(), d.disk.bits.get()).empty())
            fault = "GetPictureW on the copy " + shown + " gives other pixels than GetPicture";
    }
    if (fault.empty() && !image_ && plugin_.HasExport("GetArchiveInfoW")) {
        UniqueLocal list;
        Outcome o = Watch(plugin_, "GetArchiveInfoW (copy)", [&] {
            return plugin_.GetArchiveInfoW(copy.c_str(), 0, SPI_INPUT_FILE, list.put());
        });
        const ArchiveLists& l = Lists(context);
        if (o.faulted || o.code != 0) {
            fault = "GetArchiveInfoW on the copy " + shown + " " + Describe(o);
        } else if (l.listed) {
            size_t members = ReadWideListing(list.get()).records.size();
            if (members != l.listing.records.size())
                fault = Format("GetArchiveInfoW on the copy %s lists %u members, "
                               "GetArchiveInfo on the file %u",
                               shown.c_str(), static_cast<unsigned>(members),
                               static_cast<unsigned>(l.listing.records.size()));
        }
    }
    DeleteFileW(copy.c_str());
    if (fault.empty())
        Pass();
    else
        Fail(fault);
}

void Checker::WidePairing(FileContext& context) {
    const std::wstring name = WideName(context.file.name);
    UniqueLocal list;
    Outcome listed = Watch(plugin_, "GetArchiveInfoW (file)", [&] {
        return plugin_.GetArchiveInfoW(name.c_str(), 0, SPI_INPUT_FILE, list.put());
    });
    // A list that does not come is wide.agree's to report.
    if (listed.faulted || listed.code != 0 || !list.get()) return;
    WideListing listing = ReadWideListing(list.get());
    if (!listing.terminated) return Fail("the wide list has no end record within its block");
    std::string fault;
    for (size_t i = 0; i < listing.records.size() && i < kMaxWideMembers && fault.empty(); ++i) {
        const fileInfoW& record = listing.records[i];
        if (!record.filename[0]) continue;
        std::wstring memberW = WideFullName(record);
        std::string member = "\"" + AnsiOrUtf8(memberW) + "\"";
        GuardedRecord<fileInfoW> found;
        if (!found.get()) continue;
        Outcome o = Watch(plugin_, "GetFileInfoW", [&] {
            return plugin_.GetFileInfoW(name.c_str(), 0, memberW.c_str(), SPI_INPUT_FILE,
                                        found.get());
        });
        fileInfoW info = found.value();
        if (found.Overrun()) {
            fault = Format("%s: GetFileInfoW writes %u bytes past its %u-byte record",
                           member.c_str(), static_cast<unsigned>(found.Overrun()),
                           static_cast<unsigned>(sizeof(fileInfoW)));
            break;
        }
        if (o.faulted || o.code != 0) {
            fault = member + ": GetFileInfoW " + Describe(o);
            break;
        }
        if (info.position != record.position || info.filesize != record.filesize) {
            fault = Format("%s: GetFileInfoW gives position %llu and filesize %llu, the list "
                           "%llu and %llu",
                           member.c_str(), static_cast<unsigned long long>(info.position),
                           static_cast<unsigned long long>(info.filesize),
                           static_cast<unsigned long long>(record.position),
                           static_cast<unsigned long long>(record.filesize));
            break;
        }
        UniqueLocal block;
        HLOCAL* out = block.put();
        o = Watch(plugin_, "GetFileW (memory)", [&] {
            return plugin_.GetFileW(name.c_str(), static_cast<intptr_t>(info.position),
                                    reinterpret_cast<LPWSTR>(out),
                                    SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, nullptr, 0);
        });
        if (o.faulted || o.code != 0) {
            fault = member + ": GetFileW " + Describe(o);
            break;
        }
        LocalLockScope view(block.get());
        if (record.filesize > 0 && (!view.data() || view.size() < record.filesize))
            fault = Format("%s: GetFileW's block holds %u bytes, the list says %llu",
                           member.c_str(), static_cast<unsigned>(view.size()),
                           static_cast<unsigned long long>(record.filesize));
    }
    if (fault.empty())
        Pass();
    else
        Fail(fault);
}
