// SpiDllFile: the guarded path into the module and the export operations,
// the nine and the wide ones.
#include <cstring>

#include "fault_guard.h"
#include "picture_info_layout.h"
#include "spi_dll_file.h"

bool SpiDllFile::RunBodyInModule(void (*body)(void*), void* context) {
    CaughtFault caught;
    if (RunGuarded(body, context, &caught)) return true;
    if (lastFault.kind == SpiFaultKind::None) {
        lastFault.kind = SpiFaultKind::Exception;
        lastFault.code = caught.code;
        lastFault.access = caught.access;
        lastFault.address = caught.address;
        lastFault.instruction = caught.instruction;
    }
    return false;
}

// Steps 4 and 5 of every guarded operation: the call, then the release,
// both under the guard. After a fault the release runs again outside it
// (it finds nothing left when the fault came from the release itself).
// *faulted, when given, says which of the two it was.
template <typename Call>
int32_t SpiDllFile::CallGuarded(Call&& call, int32_t faultResult, bool* faulted) {
    int32_t result = 0;
    auto body = [&] {
        result = call();
        ReleaseAfterCall();
    };
    bool completed = RunInModule(body);
    if (faulted) *faulted = !completed;
    if (completed) return result;
    ReleaseAfterCall();
    return faultResult;
}

template <typename Proc, typename... Args>
int32_t SpiDllFile::CallExport(bool allowed, Proc SpiDllFile::*entry, int32_t faultResult,
                               Args... args) {
    lastFault = SpiFault();
    if (!allowed) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    Proc proc = this->*entry;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    return CallGuarded([&] { return proc(args...); }, faultResult);
}

int32_t SpiDllFile::GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    return CallExport(true, &SpiDllFile::pGetPluginInfo, SPI_INTERNAL_ERROR, infono, buf, buflen);
}

int32_t SpiDllFile::IsSupported(LPCSTR fileName, void* data) {
    bool allowed = kind == PluginKind::Image || kind == PluginKind::Archive;
    return CallExport(allowed, &SpiDllFile::pIsSupported, 0, fileName, data);
}

int32_t SpiDllFile::ConfigurationDlg(HWND parent, int32_t function) {
    lastFault = SpiFault();
    EnsureLoaded();
    ConfigurationDlgProc proc = pConfigurationDlg;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    if (function == -1) return 0;  // presence probe: the dialog is not opened
    return CallGuarded([&] { return proc(parent, function); }, SPI_INTERNAL_ERROR);
}

int32_t SpiDllFile::GetPictureInfo(LPCSTR source, intptr_t length, uint32_t flag,
                                   PictureInfo* info) {
    return CallPictureInfo(&SpiDllFile::pGetPictureInfo, source, length, flag, info, true);
}

int32_t SpiDllFile::GetPictureInfoAsGiven(LPCSTR source, intptr_t length, uint32_t flag,
                                          PictureInfo* info) {
    return CallPictureInfo(&SpiDllFile::pGetPictureInfo, source, length, flag, info, false);
}

template <typename Proc, typename Char>
int32_t SpiDllFile::CallPictureInfo(Proc SpiDllFile::*entry, const Char* source, intptr_t length,
                                    uint32_t flag, PictureInfo* info, bool clear) {
    lastFault = SpiFault();
    if (kind != PluginKind::Image) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    Proc proc = this->*entry;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    // The caller's record is the library's to clear, outside the guard; a
    // module that misses hInfo (see picture_info_layout.h) hands back none.
    if (clear) {
        memset(info, 0, sizeof *info);
        FillHInfo(info, false);
    }
    int32_t result =
        CallGuarded([&] { return proc(source, length, flag, info); }, SPI_INTERNAL_ERROR);
    if (clear && !HInfoWritten(*info)) info->hInfo = nullptr;
    return result;
}

int32_t SpiDllFile::GetPicture(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                               HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    return CallExport(kind == PluginKind::Image, &SpiDllFile::pGetPicture, SPI_INTERNAL_ERROR,
                      source, length, flag, info, bits, progress, data);
}

