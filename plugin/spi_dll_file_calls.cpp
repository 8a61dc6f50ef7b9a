// SpiDllFile: residency and the nine guarded export operations.
#include <cstring>

#include "fault_guard.h"
#include "spi_dll_file.h"

uint32_t DefaultMemoryProbe(SpiDllFile*) {
    MEMORYSTATUS status;
    memset(&status, 0, sizeof status);
    status.dwLength = sizeof status;
    GlobalMemoryStatus(&status);
    return static_cast<uint32_t>(status.dwAvailVirtual);
}

int32_t DefaultResidencyDecision(SpiDllFile*, uint32_t before, uint32_t after) {
    return before == after ? OnDemand : Resident;
}

int32_t SpiDllFile::DecideResidency(uint32_t before, uint32_t after) {
    if (residency != Undecided) return residency;
    if (decideResidency) return decideResidency(this, before, after);
    return OnDemand;
}

int32_t SpiDllFile::EnsureLoaded() {
    if (module) return 1;
    if (residency == OnDemand) {
        HMODULE loaded = LoadLibraryA(modulePath);
        if (!loaded) return 0;
        module = loaded;
        ResolveEntryPoints();
        return 1;
    }
    if (residency == Resident) return Load(nullptr, modulePath);
    return 0;
}

int32_t SpiDllFile::ReleaseAfterCall() {
    // Runs inside the guard of the call it follows (or after a fault
    // outside it), so it uses the plain release.
    if (module && residency == OnDemand) ReleaseModule();
    return 1;
}

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

int32_t SpiDllFile::GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    lastFault = SpiFault();
    EnsureLoaded();
    GetPluginInfoProc proc = pGetPluginInfo;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    return CallGuarded([&] { return proc(infono, buf, buflen); }, SPI_INTERNAL_ERROR);
}

int32_t SpiDllFile::IsSupported(LPCSTR fileName, void* data) {
    lastFault = SpiFault();
    if (kind != PluginKind::Image && kind != PluginKind::Archive) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    IsSupportedProc proc = pIsSupported;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    return CallGuarded([&] { return proc(fileName, data); }, 0);
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
    return CallPictureInfo(source, length, flag, info, true);
}

int32_t SpiDllFile::GetPictureInfoAsGiven(LPCSTR source, intptr_t length, uint32_t flag,
                                          PictureInfo* info) {
    return CallPictureInfo(source, length, flag, info, false);
}

int32_t SpiDllFile::CallPictureInfo(LPCSTR source, intptr_t length, uint32_t flag,
                                    PictureInfo* info, bool clear) {
    lastFault = SpiFault();
    if (kind != PluginKind::Image) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    GetPictureInfoProc proc = pGetPictureInfo;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    // The caller's record is the library's to clear, outside the guard.
    if (clear) memset(info, 0, sizeof *info);
#if defined(_WIN64)
    // A module built with a record that lacks the pad writes hInfo at
    // offset 22 and never reaches hInfo's top byte; what then reads as
    // hInfo is no handle, and is not handed on.
    unsigned char* hInfoBytes = reinterpret_cast<unsigned char*>(&info->hInfo);
    if (clear) memset(hInfoBytes, 0x7f, sizeof info->hInfo);
#endif
    int32_t result =
        CallGuarded([&] { return proc(source, length, flag, info); }, SPI_INTERNAL_ERROR);
#if defined(_WIN64)
    if (clear && hInfoBytes[sizeof info->hInfo - 1] == 0x7f) info->hInfo = nullptr;
#endif
    return result;
}

int32_t SpiDllFile::GetPicture(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                               HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (kind != PluginKind::Image) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    GetPictureProc proc = pGetPicture;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    return CallGuarded([&] { return proc(source, length, flag, info, bits, progress, data); },
                       SPI_INTERNAL_ERROR);
}

int32_t SpiDllFile::GetPreview(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                               HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (kind != PluginKind::Image) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    GetPreviewProc proc = pGetPreview;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    return CallGuarded([&] { return proc(source, length, flag, info, bits, progress, data); },
                       SPI_INTERNAL_ERROR);
}

int32_t SpiDllFile::GetArchiveInfo(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* list) {
    lastFault = SpiFault();
    if (list) *list = nullptr;
    if (kind != PluginKind::Archive) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    GetArchiveInfoProc proc = pGetArchiveInfo;
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
    lastFault = SpiFault();
    if (kind != PluginKind::Archive) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    GetFileInfoProc proc = pGetFileInfo;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    return CallGuarded([&] { return proc(source, length, memberName, flag, info); },
                       SPI_INTERNAL_ERROR);
}

int32_t SpiDllFile::GetFile(LPCSTR source, intptr_t length, LPSTR destination, uint32_t flag,
                            ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (kind != PluginKind::Archive) return SPI_NOT_IMPLEMENTED;
    EnsureLoaded();
    GetFileProc proc = pGetFile;
    if (!proc) return SPI_NOT_IMPLEMENTED;
    return CallGuarded([&] { return proc(source, length, destination, flag, progress, data); },
                       SPI_INTERNAL_ERROR);
}
