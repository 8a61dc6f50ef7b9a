// The line that tells a person at the console how a long run goes: files
// done of all, failures so far, files per second, the time left. It is
// written to standard error only when that is a console, rewritten in
// place, and erased before the run's end is printed.
#ifndef SPICHECK_PROGRESS_LINE_H
#define SPICHECK_PROGRESS_LINE_H

#include <windows.h>

#include <cstddef>
#include <string>

// "spicheck: 120 of 1000 files, 3 failed, 4.2 files/s, about 3 min 29 s
// left" (no time left before the first file is done).
std::string ProgressText(size_t done, size_t all, size_t failed, double seconds);

class ProgressLine {
public:
    ProgressLine();
    void Update(size_t done, size_t all, size_t failed);
    void Erase();

private:
    HANDLE console_ = nullptr;  // null: standard error is no console
    DWORD start_ = 0;
    size_t shown_ = 0;  // characters of the line on the screen
};

#endif
