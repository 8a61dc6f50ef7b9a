// A SpiDllFile whose entry points tests can see, and hooks that force a
// residency (under Wine the default memory probe reads the same figure
// before and after loading, so the default decision is always OnDemand).
#ifndef SPIPROBE_TESTS_DLL_INTERNALS_H
#define SPIPROBE_TESTS_DLL_INTERNALS_H

#include "spi_dll_file.h"

class InspectableDll : public SpiDllFile {
public:
    using SpiDllFile::SpiDllFile;
    bool AnyEntryPoint() const {
        return pGetPluginInfo || pIsSupported || pGetPictureInfo || pGetPicture || pGetPreview ||
               pGetArchiveInfo || pGetFileInfo || pGetFile || pConfigurationDlg ||
               pGetPluginInfoW || pIsSupportedW || pGetPictureInfoW || pGetPictureW ||
               pGetPreviewW || pGetArchiveInfoW || pGetFileInfoW || pGetFileW;
    }

    // Probes that differ, so the default decision keeps the module loaded.
    void MakeResident() {
        probeBefore = [](SpiDllFile*) -> uint32_t { return 1000; };
        probeAfter = [](SpiDllFile*) -> uint32_t { return 2000; };
    }
};

#endif
