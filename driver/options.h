// The command line's six settings and the parser that sets them.
#ifndef SPIPROBE_DRIVER_OPTIONS_H
#define SPIPROBE_DRIVER_OPTIONS_H

#include <cstdint>

extern int32_t displayPluginInfo;         // -i
extern int32_t useCallback;               // -c
extern int32_t useMemoryInterface;        // -m sets 1, -f sets 0
extern int32_t useGetPreview;             // -p
extern int32_t callConfigurationDlg;      // -o in any form
extern int32_t configurationDlgFunction;  // -o<n>; 1 until given

// Applies and removes every argument that begins with "-", wherever it
// stands; only its second character (any case) tells which option it is.
// Unknown ones are reported on standard error and removed as well. Returns
// the new count, which is also stored in argc.
int ParseOptions(int& argc, char** argv);

// Resets the settings to their initial values (for tests).
void ResetOptions();

#endif
