// Text between the ANSI code page, UTF-8 and UTF-16: the process's one
// set of converters.
//
// The rule for names: a UTF-16 text "has an exact ANSI spelling" when it
// converts to the ANSI code page without a default character and reads
// back as the same UTF-16 text (a code page without a default character
// can map several characters to one). Names without one reach a plug-in
// only through its wide exports.
//
//     std::string ansi;
//     if (ExactAnsi(L"M\u00fcller.txt", &ansi)) ...   // at code page 1252: yes
#ifndef SPIPROBE_PLUGIN_BASE_TEXT_H
#define SPIPROBE_PLUGIN_BASE_TEXT_H

#include <cstddef>
#include <string>

// The ANSI text (up to its NUL) as UTF-16; empty for null.
std::wstring WideFromAnsi(const char* text);
// length bytes of ANSI text (no NUL needed) as UTF-16.
std::wstring WideFromAnsi(const char* text, size_t length);

// The exact ANSI spelling of a text (see above): true and *ansi set when
// it has one; false, *ansi empty, when it has none or text is null.
bool ExactAnsi(const wchar_t* text, std::string* ansi);
bool ExactAnsi(const std::wstring& text, std::string* ansi);
// The ANSI text with "?" for every character that has no spelling; *exact
// (when given) says whether the text has an exact ANSI spelling. Empty for
// null; false from *ok (when given) when the conversion failed.
std::string AnsiFromWide(const wchar_t* text, bool* exact = nullptr, bool* ok = nullptr);
// length characters of UTF-16 (no NUL needed), as above.
std::string AnsiFromWide(const wchar_t* text, size_t length);

// UTF-8 and UTF-16, length units of the source (no NUL needed).
std::wstring WideFromUtf8(const char* text, size_t length);
std::string Utf8FromWide(const wchar_t* text, size_t length);
// ANSI text as UTF-8; the text itself when it cannot be converted.
std::string Utf8FromAnsi(const std::string& text);

// A text field of one width into a field of the other: at most the source
// field's fromCount units up to its NUL, bounded by the destination's
// toCount units, always NUL-terminated; characters without an ANSI
// spelling become "?".
void AnsiIntoField(char* to, size_t toCount, const wchar_t* from, size_t fromCount);
void WideIntoField(wchar_t* to, size_t toCount, const char* from, size_t fromCount);

#endif
