// The console reports of one run: the plug-in report and dialog, the test
// of each file (image or archive) and the progress display.
#ifndef SPIPROBE_DRIVER_REPORTS_H
#define SPIPROBE_DRIVER_REPORTS_H

#include "spi_dll_file.h"

// -i: what the plug-in says about itself, and whether it has a dialog.
void ReportPluginInfo(SpiDllFile& plugin);
// -o: opens the dialog with configurationDlgFunction; reports a failure.
void OpenConfigurationDlg(SpiDllFile& plugin);
// Opens, probes and tests one file named on the command line.
void TestFile(SpiDllFile& plugin, const char* fileName);
// Describes and decodes a file that an image plug-in accepted.
void TestImage(SpiDllFile& plugin, const char* fileName);
// Lists a file that an archive plug-in accepted and extracts every member.
void TestArchive(SpiDllFile& plugin, const char* fileName);
// The progress callback: rewrites one console row; prints nothing when
// the handle in lData is not a console. Always 0.
int32_t SPI_API ShowProgress(int32_t nNum, int32_t nDenom, intptr_t lData);

// The callback and its data for one decoding or extraction call: with -c,
// ShowProgress and the standard-output handle fetched now; else none.
struct ProgressArguments {
    ProgressCallback callback;
    int32_t data;
};
ProgressArguments CurrentProgressArguments();

#endif
