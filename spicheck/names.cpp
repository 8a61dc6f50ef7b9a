#include "names.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>

std::wstring WideName(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr,
                                0);
    std::wstring wide(n, L'\0');
    if (n) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    return wide;
}

std::string Utf8Name(const wchar_t* wide, size_t length) {
    if (!length) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr,
                                nullptr);
    std::string out(n, '\0');
    if (n)
        WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), &out[0], n, nullptr,
                            nullptr);
    return out;
}

std::string Utf8Name(const std::wstring& wide) { return Utf8Name(wide.data(), wide.size()); }

namespace {

bool WideToAnsi(const std::wstring& wide, std::string* ansi) {
    if (wide.empty()) {
        ansi->clear();
        return true;
    }
    BOOL lost = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                static_cast<int>(wide.size()), nullptr, 0, nullptr, &lost);
    if (!n || lost) return false;
    std::string out(n, '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        &out[0], n, nullptr, &lost);
    if (lost) return false;
    // The round trip must give the same characters back (a code page
    // without a default character can map several to one).
    int back = MultiByteToWideChar(CP_ACP, 0, out.data(), n, nullptr, 0);
    std::wstring again(back, L'\0');
    if (back) MultiByteToWideChar(CP_ACP, 0, out.data(), n, &again[0], back);
    if (again != wide) return false;
    *ansi = out;
    return true;
}

}  // namespace

bool AnsiName(const std::string& utf8, std::string* ansi) {
    return WideToAnsi(WideName(utf8), ansi);
}

std::string AnsiOrUtf8(const std::wstring& wide) {
    std::string ansi;
    return WideToAnsi(wide, &ansi) ? ansi : Utf8Name(wide);
}

std::string ShownName(const std::string& utf8) {
    std::string ansi;
    return AnsiName(utf8, &ansi) ? ansi : utf8;
}

std::string JsonName(const std::string& utf8) {
    std::wstring wide = WideName(utf8);
    std::string out = "\"";
    for (wchar_t c : wide) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        }
    }
    return out + "\"";
}

std::vector<std::string> WideArguments() {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!list) return arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(Utf8Name(list[i], lstrlenW(list[i])));
    LocalFree(list);
    return arguments;
}

std::string AnsiPathFor(const std::string& utf8) {
    std::string ansi;
    if (AnsiName(utf8, &ansi)) return ansi;
    std::wstring wide = WideName(utf8);
    DWORD n = GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (!n) return std::string();
    std::wstring shortName(n, L'\0');
    n = GetShortPathNameW(wide.c_str(), &shortName[0], n);
    shortName.resize(n);
    if (n && WideToAnsi(shortName, &ansi)) return ansi;
    return std::string();
}
