// SpiDllFile: a plug-in object backed by a plug-in DLL.
//
// Load identifies the module by its version text and settles whether it
// stays loaded between calls (its residency). Every export is then called
// through one of the nine guarded operations, which check the kind, load
// the module when the residency requires it, call the export under a fault
// guard and release the module again in OnDemand mode. The stream-level
// operations work on a SpiInputStream instead of a raw source. The wide
// operations at the end call the module's optional wide exports the same
// way.
//
// Every piece of the module's code that the object runs (identification,
// the exports, the module's unload code) runs through one guarded path,
// which keeps what it caught for LastFault().
#ifndef SPIPROBE_PLUGIN_SPI_DLL_FILE_H
#define SPIPROBE_PLUGIN_SPI_DLL_FILE_H

#include "exports.h"
#include "spi_fault.h"
#include "spi_file.h"

class SpiDllFile;
class SpiInputStream;

// How a SpiDllFile keeps its module between calls. Hooks may answer other
// values; they are stored unchanged and then behave like Undecided.
enum ResidencyMode : int32_t {
    Undecided = 0,  // the decision hook is asked at the next successful Load
    Resident = 1,   // the module stays loaded; after Unload, Load runs again
    OnDemand = 2,   // the module is loaded around every call
};

// Figure of available memory, taken just before and just after loading.
typedef uint32_t (*MemoryProbe)(SpiDllFile* object);
// Chooses the residency from the two figures.
typedef int32_t (*ResidencyDecision)(SpiDllFile* object, uint32_t before, uint32_t after);

// The process's available virtual address space (GlobalMemoryStatus).
uint32_t DefaultMemoryProbe(SpiDllFile* object);
// OnDemand when loading left the figure unchanged, Resident otherwise.
int32_t DefaultResidencyDecision(SpiDllFile* object, uint32_t before, uint32_t after);

// Highest info number that any walk over a module's texts asks for (the
// filter walk of Load, the driver's pattern listing, spicheck): 256 filters,
// far more than any real plug-in has. A module that never answers 0, or
// faults on every call, ends the walk within seconds even when each call
// loads it afresh (OnDemand), and those loads stay well below the thousand
// or so that a module leaking a TLS slot per load survives.
constexpr int32_t kMaxInfoNumber = 512;

// A progress callback that never cancels.
int32_t SPI_API NullProgress(int32_t nNum, int32_t nDenom, intptr_t lData);

class SpiDllFile : public SpiFile {
public:
    static constexpr int kAboutTextSize = 128;
    static constexpr int kModulePathSize = 260;
    static constexpr int kVersionTextSize = 10;
    static constexpr int kFilterTextSize = 1024;
    // Highest info number the filter walk of Load asks for.
    static constexpr int32_t kMaxFilterInfoNumber = kMaxInfoNumber;

    SpiDllFile();
    explicit SpiDllFile(int32_t residency);
    ~SpiDllFile() override;

    // 1 when the module was identified as an image or archive plug-in, or
    // when a module is already held (then nothing changes); 0 otherwise.
    // The path is "folder\fileName" for a non-empty folder, else fileName.
    // After a failed LoadLibrary the last error is the loader's; a path that
    // does not fit 260 bytes fails with ERROR_FILENAME_EXCED_RANGE.
    int32_t Load(LPCSTR folder, LPCSTR fileName) override;
    // Releases a held module; keeps kind, residency and texts. Always 1.
    int32_t Unload() override;

