// The cheapest possible image plug-in: its exports return at once, so a
// benchmark that calls them measures the host's calling overhead only.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "spi_api.h"

SPI_EXPORT int32_t __stdcall GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    const char* text = infono == 0 ? "00IN" : infono == 1 ? "empty benchmark plug-in" : nullptr;
    if (!text || buflen <= 0) return 0;
    int32_t n = static_cast<int32_t>(strlen(text));
    if (n >= buflen) n = buflen - 1;
    memcpy(buf, text, n);
    buf[n] = 0;
    return n;
}

SPI_EXPORT int32_t __stdcall IsSupported(LPCSTR, void*) { return 1; }
