// Checks of the plug-in itself: its information texts, how it treats the
// buffer size it is given, and its exports.
#include <cctype>
#include <cstring>

#include "checker.h"

bool CheckedPlugin::HasExport(const char* name) {
    EnsureLoaded();
    bool present = module && GetProcAddress(module, name) != nullptr;
    ReleaseAfterCall();
    return present;
}

std::string Describe(const Outcome& outcome) {
    if (!outcome.faulted) return Format("returned %d", outcome.code);
    if (outcome.exception == EXCEPTION_ACCESS_VIOLATION)
        return Format("faulted (%08lx at address 0x%08lx)", outcome.exception,
                      static_cast<unsigned long>(outcome.address));
    return Format("faulted (%08lx)", outcome.exception);
}

namespace {

constexpr size_t kCanary = 32;
constexpr unsigned char kCanaryByte = 0xCD;

// One information text asked for with a buffer of `size` bytes followed by
// canary bytes, all at the edge of an inaccessible page.
struct InfoAnswer {
    Outcome outcome;
    bool terminated = false;  // a zero byte within the size given
    bool overrun = false;     // a canary byte behind the size was changed
    size_t overrunAt = 0;
    std::string text;         // up to the terminator or the size
};

InfoAnswer AskInfo(Checker& checker, CheckedPlugin& plugin, int32_t number, size_t size) {
    InfoAnswer answer;
    EdgeBuffer buffer(size + kCanary);
    if (!buffer.ok()) return answer;
    memset(buffer.data(), kCanaryByte, buffer.size());
    LPSTR text = reinterpret_cast<LPSTR>(buffer.data());
    answer.outcome = checker.Watch("GetPluginInfo", [&] {
        return plugin.GetPluginInfo(number, text, static_cast<int32_t>(size));
    });
    const unsigned char* bytes = buffer.data();
    const void* zero = memchr(bytes, 0, size);
    answer.terminated = zero != nullptr;
    size_t length = zero ? static_cast<const unsigned char*>(zero) - bytes : size;
    answer.text.assign(text, length);
    for (size_t i = size; i < buffer.size(); ++i) {
        if (bytes[i] != kCanaryByte) {
            answer.overrun = true;
            answer.overrunAt = i;
            break;
        }
    }
    return answer;
}

bool UsualVersion(const std::string& v) {
    return v.size() == 4 && isprint(static_cast<unsigned char>(v[0])) &&
           isprint(static_cast<unsigned char>(v[1])) && strchr("IAX", v[2]) &&
           isalpha(static_cast<unsigned char>(v[3]));
}

// "*.ext" patterns joined by ";"; empty when fine, else what is wrong.
std::string PatternFault(const std::string& text) {
    if (text.empty()) return "empty pattern list";
    size_t start = 0;
    for (;;) {
        size_t end = text.find(';', start);
        std::string pattern = text.substr(start, end - start);
        bool good = pattern.size() > 2 && pattern.compare(0, 2, "*.") == 0 &&
                    pattern.find_first_of(" \t\\/", 2) == std::string::npos;
        if (!good) return "pattern \"" + pattern + "\" is not of the form *.ext";
        if (end == std::string::npos) return std::string();
        start = end + 1;
    }
}

}  // namespace

