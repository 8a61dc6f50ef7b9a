// SpiFilesManage: the folder and its scan, the list and its cursors, and
// finding the plug-in that supports a file. DecodePicture is at the end;
// OpenPath has a file of its own.
#include "spi_files_manage.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/pe_image.h"
#include "registry.h"
#include "spi_input_stream.h"
#include "spi_output_stream.h"
#include "remote/spi_remote_file.h"
#include "win32_handles.h"

namespace {

const char kSettingsKey[] = "Software\\Quendrel\\Susie\\Plug-in";
const char kActivateKey[] = "Software\\Quendrel\\Susie\\Plug-in\\Activate";
// The x64 build's own modules first, then the 32-bit ones, which run in a
// runner process (so do 64-bit modules named .spi in the 32-bit build).
#if defined(_WIN64)
const char* const kPluginExtensions[] = {"SPH", "SPI"};
#else
const char* const kPluginExtensions[] = {"SPI"};
#endif
// What FindPluginForFile reads of a file: the 2048-byte sample that
// IsSupported looks at, plus room some plug-ins read beyond it.
const DWORD kFileHeadSize = 2176;

// Appends an object the list is to own. Should the list fail to grow, the
// object is destroyed rather than leaked.
void AppendOwned(std::vector<SpiFile*>& list, SpiFile* plugin) {
    try {
        list.push_back(plugin);
    } catch (...) {
        delete plugin;
    }
}

}  // namespace

int32_t DefaultActivationFilter(SpiFilesManage*, LPCSTR, LPCSTR fileName) {
    // The four bytes decide whatever the read did: untouched (missing key
    // or value, or a value too large) they still say 1.
    unsigned char value[4] = {1, 0, 0, 0};
    ReadRegistryValue(HKEY_CURRENT_USER, kActivateKey, fileName, value, sizeof value);
    return (value[0] | value[1]) != 0 ? 1 : 0;
}

SpiFilesManage::SpiFilesManage() : activationFilter(DefaultActivationFilter) {
    pluginFolder[0] = 0;
    SpiFilesManage::SetPluginFolder(nullptr);
}

SpiFilesManage::~SpiFilesManage() { SpiFilesManage::Clear(); }

int32_t SpiFilesManage::SetPluginFolder(LPCSTR folder) {
    if (folder) {
        // memmove: the text may be GetPluginFolder() itself.
        size_t length = strnlen(folder, kPluginFolderSize);
        pluginFolderUsable = length < kPluginFolderSize;
        if (pluginFolderUsable)
            memmove(pluginFolder, folder, length + 1);
        else
            pluginFolder[0] = 0;
        return 1;
    }
    pluginFolder[0] = 0;
    pluginFolderUsable = true;
    // One byte more than the folder can hold, zeroed, so that a text too
    // long for it shows as such instead of being cut to a shorter folder.
    char text[kPluginFolderSize + 1] = {};
    if (ReadRegistryValue(HKEY_CURRENT_USER, kSettingsKey, "Path", text, sizeof text)) {
        size_t length = strnlen(text, sizeof text);
        if (length < kPluginFolderSize)
            memcpy(pluginFolder, text, length + 1);
        else
            pluginFolderUsable = false;
    } else if (QueryRegistryValue(HKEY_CURRENT_USER, kSettingsKey, "Path", nullptr, nullptr)) {
        // The value is there but larger than the buffer.
        pluginFolderUsable = false;
    }
    return 1;
}

void SpiFilesManage::Scan() {
    if (!pluginFolderUsable) return;
    bool cleared = false;
    for (const char* extension : kPluginExtensions) {
        char pattern[MAX_PATH];
        int length = pluginFolder[0]
                         ? snprintf(pattern, sizeof pattern, "%s\\*.%s", pluginFolder, extension)
                         : snprintf(pattern, sizeof pattern, "*.%s", extension);
        if (length < 0 || length >= static_cast<int>(sizeof pattern)) return;

        WIN32_FIND_DATAA entry;
        UniqueFind search(FindFirstFileA(pattern, &entry));
        if (!search.valid()) continue;

        if (!cleared && !plugins.empty()) Clear();
        cleared = true;
        do {
            if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY))
                continue;
            SpiFile* plugin = CreatePlugin(entry.cFileName);
            if (plugin) AppendOwned(plugins, plugin);
        } while (FindNextFileA(search.get(), &entry));
    }
}

void SpiFilesManage::Clear() {
    for (SpiFile* plugin : plugins) delete plugin;
    plugins.clear();
}

namespace {

// The file's bytes from offset on into head (zeros beyond its end); false
// when the file cannot be opened, positioned or read.
bool ReadHead(HANDLE opened, uint32_t offset, unsigned char (&head)[kFileHeadSize]) {
    UniqueFile file(opened);
    if (!file.valid()) return false;

    // The offset is unsigned: with the high half given as 0, offsets of
    // 2 GiB and more are positions too, not failed negative seeks that
    // would leave the file at its start.
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(file.get(), static_cast<LONG>(offset), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
    if (high == 0 && low < offset) return false;

    // Beyond the end of the file the read succeeds with nothing read, and
    // the plug-ins see zeros.
    DWORD read = 0;
    return ReadFile(file.get(), head, sizeof head, &read, nullptr) != FALSE;
}

}  // namespace

SpiFile* SpiFilesManage::FindPluginForFile(LPCSTR fileName, uint32_t offset) {
    unsigned char head[kFileHeadSize] = {};
    if (!ReadHead(CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr),
                  offset, head))
        return nullptr;

