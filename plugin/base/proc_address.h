// Resolves a module's export into a typed entry point. The one place that
// casts a FARPROC; the detour through void* keeps -Wcast-function-type quiet.
#ifndef SPIPROBE_PLUGIN_BASE_PROC_ADDRESS_H
#define SPIPROBE_PLUGIN_BASE_PROC_ADDRESS_H

#include <windows.h>

// Sets *entry to the export's address, or null when the module lacks it.
template <typename Proc>
void ResolveExport(HMODULE module, const char* name, Proc* entry) {
    FARPROC address = GetProcAddress(module, name);
    *entry = reinterpret_cast<Proc>(reinterpret_cast<void*>(address));
}

#endif
