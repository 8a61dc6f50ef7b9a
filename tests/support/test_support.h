// Helpers for the test programs: run spiprobe.exe as a child process and
// capture its output byte for byte, scratch folders, files and scoped
// environment variables (the scripted test plug-in reads its script from
// the environment).
#ifndef SPIPROBE_TESTS_TEST_SUPPORT_H
#define SPIPROBE_TESTS_TEST_SUPPORT_H

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// The build's plug-in extension and console program: .spi and spiprobe.exe
// in the 32-bit build, .sph and spiprobe64.exe in the x64 one. Plug-in
// names are spelled "scripted" SPI_EXT.
#if defined(_WIN64)
#define SPI_EXT ".sph"
#define SPIPROBE_EXE "spiprobe64.exe"
#else
#define SPI_EXT ".spi"
#define SPIPROBE_EXE "spiprobe.exe"
#endif

struct ProcessResult {
    std::string out;  // standard output, as written (CR LF included)
    std::string err;  // standard error
    DWORD status = 0xFFFFFFFF;
    bool killed = false;  // still running at its deadline, and ended then
};

// Folder of the running test program (build/bin), with a trailing "\".
std::string BinDir();
// BinDir() + name.
std::string BinPath(const std::string& name);

// Runs commandLine with standard output and error redirected to files and
// waits for it (at most timeoutMs; then it is ended with 0xDEAD). In the
// folder given, else in the current one; environment: the current one.
ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000,
                         const std::string& folder = "");
// The same with a UTF-16 command line, for arguments outside the code page.
ProcessResult RunProcessW(const std::wstring& commandLine, DWORD timeoutMs = 60000,
                          const std::string& folder = "");
// An argument as a command line holds it: in quotes when it has blanks or
// quotes, its quotes escaped.
std::string Quote(const std::string& arg);
// Runs build/bin/spiprobe.exe (spiprobe64.exe) with the arguments, each quoted.
ProcessResult RunSpiprobe(const std::vector<std::string>& args);

// A fresh folder under the temporary folder, deleted with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() + "\" + name
    std::string File(const std::string& name) const;

private:
    std::string path_;
};

// The names a FindFirstFile pattern ("dir\\*.bmp") finds, "." and ".."
// aside, in the order the system gives them; a folder's name ends in "\".
// None when nothing matches.
std::vector<std::string> NamesMatching(const std::string& pattern);

bool WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
// The bytes of a file named in UTF-16; "(cannot open)" when it cannot be.
std::string ReadWide(const std::wstring& path);
// Text of the ANSI code page in UTF-16.
std::wstring Wide(const std::string& ansi);
// The bytes of a local-memory block, LocalSize of them; "<no block>" for
// a handle that is none.
std::string Bytes(HLOCAL block);
bool CopyPlugin(const std::string& pluginName, const std::string& destination);

// Sets (or, with a null value, removes) a variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool hadValue_;
    std::string oldValue_;
};

// Several SPITEST_ script keys at once: {"VERSION", "00AM"} sets
// SPITEST_VERSION. Removes them again at the end of the scope.
class PluginScript {
public:
    PluginScript(std::initializer_list<std::pair<const char*, std::string>> keys);
    ~PluginScript();
    PluginScript(const PluginScript&) = delete;
    PluginScript& operator=(const PluginScript&) = delete;
    void Set(const std::string& key, const std::string& value);

private:
    std::vector<std::string> names_;
};

// "a\nb\n" -> "a\r\nb\r\n": what a text-mode stream writes.
std::string Crlf(const std::string& text);

// The lines of a text, without their "\n"; a last line without one counts.
std::vector<std::string> Lines(const std::string& text);

// A file the build made for the tests: build/fixtures/<set>/<name>, where
// set is "bmp" or "tar"; "/" in the name may stand for "\".
std::string FixturePath(const std::string& set, const std::string& name);

// The handles the scripted plug-in logged on lines that begin with the
// label and a space ("list handle", "picture handles", ...), in log order;
// a line may name two.
std::vector<HLOCAL> LoggedHandles(const std::string& log, const std::string& label);

#endif
