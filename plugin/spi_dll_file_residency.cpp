// SpiDllFile: its residency, how the module is held between calls: the
// decision after Load, loading around a call, the entry points of a held
// module, and every release.
#include <cstring>

#include "base/proc_address.h"
#include "spi_dll_file.h"
#include "win32_handles.h"

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

// The one export resolution, for identification and for every reload: an
// OnDemand module holds the same entry points during a call as a Resident
// one of its kind. The entry points the kind never calls stay null (the
// kind check of every operation stops before them anyway).
void SpiDllFile::ResolveEntryPoints() {
#define SPI_RESOLVE(name, kinds, text) \
    if (KindCalls(kind, SpiExport::name)) ResolveExport(module, #name, &p##name);
    SPI_EXPORT_LIST(SPI_RESOLVE)
#undef SPI_RESOLVE
}

HMODULE SpiDllFile::DetachModule() {
    HMODULE held = module;
    module = nullptr;
#define SPI_CLEAR(name, kinds, text) p##name = nullptr;
    SPI_EXPORT_LIST(SPI_CLEAR)
#undef SPI_CLEAR
    return held;
}

// Both releases clear the object before the module's unload code runs, so
// a fault in that code leaves it consistent.
void SpiDllFile::ReleaseModuleGuarded() {
    HMODULE held = DetachModule();
    if (!held) return;
    auto release = [held] { FreeLibrary(held); };
    RunInModule(release);
}

void SpiDllFile::ReleaseModule() { UniqueModule released(DetachModule()); }
