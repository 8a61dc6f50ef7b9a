// spiprobe: loads one plug-in module and tests every file named after it.
#include <windows.h>

#include <cstdio>

#include "options.h"
#include "reports.h"
#include "spi_dll_file.h"

namespace {

void PrintUsage(const char* program) {
    fprintf(stderr, "Usage: %s [-c] [-m] [-f] [-p] [-i] Plug-in [GraphicFile...]\n", program);
    fprintf(stderr, "Option:\n\t-c\tUse Callback\n\t-m\tUse Memory I/F\n");
    fprintf(stderr, "\t-f\tNot use Memory I/F\n\t-p\tUse GetPreview I/F\n");
    fprintf(stderr, "\t-i\tDisplay Plugin Information\n");
    fprintf(stderr, "\t-o[n]\tCall ConfigurationDlg(n:0～)\n");
}

}  // namespace

int main(int argc, char** argv) {
    SpiDllFile plugin;
    ParseOptions(argc, argv);
    if (argc < 2 || argv[1] == nullptr) {
        PrintUsage(argv[0]);
        return 1;
    }
    if (!plugin.Load(nullptr, argv[1])) {
        DWORD error = GetLastError();
        printf("SPIファイル(%s)のロードに失敗しました(GetLastError==%d)。\n", argv[1],
               static_cast<int>(error));
        return 1;
    }
    if (displayPluginInfo) ReportPluginInfo(plugin);
    if (callConfigurationDlg) OpenConfigurationDlg(plugin);
    fflush(stdout);
    for (int i = 2; i < argc; ++i) TestFile(plugin, argv[i]);
    return 0;
}
