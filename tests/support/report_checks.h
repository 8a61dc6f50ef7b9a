// Checks for in-process tests of the console reports: standard output
// captured for a scope, and the local handles a plug-in logged.
#ifndef SPIPROBE_TESTS_REPORT_CHECKS_H
#define SPIPROBE_TESTS_REPORT_CHECKS_H

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

// Captures what the process writes to standard output, so a report can be
// compared byte for byte. Text mode, as the real standard output: "\n"
// arrives as CR LF.
class StdoutCapture {
public:
    StdoutCapture() : path_(dir_.File("stdout")) {
        fflush(stdout);
        saved_ = _dup(1);
        int fd = _open(path_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT,
                       _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            _dup2(fd, 1);
            _close(fd);
        }
    }
    ~StdoutCapture() { Finish(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Restores standard output and returns what was written meanwhile.
    std::string Finish() {
        if (saved_ >= 0) {
            fflush(stdout);
            _dup2(saved_, 1);
            _close(saved_);
            saved_ = -1;
        }
        return ReadBytes(path_);
    }

private:
    TempDir dir_;
    std::string path_;
    int saved_ = -1;
};

// A freed local handle is no longer valid: LocalSize answers 0, error 6.
inline bool IsFreed(HLOCAL handle) {
    SetLastError(0xdeadbeef);
    return LocalSize(handle) == 0 && GetLastError() == ERROR_INVALID_HANDLE;
}

// Every handle the scripted plug-in logged after label ("list handle ",
// "picture handles ", ...), in log order; a line may name two.
inline std::vector<HLOCAL> LoggedHandles(const std::string& log, const std::string& label) {
    std::vector<HLOCAL> handles;
    for (size_t at = log.find(label); at != std::string::npos; at = log.find(label, at + 1)) {
        void* a = nullptr;
        void* b = nullptr;
        size_t start = at + label.size();
        std::string line = log.substr(start, log.find('\n', start) - start);
        int n = sscanf(line.c_str(), "%p %p", &a, &b);
        if (n >= 1) handles.push_back(static_cast<HLOCAL>(a));
        if (n == 2) handles.push_back(static_cast<HLOCAL>(b));
    }
    return handles;
}

#endif
