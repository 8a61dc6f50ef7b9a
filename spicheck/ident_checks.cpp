// Checks of the plug-in itself: its information texts, how it treats the
// buffer size it is given, and its exports.
#include <cctype>
#include <cstring>

#include "checker.h"

std::string Describe(const Outcome& outcome) {
    if (!outcome.faulted) return Format("returned %d", outcome.code);
    if (outcome.exception == EXCEPTION_ACCESS_VIOLATION)
        return Format("faulted (%08lx at address 0x%0*llx)", outcome.exception,
                      static_cast<int>(2 * sizeof(void*)),
                      static_cast<unsigned long long>(outcome.address));
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
    size_t overrunAt = 0;     // the first one
    size_t overrunBytes = 0;  // bytes past the size up to the last one
    std::string text;         // up to the terminator or the size
};

InfoAnswer AskInfo(Checker& checker, SpiDllFile& plugin, int32_t number, size_t size) {
    InfoAnswer answer;
    EdgeBuffer buffer(size + kCanary);
    if (!buffer.ok()) return answer;
    memset(buffer.data(), kCanaryByte, buffer.size());
    LPSTR text = reinterpret_cast<LPSTR>(buffer.data());
    answer.outcome = checker.Watch(plugin, "GetPluginInfo", [&] {
        return plugin.GetPluginInfo(number, text, static_cast<int32_t>(size));
    });
    const unsigned char* bytes = buffer.data();
    const void* zero = memchr(bytes, 0, size);
    answer.terminated = zero != nullptr;
    size_t length = zero ? static_cast<const unsigned char*>(zero) - bytes : size;
    answer.text.assign(text, length);
    for (size_t i = size; i < buffer.size(); ++i) {
        if (bytes[i] != kCanaryByte) {
            if (!answer.overrun) answer.overrunAt = i;
            answer.overrun = true;
            answer.overrunBytes = i - size + 1;
        }
    }
    return answer;
}

