#include "test_support.h"

#include <cstdio>

#include "win32_handles.h"

std::string BinDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path);
    size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".\\") : dir.substr(0, slash + 1);
}

std::string BinPath(const std::string& name) { return BinDir() + name; }

namespace {

HANDLE InheritableFile(const std::string& path) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &sa,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

ProcessResult RunProcess(const std::string& commandLine, DWORD timeoutMs,
                         const std::string& folder) {
    // As CreateProcessA would: the line in the ANSI code page.
    return RunProcessW(Wide(commandLine), timeoutMs, folder);
}

ProcessResult RunProcessW(const std::wstring& commandLine, DWORD timeoutMs,
                          const std::string& folder) {
    ProcessResult result;
    TempDir scratch;
    std::string outPath = scratch.File("stdout"), errPath = scratch.File("stderr");
    HANDLE out = InheritableFile(outPath);
    HANDLE err = InheritableFile(errPath);
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                            OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    std::wstring where = Wide(folder);
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       folder.empty() ? nullptr : where.c_str(), &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            result.killed = true;
            TerminateProcess(pi.hProcess, 0xDEAD);
            WaitForSingleObject(pi.hProcess, 5000);
        }
        GetExitCodeProcess(pi.hProcess, &result.status);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    result.out = ReadBytes(outPath);
    result.err = ReadBytes(errPath);
    return result;
}

ProcessResult RunSpiprobe(const std::vector<std::string>& args) {
    std::string line = Quote(BinPath(SPIPROBE_EXE));
    for (const std::string& arg : args) line += " " + Quote(arg);
    return RunProcess(line);
}

TempDir::TempDir() {
    static unsigned counter;
    char base[MAX_PATH] = {};
    GetTempPathA(sizeof base, base);
    for (;;) {
        char name[MAX_PATH];
        snprintf(name, sizeof name, "%sspitest-%lu-%u", base, GetCurrentProcessId(), ++counter);
        if (CreateDirectoryA(name, nullptr)) {
            path_ = name;
            return;
        }
    }
}

namespace {

// Wide calls, so that files the tests made under names outside the ANSI
// code page go too.
void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = dir + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

}  // namespace

TempDir::~TempDir() {
    int size = MultiByteToWideChar(CP_ACP, 0, path_.c_str(), -1, nullptr, 0);
    if (size <= 0) return;
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path_.c_str(), -1, &wide[0], size);
    wide.resize(static_cast<size_t>(size - 1));
    RemoveTree(wide);
}

std::string TempDir::File(const std::string& name) const { return path_ + "\\" + name; }

bool WriteBytes(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::string ReadBytes(const std::string& path) {
    std::string bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

bool CopyPlugin(const std::string& pluginName, const std::string& destination) {
    return CopyFileA(BinPath(pluginName).c_str(), destination.c_str(), FALSE) != 0;
}

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : name_(name) {
    char buffer[8192];
    SetLastError(0);
    DWORD n = GetEnvironmentVariableA(name.c_str(), buffer, sizeof buffer);
    hadValue_ = !(n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) && n < sizeof buffer;
    if (hadValue_) oldValue_.assign(buffer, n);
    SetEnvironmentVariableA(name.c_str(), value);
}

ScopedEnv::~ScopedEnv() {
    SetEnvironmentVariableA(name_.c_str(), hadValue_ ? oldValue_.c_str() : nullptr);
}

PluginScript::PluginScript(std::initializer_list<std::pair<const char*, std::string>> keys) {
    for (const auto& key : keys) Set(key.first, key.second);
}

void PluginScript::Set(const std::string& key, const std::string& value) {
    std::string name = "SPITEST_" + key;
    SetEnvironmentVariableA(name.c_str(), value.c_str());
    names_.push_back(name);
}

PluginScript::~PluginScript() {
    for (const std::string& name : names_) SetEnvironmentVariableA(name.c_str(), nullptr);
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string FixturePath(const std::string& set, const std::string& name) {
    std::string path = BinDir() + "..\\fixtures\\" + set + "\\" + name;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

std::vector<HLOCAL> LoggedHandles(const std::string& log, const std::string& label) {
    std::vector<HLOCAL> handles;
    const std::string start = label + " ";
    for (const std::string& line : Lines(log)) {
        if (line.compare(0, start.size(), start) != 0) continue;
        void* a = nullptr;
        void* b = nullptr;
        int n = sscanf(line.c_str() + start.size(), "%p %p", &a, &b);
        if (n >= 1) handles.push_back(static_cast<HLOCAL>(a));
        if (n == 2) handles.push_back(static_cast<HLOCAL>(b));
    }
    return handles;
}

std::string ReadWide(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "(cannot open)";
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

std::vector<std::string> NamesMatching(const std::string& pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) name += "\\";
        names.push_back(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

std::wstring Wide(const std::string& ansi) {
    int size = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &wide[0], size);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string Bytes(HLOCAL block) {
    LocalLockScope lock(block);
    if (!lock.data()) return std::string("<no block>");
    return std::string(lock.as<const char>(), lock.size());
}
