// SpiFilesManage: the set of every plug-in in one folder.
//
// Scan searches the folder for "*.SPI" modules (in the x64 build "*.SPH"
// first, then "*.SPI"), asks the activation filter about each and keeps
// the ones that load as image or archive plug-ins, in the order the
// directory searches yield them; a module of the other bitness becomes a
// SpiRemoteFile. Over that list the set finds
// the plug-in that supports a file, decodes a picture with the first image
// plug-in that manages it, and resolves names that run through archives
// (OpenPath). The set owns every object in its list; objects it returns
// stay its own.
//
// Scan calls Clear and CreatePlugin, FindFirst calls FindNext, and
// DecodePicture and OpenPath walk the list with FindStart, FindNext and
// FindEnd, all through the virtual interface, so a derived set can change
// how modules become objects and how the list is walked.
#ifndef SPIPROBE_PLUGIN_SPI_FILES_MANAGE_H
#define SPIPROBE_PLUGIN_SPI_FILES_MANAGE_H

#include <vector>

#include "spi_dll_file.h"

class SpiFilesManage;
class SpiInputStream;
class SpiOutputStream;

// Asked about every module before it is loaded, with the set, the folder
// text and the module's bare file name: 0 refuses it, anything else admits.
typedef int32_t (*ActivationFilter)(SpiFilesManage* set, LPCSTR folder, LPCSTR fileName);

// Reads the module's value under HKEY_CURRENT_USER
// "Software\Quendrel\Susie\Plug-in\Activate" into 4 bytes that start as 1
// and admits when their low 16 bits are not all zero: a missing key or
// value, a DWORD with a low bit set, or a text of one character or more
// admits; DWORD 0 or 0x00010000 and an empty text refuse.
int32_t DefaultActivationFilter(SpiFilesManage* set, LPCSTR folder, LPCSTR fileName);

// A cursor over a set's list, from FindStart to FindEnd. It holds a
// position, not a pointer: after the list changed (Scan, Clear, Add) it
// goes on from the same position in the new list, and past the end it
// keeps giving none.
class SpiFindData {
public:
    SpiFindData() = default;
    virtual ~SpiFindData() {}
    SpiFindData(const SpiFindData&) = delete;
    SpiFindData& operator=(const SpiFindData&) = delete;

    // Position in the set's list of the next object to hand out.
    size_t listPosition = 0;
};

class SpiFilesManage {
public:
    // Room for the folder text and its terminator.
    static constexpr size_t kPluginFolderSize = 520;

    // Empty list, default activation filter, folder from the registry
    // (empty when it is not set). Does not scan.
    SpiFilesManage();
    SpiFilesManage(const SpiFilesManage&) = delete;
    SpiFilesManage& operator=(const SpiFilesManage&) = delete;

    // The slot order below is part of the interface: do not reorder.
    virtual ~SpiFilesManage();

    // Sets the folder Scan searches: the given text, or with null the
    // folder in HKEY_CURRENT_USER "Software\Quendrel\Susie\Plug-in" value
    // "Path" (empty, meaning the current directory, when it is not set).
    // A folder longer than 519 characters is not cut short: the folder is
    // left unusable (IsPluginFolderUsable() false), so Scan finds nothing
    // and CreatePlugin loads nothing until a usable folder is set. Always 1.
    virtual int32_t SetPluginFolder(LPCSTR folder);
    // Replaces the list by the admitted, loadable modules of the folder.
    // When the search finds no entry at all (no match, no such folder, a
    // search pattern longer than MAX_PATH, an unusable folder) the list is
    // left as it was.
    virtual void Scan();
    // Destroys every object in the list and empties it.
    virtual void Clear();
    // The first object in list order whose IsSupported accepts the first
    // 2176 bytes of the file from offset on (zero beyond the end of the
    // file); every object is asked whatever its kind. Null when the file
    // cannot be opened or read, or nobody accepts.
    virtual SpiFile* FindPluginForFile(LPCSTR fileName, uint32_t offset);
    // A new cursor at the front of the list, owned by the caller until
    // FindEnd; null when it cannot be created.
    virtual SpiFindData* FindStart();
    // Exactly FindNext: it does not rewind the cursor.
    virtual SpiFile* FindFirst(SpiFindData* cursor);
    // The next object, or null at the end of the list or for a null
    // cursor. Null entries that Add let into the list are passed over.
    virtual SpiFile* FindNext(SpiFindData* cursor);
    // Destroys the cursor; null is ignored.
    virtual void FindEnd(SpiFindData* cursor);
    // Appends the object and takes ownership of it. Always 1.
    virtual int32_t Add(SpiFile* plugin);
    // Resolves a file-mode stream whose name runs through archives, such as
    // C:\pics\set.lzh\dir\a.bmp, into a memory-mode stream holding the
    // member under its full name. 1 when the stream is usable as it is (in
    // memory already, or a name that opens as a file) or now holds the
    // member; -1 when the name cannot be resolved, the stream unchanged.
    // reserved is ignored. A name given in UTF-16 (SetFile with an LPCWSTR)
    // is resolved in UTF-16: the archive opened by its wide name, the
    // members looked up in the wide lists of plug-ins with the wide archive
    // set, in the ANSI lists (names widened) of the others where the
    // archive's name has an ANSI spelling; the member is then held under
    // its UTF-16 name.
    virtual int32_t OpenPath(SpiInputStream& stream, int32_t reserved);
    // Decodes source with the first image plug-in that accepts it and
    // succeeds (preview first when preview is non-zero; a plug-in without
    // a preview export decodes in full). On success the picture is in
    // picture and the result is that plug-in; null when nobody decoded it
    // or the progress callback cancelled, the picture holder untouched.
    virtual SpiFile* DecodePicture(SpiInputStream& source, SpiOutputStream& picture,
                                   int32_t preview, ProgressCallback progress,
                                   int32_t callbackData);
    // Asks the activation filter, then creates and loads a SpiDllFile for
    // the module in the folder (a SpiRemoteFile for a module of the other
    // bitness). A new object the caller owns, or null.
    virtual SpiFile* CreatePlugin(LPCSTR fileName);
    // FindPluginForFile for a name given in UTF-16, the file opened by that
    // name. A name with an ANSI spelling is given to IsSupported in it; a
    // name without one goes to IsSupportedW, and objects without that
    // export are passed over.
    virtual SpiFile* FindPluginForFileW(LPCWSTR fileName, uint32_t offset);

    LPCSTR GetPluginFolder() const { return pluginFolder; }
    // False after a folder text too long to hold was given or read.
    bool IsPluginFolderUsable() const { return pluginFolderUsable; }

    // Consulted for every module before it is loaded; null admits all.
    ActivationFilter activationFilter;

protected:
    char pluginFolder[kPluginFolderSize];
    std::vector<SpiFile*> plugins;
    bool pluginFolderUsable = true;
};

#endif
