#include "progress_line.h"

#include <cstdio>

#include "report.h"

std::string ProgressText(size_t done, size_t all, size_t failed, double seconds) {
    std::string text = Format("spicheck: %u of %u files, %u failed", static_cast<unsigned>(done),
                              static_cast<unsigned>(all), static_cast<unsigned>(failed));
    if (done == 0 || seconds <= 0) return text;
    double rate = done / seconds;
    unsigned long left = static_cast<unsigned long>((all - done) / rate + 0.5);
    text += Format(", %.1f files/s", rate);
    if (done < all)
        text += left >= 60 ? Format(", about %lu min %lu s left", left / 60, left % 60)
                           : Format(", about %lu s left", left);
    return text;
}

ProgressLine::ProgressLine() {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err && err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode)) console_ = err;
    start_ = GetTickCount();
}

void ProgressLine::Update(size_t done, size_t all, size_t failed) {
    if (!console_) return;
    std::string text = ProgressText(done, all, failed, (GetTickCount() - start_) / 1000.0);
    std::string line = "\r" + text;
    if (text.size() < shown_) line += std::string(shown_ - text.size(), ' ') + "\r" + text;
    shown_ = text.size();
    DWORD written = 0;
    WriteConsoleA(console_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void ProgressLine::Erase() {
    if (!console_ || !shown_) return;
    std::string line = "\r" + std::string(shown_, ' ') + "\r";
    DWORD written = 0;
    WriteConsoleA(console_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    shown_ = 0;
}
