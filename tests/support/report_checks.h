// Standard output captured for a scope, for in-process tests of the
// console reports, and the blocks a report must have freed.
#ifndef SPIPROBE_TESTS_REPORT_CHECKS_H
#define SPIPROBE_TESTS_REPORT_CHECKS_H

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "local_blocks.h"
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

// The scripted plug-in's log names as many handles as given under each
// label ("list handle", 1), and every one of them is freed by now.
inline void ExpectLoggedBlocksFreed(
    const std::string& log, std::initializer_list<std::pair<const char*, size_t>> labels) {
    for (const auto& label : labels) {
        std::vector<HLOCAL> handles = LoggedHandles(log, label.first);
        EXPECT_EQ(label.second, handles.size()) << label.first << " in\n" << log;
        for (HLOCAL h : handles) EXPECT_TRUE(IsFreed(h)) << label.first << " " << h;
    }
}

#endif
