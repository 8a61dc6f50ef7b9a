// -i: the plug-in information report; -o: the configuration dialog.
#include <cstdio>
#include <cstring>

#include "base/fenced_buffer.h"
#include "options.h"
#include "reports.h"

namespace {

constexpr int32_t kInfoBufferSize = 2048;

// The plug-in writes into a buffer with room past the size it is told, so
// a write past that size stays out of spiprobe's own memory.
struct InfoBuffer {
    FencedBuffer buffer{kInfoBufferSize, FencedBuffer::kCanaryTail};
    const char* text = buffer.chars();

    // Clears the buffer and asks for one information text.
    int32_t Query(SpiDllFile& plugin, int32_t number) {
        if (!buffer.data()) return 0;
        buffer.Reset();
        return plugin.GetPluginInfo(number, buffer.chars(), kInfoBufferSize);
    }

    // Prints one "<label>\t[<text>]" line. A plug-in may fill the whole
    // buffer without a terminator: the text ends with the buffer.
    void Print(const char* label) const {
        int length = text ? static_cast<int>(strnlen(text, kInfoBufferSize)) : 0;
        printf("%s\t[%.*s]\n", label, length, text ? text : "");
    }
};

}  // namespace

void ReportPluginInfo(SpiDllFile& plugin) {
    InfoBuffer info;

    printf("Plug-in Information\n");
    fflush(stdout);

    info.Query(plugin, 0);
    info.Print("API Version");
    fflush(stdout);

    info.Query(plugin, 1);
    info.Print("Plug-in about");
    fflush(stdout);

    // Pairs of pattern and format name until the plug-in has no more. A
    // negative answer (-1 from the object when the module can no longer be
    // reached) ends the listing as 0 does.
    int32_t n = 2;
    int32_t result = info.Query(plugin, n);
    while (result > 0) {
        // "Extention" (and "PictureInfomation", " CRC: %ud" in the file
        // reports) are the tool's established output, compared byte for
        // byte by its users' scripts and by the tests: not to be corrected.
        info.Print("Extention");
        if (info.Query(plugin, n + 1) <= 0) break;
        info.Print("Format Name");
        n += 2;
        fflush(stdout);
        if (n > kMaxInfoNumber) break;
        result = info.Query(plugin, n);
    }
    fflush(stdout);

    int32_t dialog = plugin.ConfigurationDlg(nullptr, -1);
    printf("Config Dialog\t[%s]\n", dialog == -1 ? "Not Supported" : "Supported");
    fflush(stdout);
}

void OpenConfigurationDlg(SpiDllFile& plugin) {
    int32_t result = plugin.ConfigurationDlg(nullptr, configurationDlgFunction);
    if (result != 0)
        printf("ConfigurationDlg(NULL, %d)が失敗しました(Ret==%d)\n",
               static_cast<int>(configurationDlgFunction), static_cast<int>(result));
}
