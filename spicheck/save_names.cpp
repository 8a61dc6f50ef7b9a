#include "save_names.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "names.h"

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// Names that open a device in every folder, with or without an extension.
bool IsDeviceName(const std::string& part) {
    std::string stem = Upper(part.substr(0, part.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices)
        if (stem == device) return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '0' && stem[3] <= '9';
}

std::string SafePart(const std::string& part) {
    std::string out;
    for (char c : part) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || strchr("<>:\"|?*", c)) ? '_' : c;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    if (!out.empty() && IsDeviceName(out)) out = "_" + out;
    return out;
}

}  // namespace

std::string SafeFileName(const std::string& name) {
    std::vector<std::string> parts;
    for (std::string part : SplitAt(name, "\\/")) {
        bool drive = part.size() == 2 && part[1] == ':' && isalpha(static_cast<unsigned char>(part[0]));
        if (part.empty() || part == "." || part == ".." || (drive && parts.empty())) continue;
        part = SafePart(part);
        if (!part.empty()) parts.push_back(part);
    }
    std::string joined;
    for (const std::string& part : parts) joined += (joined.empty() ? "" : "_") + part;
    return joined.empty() ? "member" : joined;
}

std::string SaveNames::Reserve(const std::string& wanted) {
    std::string name = SafeFileName(wanted);
    size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos) dot = name.size();
    std::string candidate = name;
    for (unsigned n = 2; used_.count(Upper(candidate)); ++n)
        candidate = name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
    used_.insert(Upper(candidate));
    if (onReserve_) onReserve_(candidate);
    return candidate;
}

void SaveNames::Taken(const std::string& name) { used_.insert(Upper(name)); }
