// SpiFile: the abstract plug-in object. One object stands for one plug-in;
// callers above the library reach a plug-in only through these virtual
// operations, which mirror the module exports one for one.
#ifndef SPIPROBE_PLUGIN_SPI_FILE_H
#define SPIPROBE_PLUGIN_SPI_FILE_H

#include "spi_api.h"

// Scoped: windows.h already has an enumerator named Unknown.
enum class PluginKind : int32_t {
    Unknown = -1,  // not identified
    Image = 0,     // picture import plug-in
    Export = 1,    // export plug-in: recognised, never usable
    Archive = 2,   // archive plug-in
};

class SpiFile {
public:
    SpiFile() = default;
    SpiFile(const SpiFile&) = delete;
    SpiFile& operator=(const SpiFile&) = delete;

    // The slot order below is part of the interface: do not reorder.
    virtual ~SpiFile() {}

    // Loads and identifies the module; 1 loaded, 0 failed. folder may be null.
    virtual int32_t Load(LPCSTR folder, LPCSTR fileName) = 0;
    // Releases the module; always 1.
    virtual int32_t Unload() = 0;
    virtual int32_t GetKind() { return static_cast<int32_t>(kind); }

    // The export operations. In this class each answers -1 (not
    // implemented) and touches none of its arguments, as a module without
    // that export would.
    virtual int32_t GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen);
    virtual int32_t IsSupported(LPCSTR fileName, void* data);
    virtual int32_t ConfigurationDlg(HWND parent, int32_t function);
    virtual int32_t GetPictureInfo(LPCSTR source, intptr_t length, uint32_t flag,
                                   PictureInfo* info);
    virtual int32_t GetPicture(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                               HLOCAL* bits, ProgressCallback progress, intptr_t data);
    virtual int32_t GetPreview(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                               HLOCAL* bits, ProgressCallback progress, intptr_t data);
    virtual int32_t GetArchiveInfo(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* list);
    virtual int32_t GetFileInfo(LPCSTR source, intptr_t length, LPCSTR memberName, uint32_t flag,
                                fileInfo* info);
    virtual int32_t GetFile(LPCSTR source, intptr_t length, LPSTR destination, uint32_t flag,
                            ProgressCallback progress, intptr_t data);

protected:
    PluginKind kind = PluginKind::Unknown;
};

#endif
