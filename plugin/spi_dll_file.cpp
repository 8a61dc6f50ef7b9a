// SpiDllFile: construction, Load (identification and extension list) and
// Unload. Residency is in spi_dll_file_residency.cpp, the export calls in
// spi_dll_file_calls.cpp, the stream operations in spi_dll_file_streams.cpp.
#include <mbstring.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/fenced_buffer.h"
#include "base/proc_address.h"
#include "spi_dll_file.h"
#include "win32_handles.h"

SpiDllFile::SpiDllFile()
    : probeBefore(DefaultMemoryProbe),
      probeAfter(DefaultMemoryProbe),
      decideResidency(DefaultResidencyDecision) {}

SpiDllFile::SpiDllFile(int32_t mode) : SpiDllFile() { residency = mode; }

SpiDllFile::~SpiDllFile() {
    ReleaseModuleGuarded();
    free(extensionList);
}

bool SpiDllFile::HasExport(const char* exportName) const {
    SpiExport e;
    return FindExport(exportName, &e) && HasExport(e);
}

// GetPluginInfo during identification, guarded: a module that faults while
// it is identified fails to load. False when it faulted. The module writes
// into a scratch buffer with room past the size it is told, so a write past
// that size never reaches the object's fields; it is recorded as an overrun,
// and the first size bytes are what the caller's buffer gets.
bool SpiDllFile::QueryInfo(int32_t number, LPSTR buffer, int32_t size, int32_t* result) {
    FencedBuffer scratch(size, FencedBuffer::kCanaryTail);
    LPSTR text = scratch.chars();
    if (!text) return false;
    GetPluginInfoProc proc = pGetPluginInfo;
    auto query = [=] { *result = proc(number, text, size); };
    bool completed = RunInModule(query);
    size_t overrun = scratch.Overrun();
    if (overrun && lastFault.kind == SpiFaultKind::None) {
        lastFault.kind = SpiFaultKind::BufferOverrun;
        lastFault.overrun = static_cast<uint32_t>(overrun);
    }
    memcpy(buffer, text, size);
    return completed;
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
    if (residency == OnDemand) ReleaseModuleGuarded();
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
    } else if (kindLetter == 'A') {
        kind = PluginKind::Archive;
    } else {
        kind = kindLetter == 'X' ? PluginKind::Export : PluginKind::Unknown;
        return 0;
    }
    ResolveEntryPoints();
    if (!BuildExtensionList()) return 0;
    uint32_t found = 0;
    for (int n = 0; n < kSpiExportCount; ++n) {
        if (GetProcAddress(module, kSpiExports[n].name)) found |= 1u << n;
    }
    exportsFound = found;
    return 1;
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
    ReleaseModuleGuarded();
    return 0;
}

int32_t SpiDllFile::Unload() {
    lastFault = SpiFault();
    ReleaseModuleGuarded();
    return 1;
}