int32_t SpiDllFile::GetPreview(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                               HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    return CallExport(kind == PluginKind::Image, &SpiDllFile::pGetPreview, SPI_INTERNAL_ERROR,
                      source, length, flag, info, bits, progress, data);
}

int32_t SpiDllFile::GetArchiveInfo(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* list) {
    return CallArchiveInfo(&SpiDllFile::pGetArchiveInfo, source, length, flag, list);
}

template <typename Proc, typename Char>
int32_t SpiDllFile::CallArchiveInfo(Proc SpiDllFile::*entry, const Char* source, intptr_t length,
                                    uint32_t flag, HLOCAL* list) {
    lastFault = SpiFault();
    if (list) *list = nullptr;
    if (kind != PluginKind::Archive) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    Proc proc = this->*entry;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    bool faulted = false;
    int32_t result = CallGuarded([&] { return proc(source, length, flag, list); },
                                 SPI_INTERNAL_ERROR, &faulted);
    // The caller's handle is read outside the guard; a fault keeps its 8.
    if (faulted) return result;
    return (list && *list) ? 0 : result;
}

int32_t SpiDllFile::GetFileInfo(LPCSTR source, intptr_t length, LPCSTR memberName, uint32_t flag,
                                fileInfo* info) {
    return CallExport(kind == PluginKind::Archive, &SpiDllFile::pGetFileInfo, SPI_INTERNAL_ERROR,
                      source, length, memberName, flag, info);
}

int32_t SpiDllFile::GetFile(LPCSTR source, intptr_t length, LPSTR destination, uint32_t flag,
                            ProgressCallback progress, intptr_t data) {
    return CallExport(kind == PluginKind::Archive, &SpiDllFile::pGetFile, SPI_INTERNAL_ERROR,
                      source, length, destination, flag, progress, data);
}

// The wide operations: the same paths with the wide entry points.

int32_t SpiDllFile::GetPluginInfoW(int32_t infono, LPWSTR buf, int32_t buflen) {
    return CallExport(true, &SpiDllFile::pGetPluginInfoW, SPI_INTERNAL_ERROR, infono, buf,
                      buflen);
}

int32_t SpiDllFile::IsSupportedW(LPCWSTR fileName, const void* data) {
    bool allowed = kind == PluginKind::Image || kind == PluginKind::Archive;
    return CallExport(allowed, &SpiDllFile::pIsSupportedW, 0, fileName, data);
}

int32_t SpiDllFile::GetPictureInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                                    PictureInfo* info) {
    return CallPictureInfo(&SpiDllFile::pGetPictureInfoW, source, length, flag, info, true);
}

int32_t SpiDllFile::GetPictureW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    return CallExport(kind == PluginKind::Image, &SpiDllFile::pGetPictureW, SPI_INTERNAL_ERROR,
                      source, length, flag, info, bits, progress, data);
}

int32_t SpiDllFile::GetPreviewW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    return CallExport(kind == PluginKind::Image, &SpiDllFile::pGetPreviewW, SPI_INTERNAL_ERROR,
                      source, length, flag, info, bits, progress, data);
}

int32_t SpiDllFile::GetArchiveInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                                    HLOCAL* list) {
    return CallArchiveInfo(&SpiDllFile::pGetArchiveInfoW, source, length, flag, list);
}

int32_t SpiDllFile::GetFileInfoW(LPCWSTR source, intptr_t length, LPCWSTR memberName,
                                 uint32_t flag, fileInfoW* info) {
    return CallExport(kind == PluginKind::Archive, &SpiDllFile::pGetFileInfoW,
                      SPI_INTERNAL_ERROR, source, length, memberName, flag, info);
}

int32_t SpiDllFile::GetFileW(LPCWSTR source, intptr_t length, LPWSTR destination, uint32_t flag,
                             ProgressCallback progress, intptr_t data) {
    return CallExport(kind == PluginKind::Archive, &SpiDllFile::pGetFileW, SPI_INTERNAL_ERROR,
                      source, length, destination, flag, progress, data);
}