    for (size_t i = 0; i < plugins.size(); ++i) {
        SpiFile* plugin = plugins[i];
        if (plugin && plugin->IsSupported(fileName, head) != 0) return plugin;
    }
    return nullptr;
}

SpiFile* SpiFilesManage::FindPluginForFileW(LPCWSTR fileName, uint32_t offset) {
    unsigned char head[kFileHeadSize] = {};
    if (!fileName || !ReadHead(CreateFileW(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr),
                               offset, head))
        return nullptr;
    // The stream works out the ANSI spelling, if the name has one.
    SpiInputStream named;
    named.SetFile(fileName, 0);
    for (size_t i = 0; i < plugins.size(); ++i) {
        SpiFile* plugin = plugins[i];
        if (!plugin) continue;
        if (named.NameFitsAnsi()) {
            if (plugin->IsSupported(named.GetName(), head) != 0) return plugin;
            continue;
        }
        SpiDllFile* dll = dynamic_cast<SpiDllFile*>(plugin);
        if (dll && dll->HasExport("IsSupportedW") && dll->IsSupportedW(fileName, head) != 0)
            return plugin;
    }
    return nullptr;
}

SpiFindData* SpiFilesManage::FindStart() { return new (std::nothrow) SpiFindData; }

SpiFile* SpiFilesManage::FindFirst(SpiFindData* cursor) { return FindNext(cursor); }

SpiFile* SpiFilesManage::FindNext(SpiFindData* cursor) {
    if (!cursor) return nullptr;
    // A null entry would read as the end of the list to every walker.
    while (cursor->listPosition < plugins.size()) {
        SpiFile* plugin = plugins[cursor->listPosition++];
        if (plugin) return plugin;
    }
    return nullptr;
}

void SpiFilesManage::FindEnd(SpiFindData* cursor) { delete cursor; }

int32_t SpiFilesManage::Add(SpiFile* plugin) {
    AppendOwned(plugins, plugin);
    return 1;
}

SpiFile* SpiFilesManage::CreatePlugin(LPCSTR fileName) {
    if (!pluginFolderUsable) return nullptr;
    if (activationFilter && activationFilter(this, pluginFolder, fileName) == 0) return nullptr;
    // An empty folder is the current directory, named in full: a bare or
    // relative file name would send LoadLibrary down its search order (the
    // program's folder and the system folders first), and a namesake from
    // there could be loaded in place of the module the search found.
    char current[MAX_PATH];
    LPCSTR folder = pluginFolder;
    if (!folder[0]) {
        DWORD length = GetCurrentDirectoryA(sizeof current, current);
        if (length == 0 || length >= sizeof current) return nullptr;
        folder = current;
    }
    // A module of the other bitness cannot be loaded here: it runs in a
    // runner process of its own.
    char path[MAX_PATH];
    int length = snprintf(path, sizeof path, "%s\\%s", folder, fileName);
    int bits = (length > 0 && length < static_cast<int>(sizeof path))
                   ? PeImageBits(path)
                   : 0;
    std::unique_ptr<SpiDllFile> plugin;
    if (bits && bits != static_cast<int>(sizeof(void*) * 8))
        plugin.reset(new (std::nothrow) SpiRemoteFile);
    else
        plugin.reset(new (std::nothrow) SpiDllFile);
    if (!plugin) return nullptr;
    if (!plugin->Load(folder, fileName)) return nullptr;
    return plugin.release();
}

SpiFile* SpiFilesManage::DecodePicture(SpiInputStream& source, SpiOutputStream& picture,
                                       int32_t preview, ProgressCallback progress,
                                       int32_t callbackData) {
    if (!progress) progress = NullProgress;
    SpiFindData* cursor = FindStart();
    if (!cursor) return nullptr;
    SpiFile* decodedBy = nullptr;
    while (SpiFile* plugin = FindNext(cursor)) {
        SpiDllFile* dll = dynamic_cast<SpiDllFile*>(plugin);
        if (!dll || dll->GetKind() != static_cast<int32_t>(PluginKind::Image) ||
            dll->IsSupportedStream(source) == 0)
            continue;
        // Fresh for every call: a plug-in that answers 0 without storing
        // its handles must not hand over another plug-in's.
        HLOCAL info = nullptr, bits = nullptr;
        int32_t result = -1;
        if (preview) result = dll->GetPreviewStream(source, &info, &bits, progress, callbackData);
        if (!preview || result == -1) {
            info = nullptr;
            bits = nullptr;
            result = dll->GetPictureStream(source, &info, &bits, progress, callbackData);
        }
        if (result == SPI_SUCCESS) {
            picture.Set(info, bits);
            decodedBy = plugin;
            break;
        }
        if (result == SPI_ABORT) break;
    }
    FindEnd(cursor);
    return decodedBy;
}
