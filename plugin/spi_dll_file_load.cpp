// SpiDllFile: construction, Load (identification, extension list,
// residency) and Unload.
#include <mbstring.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "proc_address.h"
#include "spi_dll_file.h"

SpiDllFile::SpiDllFile()
    : probeBefore(DefaultMemoryProbe),
      probeAfter(DefaultMemoryProbe),
      decideResidency(DefaultResidencyDecision) {}

SpiDllFile::SpiDllFile(int32_t mode) : SpiDllFile() { residency = mode; }

SpiDllFile::~SpiDllFile() {
    if (module) {
        HMODULE held = module;
        module = nullptr;
        ClearEntryPoints();
        FreeModuleGuarded(held);
    }
    free(extensionList);
}

void SpiDllFile::ClearEntryPoints() {
    pGetPluginInfo = nullptr;
    pIsSupported = nullptr;
    pGetPictureInfo = nullptr;
    pGetPicture = nullptr;
    pGetPreview = nullptr;
    pGetArchiveInfo = nullptr;
    pGetFileInfo = nullptr;
    pGetFile = nullptr;
    pConfigurationDlg = nullptr;
}

void SpiDllFile::ResolveAllExports() {
    ResolveExport(module, "GetPluginInfo", &pGetPluginInfo);
    ResolveExport(module, "IsSupported", &pIsSupported);
    ResolveExport(module, "ConfigurationDlg", &pConfigurationDlg);
    ResolveExport(module, "GetPictureInfo", &pGetPictureInfo);
    ResolveExport(module, "GetPicture", &pGetPicture);
    ResolveExport(module, "GetPreview", &pGetPreview);
    ResolveExport(module, "GetArchiveInfo", &pGetArchiveInfo);
    ResolveExport(module, "GetFileInfo", &pGetFileInfo);
    ResolveExport(module, "GetFile", &pGetFile);
}

void SpiDllFile::FreeModuleGuarded(HMODULE held) {
    // The module's own unload code runs here; a fault in it must not end
    // the process.
    auto release = [held] { FreeLibrary(held); };
    RunInModule(release);
}

// GetPluginInfo during identification, guarded: a module that faults while
// it is identified fails to load. False when it faulted.
bool SpiDllFile::QueryInfo(int32_t number, LPSTR buffer, int32_t size, int32_t* result) {
    GetPluginInfoProc proc = pGetPluginInfo;
    auto query = [=] { *result = proc(number, buffer, size); };
    return RunInModule(query);
}

int32_t SpiDllFile::Load(LPCSTR folder, LPCSTR fileName) {
    lastFault = SpiFault();
    if (module) return 1;

    char path[kModulePathSize];
    int length = (folder && *folder) ? snprintf(path, sizeof path, "%s\\%s", folder, fileName)
                                     : snprintf(path, sizeof path, "%s", fileName);
    if (length < 0 || length >= kModulePathSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }

    uint32_t before = probeBefore ? probeBefore(this) : 0;
    HMODULE loaded = LoadLibraryA(path);
    if (!loaded) return 0;
    uint32_t after = probeAfter ? probeAfter(this) : 0;

    module = loaded;
    memcpy(modulePath, path, length + 1);
    if (!Identify()) return FailLoad();

    residency = DecideResidency(before, after);
    if (residency == OnDemand) {
        module = nullptr;
        ClearEntryPoints();
        FreeModuleGuarded(loaded);
    }
    return 1;
}

// Steps that run the module's code: version, about text, kind, exports and
// extension list. 0 sends Load down its failure path.
int32_t SpiDllFile::Identify() {
    ResolveExport(module, "GetPluginInfo", &pGetPluginInfo);
    if (!pGetPluginInfo) return 0;

    char version[kVersionTextSize] = {};
    int32_t result = 0;
    if (!QueryInfo(0, version, kVersionTextSize, &result) || result == 0) return 0;
    version[kVersionTextSize - 1] = 0;

    aboutText[0] = 0;
    bool completed = QueryInfo(1, aboutText, kAboutTextSize, &result);
    aboutText[kAboutTextSize - 1] = 0;
    if (!completed || result == 0) return 0;

    char kindLetter = strlen(version) >= 3 ? version[2] : 0;
    if (kindLetter == 'I') {
        kind = PluginKind::Image;
        ResolveExport(module, "IsSupported", &pIsSupported);
        ResolveExport(module, "GetPictureInfo", &pGetPictureInfo);
        ResolveExport(module, "GetPicture", &pGetPicture);
        ResolveExport(module, "GetPreview", &pGetPreview);
    } else if (kindLetter == 'A') {
        kind = PluginKind::Archive;
        ResolveExport(module, "IsSupported", &pIsSupported);
        ResolveExport(module, "GetArchiveInfo", &pGetArchiveInfo);
        ResolveExport(module, "GetFileInfo", &pGetFileInfo);
        ResolveExport(module, "GetFile", &pGetFile);
    } else {
        kind = kindLetter == 'X' ? PluginKind::Export : PluginKind::Unknown;
        return 0;
    }
    ResolveExport(module, "ConfigurationDlg", &pConfigurationDlg);
    return BuildExtensionList();
}

int32_t SpiDllFile::BuildExtensionList() {
    std::string list;
    char filter[kFilterTextSize + 1];
    for (int32_t n = 2; n <= kMaxFilterInfoNumber; n += 2) {
        filter[0] = 0;
        int32_t result = 0;
        if (!QueryInfo(n, filter, kFilterTextSize, &result)) return 0;
        if (result == 0) break;
        filter[kFilterTextSize] = 0;
        // _mbstok and _mbsrchr never split a double-byte character of the
        // current multibyte code page, so a trail byte equal to ";" or "."
        // is not taken for one.
        unsigned char* token = _mbstok(reinterpret_cast<unsigned char*>(filter),
                                       reinterpret_cast<const unsigned char*>(";"));
        while (token) {
            const unsigned char* dot = _mbsrchr(token, '.');
            list += dot ? reinterpret_cast<const char*>(dot) : ".";
            list += ';';
            token = _mbstok(nullptr, reinterpret_cast<const unsigned char*>(";"));
        }
    }
    char* copy = static_cast<char*>(malloc(list.size() + 1));
    if (!copy) return 0;
    memcpy(copy, list.c_str(), list.size() + 1);
    free(extensionList);
    extensionList = copy;
    return 1;
}

int32_t SpiDllFile::FailLoad() {
    if (residency == Undecided && decideResidency) decideResidency(this, 0, 0);
    HMODULE held = module;
    module = nullptr;
    ClearEntryPoints();
    FreeModuleGuarded(held);
    return 0;
}

int32_t SpiDllFile::Unload() {
    lastFault = SpiFault();
    if (!module) return 1;
    HMODULE held = module;
    module = nullptr;
    ClearEntryPoints();
    FreeModuleGuarded(held);
    return 1;
}
