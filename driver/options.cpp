#include "options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

int32_t displayPluginInfo = 0;
int32_t useCallback = 0;
int32_t useMemoryInterface = 0;
int32_t useGetPreview = 0;
int32_t callConfigurationDlg = 0;
int32_t configurationDlgFunction = 1;

void ResetOptions() {
    displayPluginInfo = 0;
    useCallback = 0;
    useMemoryInterface = 0;
    useGetPreview = 0;
    callConfigurationDlg = 0;
    configurationDlgFunction = 1;
}

int ParseOptions(int& argc, char** argv) {
    if (argc < 2) return argc;
    int i = 1;
    while (i < argc) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            ++i;
            continue;
        }
        switch (toupper(static_cast<unsigned char>(arg[1]))) {
        case 'C':
            useCallback = 1;
            break;
        case 'F':
            useMemoryInterface = 0;
            break;
        case 'I':
            displayPluginInfo = 1;
            break;
        case 'M':
            useMemoryInterface = 1;
            break;
        case 'O':
            callConfigurationDlg = 1;
            if (arg[2] != 0) configurationDlgFunction = atoi(arg + 2);
            break;
        case 'P':
            useGetPreview = 1;
            break;
        default:
            fprintf(stderr, "No such option(%s)\n", arg);
            break;
        }
        // Remove the argument, the terminating null entry moving down too.
        for (int j = i; j < argc; ++j) argv[j] = argv[j + 1];
        --argc;
    }
    return argc;
}
