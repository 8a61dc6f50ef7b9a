// SpiFilesManage::OpenPath: names that run through archives, such as
// C:\pics\set.lzh\dir\a.bmp, resolved into the member they name.
//
// The shortest leading part of the name that opens as a file is taken for
// the archive; the archive plug-ins of the set then look the rest of the
// name up among its members, entering one archive inside another as often
// as the name says.
#include <mbstring.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "spi_files_manage.h"
#include "spi_input_stream.h"
#include "win32_handles.h"

namespace {

struct FreeText {
    void operator()(char* text) const { free(text); }
};
typedef std::unique_ptr<char, FreeText> OwnedText;

bool OpensAsFile(LPCSTR path) {
    UniqueFile file(
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid();
}

const unsigned char kSeparators[] = "\\/";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool OpensAsFile(LPCWSTR path) {
    UniqueFile file(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid();
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

int32_t Open(SpiDllFile& plugin, SpiInputStream& stream, LPCSTR path, LPCSTR* rest) {
    return plugin.OpenMember(stream, path, rest);
}

int32_t Open(SpiDllFile& plugin, SpiInputStream& stream, LPCWSTR path, LPCWSTR* rest) {
    return plugin.OpenMemberW(stream, path, rest);
}

const char* Empty(const char*) { return ""; }
const wchar_t* Empty(const wchar_t*) { return L""; }

// The passes over the set's archive plug-ins that lead from the archive in
// working to the member the rest of the name names: 1 reached (working
// then holds it), -1 not.
template <typename Char>
int32_t ResolveMembers(SpiFilesManage& set, SpiInputStream& working, const Char* remainder) {
    for (;;) {
        SpiFindData* cursor = set.FindStart();
        if (!cursor) return -1;
        bool asked = false, entered = false, reached = false;
        while (SpiFile* plugin = set.FindNext(cursor)) {
            SpiDllFile* dll = dynamic_cast<SpiDllFile*>(plugin);
            if (!dll || dll->GetKind() != static_cast<int32_t>(PluginKind::Archive) ||
                dll->IsSupportedStream(working) == 0)
                continue;
            const Char* next = nullptr;
            int32_t result = Open(*dll, working, remainder, &next);
            asked = true;
            if (result > 0) {
                reached = true;
                break;
            }
            if (result == 0) {
                // The working stream now holds the entered member; the
                // next objects are asked about it.
                entered = true;
                remainder = next ? next : Empty(remainder);
            }
        }
        set.FindEnd(cursor);
        if (reached) return 1;
        // A member entered in this pass is looked into by another pass,
        // even when a later plug-in of this pass found nothing in it.
        if (!asked || !entered) return -1;
    }
}

// A name given in UTF-16: the archive found by its wide name, its members
// through the plug-ins' wide lists where they have them (OpenMemberW).
int32_t OpenWidePath(SpiFilesManage& set, SpiInputStream& stream) {
    LPCWSTR name = stream.GetWideName();
    if (!name) return -1;
    if (OpensAsFile(name)) return 1;
    std::wstring text(name), head;
    LPCWSTR remainder = nullptr;
    size_t at = 0;
    // Leading separators are skipped and a run of them counts as one, as
    // in an ANSI name.
    while (at < text.size()) {
        while (at < text.size() && IsSeparator(text[at])) ++at;
        if (at >= text.size()) break;
        size_t end = at;
        while (end < text.size() && !IsSeparator(text[end])) ++end;
        head.append(text, at, end - at);
        if (OpensAsFile(head.c_str())) {
            remainder = name + (end < text.size() ? end + 1 : end);
            break;
        }
        head += L'\\';
        at = end;
    }
    if (!remainder) return -1;
    SpiInputStream working;
    working.SetFile(head.c_str(), 0);
    if (ResolveMembers(set, working, remainder) != 1) return -1;
    stream.Assign(working);
    working.Detach();
    return 1;
}

}  // namespace

int32_t SpiFilesManage::OpenPath(SpiInputStream& stream, int32_t) {
    SpiInputStream working;
    if (stream.IsMemory()) return 1;
    if (stream.NamedInUtf16()) return OpenWidePath(*this, stream);
    LPCSTR name = stream.GetSource(nullptr);
    if (!name) return -1;
    if (OpensAsFile(name)) return 1;

    // The head never grows beyond the name plus one separator.
    size_t length = strlen(name);
    OwnedText components(static_cast<char*>(malloc(length + 12)));
    OwnedText head(static_cast<char*>(malloc(length + 12)));
    if (!components || !head) return -1;
    memcpy(components.get(), name, length + 1);
    head.get()[0] = 0;

    // _mbstok keeps a double-byte character whole, so a trail byte equal
    // to "\" never splits it. Leading separators are skipped and a run of
    // them counts as one.
    unsigned char* copy = reinterpret_cast<unsigned char*>(components.get());
    unsigned char* component = _mbstok(copy, kSeparators);
    LPCSTR remainder = nullptr;
    while (component) {
        size_t componentLength = strlen(reinterpret_cast<char*>(component));
        strcat(head.get(), reinterpret_cast<char*>(component));
        if (OpensAsFile(head.get())) {
            // What follows the separator right after this component, in the
            // name's own spelling.
            LPCSTR end = name + (component - copy) + componentLength;
            remainder = IsSeparator(*end) ? end + 1 : end;
            break;
        }
        strcat(head.get(), "\\");
        component = _mbstok(nullptr, kSeparators);
    }
    if (!remainder) return -1;
    working.SetFile(head.get(), 0);
    if (ResolveMembers(*this, working, static_cast<LPCSTR>(remainder)) != 1) return -1;

    stream.Assign(working);
    working.Detach();
    return 1;
}