    // Guarded export operations: the module's result, -1 when the kind does
    // not allow the call or the export is missing, and 8 (0 for IsSupported)
    // when a fault inside the module was caught.
    int32_t GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) override;
    int32_t IsSupported(LPCSTR fileName, void* data) override;
    // Function number -1 only asks whether the export exists: 0 or -1.
    int32_t ConfigurationDlg(HWND parent, int32_t function) override;
    // Zero-fills *info before the module sees it. In the x64 build, hInfo
    // comes back null when the module left its top byte alone (a record
    // laid out without the pad before hInfo).
    int32_t GetPictureInfo(LPCSTR source, intptr_t length, uint32_t flag,
                           PictureInfo* info) override;
    int32_t GetPicture(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info, HLOCAL* bits,
                       ProgressCallback progress, intptr_t data) override;
    int32_t GetPreview(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info, HLOCAL* bits,
                       ProgressCallback progress, intptr_t data) override;
    // Nulls *list first; answers 0 whenever the module handed back a list.
    int32_t GetArchiveInfo(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* list) override;
    int32_t GetFileInfo(LPCSTR source, intptr_t length, LPCSTR memberName, uint32_t flag,
                        fileInfo* info) override;
    int32_t GetFile(LPCSTR source, intptr_t length, LPSTR destination, uint32_t flag,
                    ProgressCallback progress, intptr_t data) override;

    // Stream-level operations (slot order is part of the interface). A file
    // stream named in UTF-16 with no ANSI spelling goes to the wide export
    // of the operation where the module has it, and is declined otherwise
    // (0 from IsSupportedStream, -1 from the others); a memory stream so
    // named goes to IsSupportedW the same way, and to the ANSI exports for
    // the rest. Every other stream goes to the ANSI exports.
    //
    // IsSupported on a 2048-byte sample of the stream's data from byte 0;
    // 0 when a file stream's file cannot be opened.
    virtual int32_t IsSupportedStream(SpiInputStream& stream);
    virtual int32_t GetPictureStream(SpiInputStream& stream, HLOCAL* info, HLOCAL* bits,
                                     ProgressCallback progress, intptr_t data);
    virtual int32_t GetPreviewStream(SpiInputStream& stream, HLOCAL* info, HLOCAL* bits,
                                     ProgressCallback progress, intptr_t data);
    // The raw list handle; the caller frees it.
    virtual int32_t GetArchiveInfoStream(SpiInputStream& stream, HLOCAL* handle);
    // The list copied into a malloc'ed array ended by an all-zero record;
    // the caller releases it with free(). 0, the listing's error, 5 when
    // the block cannot be locked, or 4 when the copy cannot be allocated.
    virtual int32_t GetArchiveList(SpiInputStream& stream, fileInfo** list);
    // Bit 0 of options adds SPI_OUTPUT_MEMORY to the flag.
    virtual int32_t GetFileInfoStream(SpiInputStream& stream, LPCSTR fileName, uint32_t options,
                                      fileInfo* info);
    virtual int32_t GetFileToMemory(SpiInputStream& stream, const fileInfo* entry, HLOCAL* handle,
                                    ProgressCallback progress, intptr_t data);
    virtual int32_t GetFileToDisk(SpiInputStream& stream, const fileInfo* entry,
                                  LPCSTR directory, ProgressCallback progress, intptr_t data);
    // Finds the member named by the head of memberPath and re-points the
    // stream at its extracted bytes: 1 path used up, 0 more path follows
    // at *rest (just past the separator), -1 nothing found or a failure.
    virtual int32_t OpenMember(SpiInputStream& stream, LPCSTR memberPath, LPCSTR* rest);

    // Wide operations: the module's wide exports (GetPictureW and so on),
    // each of which a module may lack on its own. Results, kind checks,
    // residency and fault handling as the ANSI operation of the same name:
    // -1 when the kind does not allow the call or the export is missing, 8
    // (0 for IsSupportedW) when a fault was caught. They follow the stream
    // operations so that the slots above keep their places. Only the text
    // arguments are UTF-16: in the memory form source is the input's bytes,
    // and GetFileW's destination is the address of an HLOCAL for memory
    // output.
    //
    // buflen counts WCHARs.
    virtual int32_t GetPluginInfoW(int32_t infono, LPWSTR buf, int32_t buflen);
    virtual int32_t IsSupportedW(LPCWSTR fileName, const void* data);
    // Zero-fills *info first, as GetPictureInfo does.
    virtual int32_t GetPictureInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                                    PictureInfo* info);
    virtual int32_t GetPictureW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                HLOCAL* bits, ProgressCallback progress, intptr_t data);
    virtual int32_t GetPreviewW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                HLOCAL* bits, ProgressCallback progress, intptr_t data);
    // Nulls *list first; answers 0 whenever the module handed back a list
    // (of fileInfoW records).
    virtual int32_t GetArchiveInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                                    HLOCAL* list);
    virtual int32_t GetFileInfoW(LPCWSTR source, intptr_t length, LPCWSTR memberName,
                                 uint32_t flag, fileInfoW* info);
    virtual int32_t GetFileW(LPCWSTR source, intptr_t length, LPWSTR destination, uint32_t flag,
                             ProgressCallback progress, intptr_t data);

    // Stream-level operations on wide lists (after the wide operations, so
    // that every slot above keeps its place). A plug-in with the wide
    // archive set (HasWideArchiveSet) is asked through GetArchiveInfoW,
    // GetFileW and GetFileInfoW; any other through its ANSI exports, with
    // the records' names widened from the ANSI code page, where the
    // stream's name and the names given have ANSI spellings (-1 where they
    // have none).
    //
    // The list copied into a malloc'ed array of fileInfoW ended by an
    // all-zero record; the caller releases it with free().
    virtual int32_t GetArchiveListW(SpiInputStream& stream, fileInfoW** list);
    // Bit 0 of options adds SPI_OUTPUT_MEMORY to the flag.
    virtual int32_t GetFileInfoStreamW(SpiInputStream& stream, LPCWSTR fileName,
                                       uint32_t options, fileInfoW* info);
    // entry: a record of GetArchiveListW's list.
    virtual int32_t GetFileToMemoryW(SpiInputStream& stream, const fileInfoW* entry,
                                     HLOCAL* handle, ProgressCallback progress, intptr_t data);
    virtual int32_t GetFileToDiskW(SpiInputStream& stream, const fileInfoW* entry,
                                   LPCWSTR directory, ProgressCallback progress, intptr_t data);
    // OpenMember on the wide list with a UTF-16 path; the stream then holds
    // the member under its UTF-16 name.
    virtual int32_t OpenMemberW(SpiInputStream& stream, LPCWSTR memberPath, LPCWSTR* rest);

    // GetArchiveInfoW and GetFileW both there, as identified at the last
    // successful Load: the module's wide lists can be listed and extracted.
    bool HasWideArchiveSet() const;

    // Operations with slots after every one above, so that those keep
    // their places.
    //
    // GetPictureInfo with *info handed over as the caller filled it, and
    // returned as the module left it: for a checker that fills fields to
    // see which the module writes.
    virtual int32_t GetPictureInfoAsGiven(LPCSTR source, intptr_t length, uint32_t flag,
                                          PictureInfo* info);
    // Residency machinery shared by the guarded operations: 1 when a
    // module is held on return.
    virtual int32_t EnsureLoaded();
    // Releases the module after a call in OnDemand mode. Always 1.
    virtual int32_t ReleaseAfterCall();

    int32_t DecideResidency(uint32_t before, uint32_t after);

    // The first fault caught inside the module during the last Load,
    // Unload or export operation; kind None when there was none. A fault
    // the module handled itself never reaches the guard and is not seen.
    const SpiFault& LastFault() const { return lastFault; }

    LPCSTR GetAboutText() const { return aboutText; }
    LPCSTR GetModulePath() const { return modulePath; }

    // Read-only views of the object's state.
    bool HoldsModule() const { return module != nullptr; }
    int32_t Residency() const { return residency; }
    // ".ext;" per filter pattern; null until a Load builds it.
    LPCSTR ExtensionList() const { return extensionList; }
    // Whether the module, as identified at the last successful Load,
    // exports this name; any of the nine export names and of the eight
    // wide ones ("GetPictureW", ...) may be asked, whatever the kind. False
    // before the first successful Load.
    bool HasExport(const char* exportName) const;
    bool HasExport(SpiExport e) const { return (exportsFound & ExportBit(e)) != 0; }
    // ExportBit of every export found at the last successful Load.
    uint32_t ExportMask() const { return exportsFound; }

    // Per-object hooks; null means the figure 0 / the answer OnDemand.
    MemoryProbe probeBefore;
    MemoryProbe probeAfter;
    ResidencyDecision decideResidency;