void Checker::CheckIdentification() {
    image_ = plugin_.GetKind() == static_cast<int32_t>(PluginKind::Image);

    InfoAnswer version = AskInfo(*this, plugin_, 0, SpiDllFile::kVersionTextSize);
    if (!version.terminated) {
        // What follows the plug-in's text in the buffer is our canary.
        while (!version.text.empty() &&
               static_cast<unsigned char>(version.text.back()) == kCanaryByte)
            version.text.pop_back();
    }
    version_ = version.text;
    if (version.outcome.faulted)
        report_.Fail("ident.version", "", "GetPluginInfo(0) " + Describe(version.outcome));
    else if (!version.terminated)
        report_.Fail("ident.version", "",
                     Format("version text \"%s\" is not terminated within the %d-byte buffer",
                            version.text.c_str(), SpiDllFile::kVersionTextSize));
    else if (!UsualVersion(version.text))
        report_.Warn("ident.version", "",
                     "unusual version text \"" + version.text +
                         "\" (expected two characters, the kind letter and one more letter)");
    else
        report_.Pass("ident.version", "");

    InfoAnswer about = AskInfo(*this, plugin_, 1, SpiDllFile::kAboutTextSize);
    if (about.outcome.faulted)
        report_.Fail("ident.about", "", "GetPluginInfo(1) " + Describe(about.outcome));
    else if (about.outcome.code == 0)
        report_.Fail("ident.about", "", "GetPluginInfo(1) answered 0");
    else if (!about.terminated)
        report_.Fail("ident.about", "",
                     Format("about text is not terminated within the %d-byte buffer",
                            SpiDllFile::kAboutTextSize));
    else
        report_.Pass("ident.about", "");

    // Filters: pattern texts at even numbers from 2, each with a format name.
    std::string filterFault;
    int filters = 0;
    int32_t lastNumber = 1;
    for (int32_t n = 2; n < 2 + 2 * 64 && filterFault.empty(); n += 2) {
        InfoAnswer patterns = AskInfo(*this, plugin_, n, SpiDllFile::kFilterTextSize);
        if (patterns.outcome.faulted) {
            filterFault = Format("GetPluginInfo(%d) ", n) + Describe(patterns.outcome);
            break;
        }
        if (patterns.outcome.code == 0) break;
        lastNumber = n;
        ++filters;
        if (!patterns.terminated) {
            filterFault = Format("filter %d is not terminated within %d bytes", n,
                                 SpiDllFile::kFilterTextSize);
            break;
        }
        std::string fault = PatternFault(patterns.text);
        if (!fault.empty()) {
            filterFault = Format("filter %d: ", n) + fault;
            break;
        }
        InfoAnswer name = AskInfo(*this, plugin_, n + 1, SpiDllFile::kFilterTextSize);
        lastNumber = n + 1;
        if (name.outcome.faulted)
            filterFault = Format("GetPluginInfo(%d) ", n + 1) + Describe(name.outcome);
        else if (name.outcome.code == 0 || !name.terminated || name.text.empty())
            filterFault = "filter \"" + patterns.text + "\" has no format name";
    }
    if (filterFault.empty() && filters == 0) filterFault = "no filter (info 2 answered 0)";
    if (filterFault.empty())
        report_.Pass("ident.filters", "");
    else
        report_.Fail("ident.filters", "", filterFault);

    // Small buffers: the plug-in must cut its texts to the size it is given.
    std::string boundsFault;
    const size_t sizes[] = {1, 2, 3, 4, 5, 8};
    for (int32_t n = 0; n <= lastNumber && n <= 3 && boundsFault.empty(); ++n) {
        for (size_t size : sizes) {
            InfoAnswer answer = AskInfo(*this, plugin_, n, size);
            if (answer.outcome.faulted) {
                boundsFault = Format("GetPluginInfo(%d) with a %u-byte buffer ", n,
                                     static_cast<unsigned>(size)) +
                              Describe(answer.outcome);
                break;
            }
            if (answer.overrun) {
                boundsFault = Format("GetPluginInfo(%d) with a %u-byte buffer writes byte %u",
                                     n, static_cast<unsigned>(size),
                                     static_cast<unsigned>(answer.overrunAt));
                break;
            }
        }
    }
    if (boundsFault.empty())
        report_.Pass("ident.info-bounds", "");
    else
        report_.Fail("ident.info-bounds", "", boundsFault);

    const char* const imageExports[] = {"GetPluginInfo", "IsSupported", "GetPictureInfo",
                                        "GetPicture", nullptr};
    const char* const archiveExports[] = {"GetPluginInfo", "IsSupported", "GetArchiveInfo",
                                          "GetFileInfo", "GetFile", nullptr};
    std::string missing;
    for (const char* const* name = image_ ? imageExports : archiveExports; *name; ++name)
        if (!plugin_.HasExport(*name)) missing += std::string(missing.empty() ? "" : ", ") + *name;
    exportsComplete_ = missing.empty();
    hasPictureInfo_ = plugin_.HasExport("GetPictureInfo");
    hasPicture_ = plugin_.HasExport("GetPicture");
    if (missing.empty())
        report_.Pass("ident.exports", "");
    else
        report_.Fail("ident.exports", "",
                     std::string(image_ ? "an image" : "an archive") + " plug-in lacks " + missing);
}