// "GetPluginInfo(1) writes 11 bytes past its 128-byte buffer"
std::string OverrunText(int32_t number, const InfoAnswer& answer, int size) {
    return Format("GetPluginInfo(%d) writes %u bytes past its %d-byte buffer", number,
                  static_cast<unsigned>(answer.overrunBytes), size);
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

void Checker::IdentVersion(FileContext&) {
    InfoAnswer version = AskInfo(*this, plugin_, 0, SpiDllFile::kVersionTextSize);
    if (!version.terminated) {
        // What follows the plug-in's text in the buffer is our canary.
        while (!version.text.empty() &&
               static_cast<unsigned char>(version.text.back()) == kCanaryByte)
            version.text.pop_back();
    }
    version_ = version.text;
    if (version.outcome.faulted)
        Fail("GetPluginInfo(0) " + Describe(version.outcome));
    else if (version.overrun)
        Fail(OverrunText(0, version, SpiDllFile::kVersionTextSize));
    else if (!version.terminated)
        Fail(Format("version text \"%s\" is not terminated within the %d-byte buffer",
                    version.text.c_str(), SpiDllFile::kVersionTextSize));
    else if (!UsualVersion(version.text))
        Warn("unusual version text \"" + version.text +
             "\" (expected two characters, the kind letter and one more letter)");
    else
        Pass();
}

void Checker::IdentAbout(FileContext&) {
    InfoAnswer about = AskInfo(*this, plugin_, 1, SpiDllFile::kAboutTextSize);
    if (about.outcome.faulted)
        Fail("GetPluginInfo(1) " + Describe(about.outcome));
    else if (about.overrun)
        Fail(OverrunText(1, about, SpiDllFile::kAboutTextSize));
    else if (about.outcome.code == 0)
        Fail("GetPluginInfo(1) answered 0");
    else if (!about.terminated)
        Fail(Format("about text is not terminated within the %d-byte buffer",
                    SpiDllFile::kAboutTextSize));
    else
        Pass();
}

void Checker::IdentFilters(FileContext&) {
    // Pattern texts at even numbers from 2, each with a format name, up to
    // the library's cap on info numbers.
    std::string fault;
    int filters = 0;
    for (int32_t n = 2; n + 1 <= kMaxInfoNumber && fault.empty(); n += 2) {
        InfoAnswer patterns = AskInfo(*this, plugin_, n, SpiDllFile::kFilterTextSize);
        if (patterns.outcome.faulted) {
            fault = Format("GetPluginInfo(%d) ", n) + Describe(patterns.outcome);
            break;
        }
        if (patterns.overrun) {
            fault = OverrunText(n, patterns, SpiDllFile::kFilterTextSize);
            break;
        }
        if (patterns.outcome.code == 0) break;
        lastInfoNumber_ = n;
        ++filters;
        if (!patterns.terminated) {
            fault = Format("filter %d is not terminated within %d bytes", n,
                           SpiDllFile::kFilterTextSize);
            break;
        }
        std::string patternFault = PatternFault(patterns.text);
        if (!patternFault.empty()) {
            fault = Format("filter %d: ", n) + patternFault;
            break;
        }
        InfoAnswer name = AskInfo(*this, plugin_, n + 1, SpiDllFile::kFilterTextSize);
        lastInfoNumber_ = n + 1;
        filters_.emplace_back(patterns.text, name.terminated ? name.text : std::string());
        if (name.outcome.faulted)
            fault = Format("GetPluginInfo(%d) ", n + 1) + Describe(name.outcome);
        else if (name.overrun)
            fault = OverrunText(n + 1, name, SpiDllFile::kFilterTextSize);
        else if (name.outcome.code == 0 || !name.terminated || name.text.empty())
            fault = "filter \"" + patterns.text + "\" has no format name";
    }
    if (fault.empty() && filters == 0) fault = "no filter (info 2 answered 0)";
    if (fault.empty())
        Pass();
    else
        Fail(fault);
}

std::string Checker::SmallBufferFault(
    const char* exportName, const char* unit,
    const std::function<SmallBufferAnswer(int32_t, size_t)>& ask) {
    const size_t sizes[] = {1, 2, 3, 4, 5, 8};
    for (int32_t n = 0; n <= lastInfoNumber_ && n <= 3; ++n) {
        for (size_t size : sizes) {
            SmallBufferAnswer answer = ask(n, size);
            std::string call = Format("%s(%d) with a %u-%s buffer ", exportName, n,
                                      static_cast<unsigned>(size), unit);
            if (answer.outcome.faulted) return call + Describe(answer.outcome);
            if (answer.overrun)
                return call + Format("writes %s %u", unit, static_cast<unsigned>(answer.overrunAt));
        }
    }
    return std::string();
}

void Checker::IdentInfoBounds(FileContext&) {
    // Small buffers: the plug-in must cut its texts to the size it is given.
    std::string fault = SmallBufferFault("GetPluginInfo", "byte", [&](int32_t n, size_t size) {
        InfoAnswer answer = AskInfo(*this, plugin_, n, size);
        return SmallBufferAnswer{answer.outcome, answer.overrun, answer.overrunAt};
    });
    if (!fault.empty()) return Fail(fault);
    Pass();
}

std::string Checker::MissingKindExports() const {
    const char* const imageExports[] = {"GetPluginInfo", "IsSupported", "GetPictureInfo",
                                        "GetPicture", nullptr};
    const char* const archiveExports[] = {"GetPluginInfo", "IsSupported", "GetArchiveInfo",
                                          "GetFileInfo", "GetFile", nullptr};
    std::string missing;
    for (const char* const* name = image_ ? imageExports : archiveExports; *name; ++name)
        if (!plugin_.HasExport(*name)) missing += std::string(missing.empty() ? "" : ", ") + *name;
    return missing;
}

void Checker::IdentExports(FileContext&) {
    std::string missing = MissingKindExports();
    Prepare();
    if (missing.empty())
        Pass();
    else
        Fail(std::string(image_ ? "an image" : "an archive") + " plug-in lacks " + missing);
}
