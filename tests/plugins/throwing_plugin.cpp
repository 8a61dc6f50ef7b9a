// An image plug-in whose GetPluginInfo answers through a C++ exception for
// every info number it does not have: each such call throws and catches
// inside the module, so the runtime's exception state comes into use.
// With THROW_AT_EXIT a static object's destructor throws and catches too,
// while the module is being released. Built with and without the runtime
// release unit, for the tests that count what a load and release leaves.
#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "spi_api.h"

namespace {

std::string InfoText(int32_t infono) {
    switch (infono) {
        case 0: return "00IN";
        case 1: return "Throwing test plug-in";
        case 2: return "*.thr";
        case 3: return "Test pictures";
    }
    throw std::out_of_range("no such info number");
}

#ifdef THROW_AT_EXIT
struct ThrowsAtExit {
    ~ThrowsAtExit() {
        try {
            InfoText(-1);
        } catch (const std::out_of_range&) {
        }
    }
} throws_at_exit;
#endif

}  // namespace

SPI_EXPORT int32_t SPI_API GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    std::string text;
    try {
        text = InfoText(infono);
    } catch (const std::out_of_range&) {
        return 0;
    }
    if (buflen <= 0) return 0;
    size_t n = text.size() < static_cast<size_t>(buflen - 1) ? text.size() : buflen - 1;
    memcpy(buf, text.data(), n);
    buf[n] = 0;
    return static_cast<int32_t>(n);
}

SPI_EXPORT int32_t SPI_API IsSupported(LPCSTR, void*) { return 0; }
