#include "names.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "base/text.h"

std::wstring WideName(const std::string& utf8) { return WideFromUtf8(utf8.data(), utf8.size()); }

std::string Utf8Name(const wchar_t* wide, size_t length) { return Utf8FromWide(wide, length); }

std::string Utf8Name(const std::wstring& wide) { return Utf8Name(wide.data(), wide.size()); }

bool AnsiName(const std::string& utf8, std::string* ansi) {
    return ExactAnsi(WideName(utf8), ansi);
}

std::string AnsiOrUtf8(const std::wstring& wide) {
    std::string ansi;
    return ExactAnsi(wide, &ansi) ? ansi : Utf8Name(wide);
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

std::vector<std::string> SplitAt(const std::string& text, const char* separators) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
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
    if (n && ExactAnsi(shortName, &ansi)) return ansi;
    return std::string();
}
