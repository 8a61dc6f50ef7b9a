// The progress display: one console row, rewritten on every call.
#include <cinttypes>
#include <cstdio>

#include "options.h"
#include "reports.h"

int32_t SPI_API ShowProgress(int32_t nNum, int32_t nDenom, intptr_t lData) {
    HANDLE console = reinterpret_cast<HANDLE>(static_cast<intptr_t>(lData));
    CONSOLE_SCREEN_BUFFER_INFO screen;
    // Not a console (standard output redirected): nothing to show.
    if (!GetConsoleScreenBufferInfo(console, &screen)) return 0;

    int32_t divisor = nDenom != 0 ? nDenom : 1;
    // In 64 bits, so that no count overflows the product with 100.
    int64_t percent = static_cast<int64_t>(nNum) * 100 / divisor;
    printf("(%3d/%3d)\t%4" PRId64 "%%    ", static_cast<int>(nNum), static_cast<int>(divisor),
           percent);
    // The text must be on the console before the cursor moves back.
    fflush(stdout);

    COORD rowStart = {0, screen.dwCursorPosition.Y};
    SetConsoleCursorPosition(console, rowStart);
    return 0;
}

ProgressArguments CurrentProgressArguments() {
    if (!useCallback) return {nullptr, 0};
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return {ShowProgress, static_cast<int32_t>(reinterpret_cast<intptr_t>(output))};
}
