// Prints what the fault guard and the residency modes cost per plug-in
// call, measured side by side in one run against a direct call through
// the same function pointer.
#include <windows.h>

#include <cstdio>

#include "fault_guard.h"
#include "base/proc_address.h"
#include "spi_dll_file.h"

namespace {

#if defined(_WIN64)
const char* const kPlugin = "bench_empty.sph";
#else
const char* const kPlugin = "bench_empty.spi";
#endif

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename Body>
double NanosecondsPerCall(int calls, Body body) {
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {  // best of five rounds
        double start = Seconds();
        for (int i = 0; i < calls; ++i) body();
        double ns = (Seconds() - start) * 1e9 / calls;
        if (ns < best) best = ns;
    }
    return best;
}

struct DirectCall {
    IsSupportedProc proc;
    char* sample;
};

void CallDirect(void* context) {
    DirectCall* call = static_cast<DirectCall*>(context);
    call->proc("bench", call->sample);
}

}  // namespace

int main() {
    static char sample[2048];
    SpiDllFile resident(Resident);
    if (!resident.Load(nullptr, kPlugin)) {
        fprintf(stderr, "cannot load %s (error %lu)\n", kPlugin, GetLastError());
        return 1;
    }
    IsSupportedProc proc = nullptr;
    ResolveExport(GetModuleHandleA(kPlugin), "IsSupported", &proc);
    IsSupportedProc volatile direct = proc;
    DirectCall context = {proc, sample};

    const int calls = 2000000;
    double directNs = NanosecondsPerCall(calls, [&] { direct("bench", sample); });
    double guardNs = NanosecondsPerCall(calls, [&] { RunGuarded(CallDirect, &context); });
    double residentNs = NanosecondsPerCall(calls, [&] { resident.IsSupported("bench", sample); });

    SpiDllFile onDemand(OnDemand);
    onDemand.Load(nullptr, kPlugin);
    resident.Unload();  // so each on-demand call really loads and releases
    double onDemandNs = NanosecondsPerCall(2000, [&] { onDemand.IsSupported("bench", sample); });
    double rawOnDemandNs = NanosecondsPerCall(2000, [&] {
        HMODULE module = LoadLibraryA(kPlugin);
        IsSupportedProc entry = nullptr;
        ResolveExport(module, "IsSupported", &entry);
        entry("bench", sample);
        FreeLibrary(module);
    });

    printf("Cost of one call to an export that does nothing (best of 5 rounds):\n");
    printf("  direct call through the function pointer   %8.2f ns\n", directNs);
    printf("  the same call inside the fault guard        %8.2f ns  (x%.2f, guard +%.2f ns)\n",
           guardNs, guardNs / directNs, guardNs - directNs);
    printf("  SpiDllFile::IsSupported, Resident           %8.2f ns  (x%.2f, +%.2f ns)\n",
           residentNs, residentNs / directNs, residentNs - directNs);
    printf("  LoadLibrary, call, FreeLibrary, unguarded   %8.0f ns\n", rawOnDemandNs);
    printf("  SpiDllFile::IsSupported, OnDemand           %8.0f ns  (x%.2f of the unguarded load,"
           " call and release)\n",
           onDemandNs, onDemandNs / rawOnDemandNs);
    return 0;
}
