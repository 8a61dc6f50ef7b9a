#include "text.h"

#include <windows.h>

#include <cstring>

namespace {

// The one pair of conversions. length -1: up to the NUL, which is not
// kept. Into the ANSI code page, a character without a spelling becomes
// "?" (never a look-alike: no best fit), and *defaulted says whether any
// did; *ok is false when the conversion failed.
std::wstring Widen(UINT codePage, const char* text, int length) {
    int size = MultiByteToWideChar(codePage, 0, text, length, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(codePage, 0, text, length, &wide[0], size);
    if (length < 0) wide.resize(static_cast<size_t>(size) - 1);
    return wide;
}

std::string Narrow(UINT codePage, const wchar_t* text, int length, BOOL* defaulted = nullptr,
                   bool* ok = nullptr) {
    const bool ansi = codePage != CP_UTF8;
    const DWORD flags = ansi ? WC_NO_BEST_FIT_CHARS : 0;
    const char* fallback = ansi ? "?" : nullptr;
    int size = WideCharToMultiByte(codePage, flags, text, length, nullptr, 0, fallback,
                                   ansi ? defaulted : nullptr);
    std::string narrow(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (defaulted) *defaulted = FALSE;
    if (size <= 0 || WideCharToMultiByte(codePage, flags, text, length, &narrow[0], size,
                                         fallback, ansi ? defaulted : nullptr) != size) {
        if (ok) *ok = false;
        return std::string();
    }
    if (length < 0) narrow.resize(static_cast<size_t>(size) - 1);
    if (ok) *ok = true;
    return narrow;
}

template <typename Char>
size_t BoundedLength(const Char* text, size_t count) {
    size_t length = 0;
    while (length < count && text[length]) ++length;
    return length;
}

}  // namespace

std::wstring WideFromAnsi(const char* text) { return text ? Widen(CP_ACP, text, -1) : std::wstring(); }

std::wstring WideFromAnsi(const char* text, size_t length) {
    return text && length ? Widen(CP_ACP, text, static_cast<int>(length)) : std::wstring();
}

std::string AnsiFromWide(const wchar_t* text, bool* exact, bool* ok) {
    if (exact) *exact = false;
    if (ok) *ok = false;
    if (!text) return std::string();
    BOOL defaulted = FALSE;
    bool converted = false;
    std::string ansi = Narrow(CP_ACP, text, -1, &defaulted, &converted);
    if (ok) *ok = converted;
    // Exact only when it reads back as the same text.
    if (exact) *exact = converted && !defaulted && WideFromAnsi(ansi.c_str()) == text;
    return ansi;
}

std::string AnsiFromWide(const wchar_t* text, size_t length) {
    return text && length ? Narrow(CP_ACP, text, static_cast<int>(length)) : std::string();
}

bool ExactAnsi(const wchar_t* text, std::string* ansi) {
    bool exact = false, ok = false;
    std::string spelled = AnsiFromWide(text, &exact, &ok);
    if (ok && exact) *ansi = spelled;
    else ansi->clear();
    return ok && exact;
}

bool ExactAnsi(const std::wstring& text, std::string* ansi) {
    // A NUL inside the text would end its spelling early.
    if (text.find(L'\0') != std::wstring::npos) {
        ansi->clear();
        return false;
    }
    return ExactAnsi(text.c_str(), ansi);
}

std::wstring WideFromUtf8(const char* text, size_t length) {
    return text && length ? Widen(CP_UTF8, text, static_cast<int>(length)) : std::wstring();
}

std::string Utf8FromWide(const wchar_t* text, size_t length) {
    return text && length ? Narrow(CP_UTF8, text, static_cast<int>(length)) : std::string();
}

std::string Utf8FromAnsi(const std::string& text) {
    if (text.empty()) return text;
    std::wstring wide = WideFromAnsi(text.data(), text.size());
    if (wide.empty()) return text;
    return Utf8FromWide(wide.data(), wide.size());
}

void AnsiIntoField(char* to, size_t toCount, const wchar_t* from, size_t fromCount) {
    if (!toCount) return;
    size_t length = BoundedLength(from, fromCount);
    memset(to, 0, toCount);
    if (length)
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, from, static_cast<int>(length), to,
                            static_cast<int>(toCount - 1), "?", nullptr);
    to[toCount - 1] = 0;
}

void WideIntoField(wchar_t* to, size_t toCount, const char* from, size_t fromCount) {
    if (!toCount) return;
    size_t length = BoundedLength(from, fromCount);
    memset(to, 0, toCount * sizeof(wchar_t));
    if (length)
        MultiByteToWideChar(CP_ACP, 0, from, static_cast<int>(length), to,
                            static_cast<int>(toCount - 1));
    to[toCount - 1] = 0;
}
