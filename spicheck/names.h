// File names. spicheck reads its command line and walks folders through
// the wide API and carries every name as UTF-8, so that a name with
// characters outside the ANSI code page reaches the checks whole. The
// plug-in's ANSI calls get the name in the ANSI code page; the report
// shows it as the reader can best read it.
#ifndef SPICHECK_NAMES_H
#define SPICHECK_NAMES_H

#include <string>
#include <vector>

std::wstring WideName(const std::string& utf8);
std::string Utf8Name(const std::wstring& wide);
std::string Utf8Name(const wchar_t* wide, size_t length);

// The name in the ANSI code page; false when a character of it has no
// spelling there (then *ansi is left alone).
bool AnsiName(const std::string& utf8, std::string* ansi);
// The ANSI spelling of a wide text where there is one, else its UTF-8.
std::string AnsiOrUtf8(const std::wstring& wide);

// The name as the text report prints it: in the ANSI code page where it
// fits (as an ANSI program would print it), otherwise in UTF-8.
std::string ShownName(const std::string& utf8);
// The name as a JSON string: printable ASCII as it is, everything else a
// \uXXXX escape of its UTF-16 (a pair of them beyond the BMP).
std::string JsonName(const std::string& utf8);

// The parts of a text between any of the separators, empty ones included:
// "a,,b" gives "a", "" and "b"; an empty text one empty part.
std::vector<std::string> SplitAt(const std::string& text, const char* separators);

// The program's arguments from the wide command line, as UTF-8.
std::vector<std::string> WideArguments();

// A name the plug-in's ANSI calls can open for a file named utf8: its ANSI
// spelling, else its short (8.3) name when the file system gives one that
// fits the code page; empty when there is neither.
std::string AnsiPathFor(const std::string& utf8);

#endif
