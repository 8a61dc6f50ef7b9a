// The plug-in API's exports, listed once. Everything that goes through
// them one by one is made from this list: SpiDllFile's entry points, their
// resolving and clearing, HasExport and the mask of exports found, and the
// runner's operation codes and dispatch. An export added here gets each of
// those; a dispatch that misses one does not build (-Werror=switch).
//
// X(name, kinds, text): kinds says which plug-in kinds call the export
// (Any, ImageOrArchive, Image, Archive), text whether its names are ANSI or
// UTF-16 (Ansi, Wide). The order is the order of the mask's bits, which
// travel between a host and its runner.
#ifndef SPIPROBE_PLUGIN_EXPORTS_H
#define SPIPROBE_PLUGIN_EXPORTS_H

#include <cstdint>
#include <cstring>

#include "spi_file.h"

#define SPI_EXPORT_LIST(X)                 \
    X(GetPluginInfo, Any, Ansi)            \
    X(IsSupported, ImageOrArchive, Ansi)   \
    X(GetPictureInfo, Image, Ansi)         \
    X(GetPicture, Image, Ansi)             \
    X(GetPreview, Image, Ansi)             \
    X(GetArchiveInfo, Archive, Ansi)       \
    X(GetFileInfo, Archive, Ansi)          \
    X(GetFile, Archive, Ansi)              \
    X(ConfigurationDlg, Any, Ansi)         \
    X(GetPluginInfoW, Any, Wide)           \
    X(IsSupportedW, ImageOrArchive, Wide)  \
    X(GetPictureInfoW, Image, Wide)        \
    X(GetPictureW, Image, Wide)            \
    X(GetPreviewW, Image, Wide)            \
    X(GetArchiveInfoW, Archive, Wide)      \
    X(GetFileInfoW, Archive, Wide)         \
    X(GetFileW, Archive, Wide)

enum class SpiExport : int32_t {
#define SPI_EXPORT_ENUMERATOR(name, kinds, text) name,
    SPI_EXPORT_LIST(SPI_EXPORT_ENUMERATOR)
#undef SPI_EXPORT_ENUMERATOR
};

enum class ExportKinds { Any, ImageOrArchive, Image, Archive };
enum class ExportText { Ansi, Wide };

struct SpiExportInfo {
    const char* name;
    ExportKinds kinds;
    ExportText text;
};

constexpr SpiExportInfo kSpiExports[] = {
#define SPI_EXPORT_ROW(name, kinds, text) {#name, ExportKinds::kinds, ExportText::text},
    SPI_EXPORT_LIST(SPI_EXPORT_ROW)
#undef SPI_EXPORT_ROW
};
constexpr int kSpiExportCount = sizeof kSpiExports / sizeof kSpiExports[0];
static_assert(kSpiExportCount <= 32, "the mask of exports found is 32 bits");

constexpr int ExportIndex(SpiExport e) { return static_cast<int>(e); }
constexpr uint32_t ExportBit(SpiExport e) { return 1u << ExportIndex(e); }

// The export of that name; false when there is none.
inline bool FindExport(const char* name, SpiExport* found) {
    if (!name) return false;
    for (int n = 0; n < kSpiExportCount; ++n) {
        if (strcmp(name, kSpiExports[n].name) == 0) {
            *found = static_cast<SpiExport>(n);
            return true;
        }
    }
    return false;
}

// Whether a plug-in of the kind calls the export.
inline bool KindCalls(PluginKind kind, SpiExport e) {
    switch (kSpiExports[ExportIndex(e)].kinds) {
        case ExportKinds::Any: return true;
        case ExportKinds::ImageOrArchive:
            return kind == PluginKind::Image || kind == PluginKind::Archive;
        case ExportKinds::Image: return kind == PluginKind::Image;
        case ExportKinds::Archive: return kind == PluginKind::Archive;
    }
    return false;
}

#endif