protected:
    // One entry point per export (pGetPluginInfo, ..., pGetFileW).
#define SPI_ENTRY_POINT(name, kinds, text) name##Proc p##name = nullptr;
    SPI_EXPORT_LIST(SPI_ENTRY_POINT)
#undef SPI_ENTRY_POINT
    HMODULE module = nullptr;
    int32_t residency = Undecided;
    char aboutText[kAboutTextSize] = {};
    char modulePath[kModulePathSize] = {};
    char* extensionList = nullptr;  // ".ext;" per filter pattern
    // Kept by every operation for LastFault(); set by derived objects that
    // run the module elsewhere.
    SpiFault lastFault;
    uint32_t exportsFound = 0;  // ExportBit of each export found at the last successful Load

private:
    // Entry points are set only by ResolveEntryPoints and cleared, with
    // the module, only by DetachModule.
    //
    // Resolves the entry points that the kind calls (GetPluginInfo and
    // ConfigurationDlg for every kind) from the held module.
    void ResolveEntryPoints();
    // Clears module and entry points and hands the module over.
    HMODULE DetachModule();
    // Releases a held module, running its unload code under the guard.
    void ReleaseModuleGuarded();
    // Releases a held module with a plain FreeLibrary: for ReleaseAfterCall,
    // which runs inside the guard of the call it follows (and once more
    // after a fault, when it finds nothing left or the call itself faulted).
    void ReleaseModule();

    int32_t Identify();
    int32_t BuildExtensionList();
    int32_t FailLoad();
    bool QueryInfo(int32_t number, LPSTR buffer, int32_t size, int32_t* result);
    // GetPictureInfo and GetPictureInfoW (entry: the field of the export
    // asked for); clear: the record prepared and checked as it says.
    template <typename Proc, typename Char>
    int32_t CallPictureInfo(Proc SpiDllFile::*entry, const Char* source, intptr_t length,
                            uint32_t flag, PictureInfo* info, bool clear);
    // GetArchiveInfo and GetArchiveInfoW.
    template <typename Proc, typename Char>
    int32_t CallArchiveInfo(Proc SpiDllFile::*entry, const Char* source, intptr_t length,
                            uint32_t flag, HLOCAL* list);
    // An operation of the common shape: -1 unless allowed (the kind check)
    // and the export is there once the residency has had its say, else the
    // guarded call of the export with the arguments.
    template <typename Proc, typename... Args>
    int32_t CallExport(bool allowed, Proc SpiDllFile::*entry, int32_t faultResult,
                       Args... args);
    template <typename Call>
    int32_t CallGuarded(Call&& call, int32_t faultResult, bool* faulted = nullptr);

    // The one way into the module's code: runs body() under the fault
    // guard; false when a fault was caught, which is then kept for
    // LastFault() unless the operation already caught one.
    template <typename Body>
    bool RunInModule(Body& body) {
        return RunBodyInModule([](void* p) { (*static_cast<Body*>(p))(); }, &body);
    }
    bool RunBodyInModule(void (*body)(void*), void* context);
};

#endif
