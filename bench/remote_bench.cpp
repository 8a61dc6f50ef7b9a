// Prints what running a plug-in in a runner process costs, side by side in
// one run: the round trip of one call to an export that does nothing
// beside the same call in process (Resident and OnDemand), and a 12 MB
// picture decoded through the runner beside the same decode in process.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "spiplugin.h"

namespace {

#if defined(_WIN64)
const char* const kEmpty = "bench_empty.sph";
const char* const kBmp = "bmp.sph";
#else
const char* const kEmpty = "bench_empty.spi";
const char* const kBmp = "bmp.spi";
#endif

double Seconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Microseconds per call, best of five rounds.
template <typename Body>
double MicrosecondsPerCall(int calls, Body body) {
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        double start = Seconds();
        for (int i = 0; i < calls; ++i) body();
        double us = (Seconds() - start) * 1e6 / calls;
        if (us < best) best = us;
    }
    return best;
}

// A 2048 x 2048 24-bit bitmap: 12 MB of pixels.
bool WriteLargeBitmap(const char* name) {
    const int side = 2048, row = side * 3;
    std::vector<unsigned char> file(54 + static_cast<size_t>(row) * side);
    BITMAPFILEHEADER* head = reinterpret_cast<BITMAPFILEHEADER*>(file.data());
    head->bfType = 0x4D42;
    head->bfSize = static_cast<DWORD>(file.size());
    head->bfOffBits = 54;
    BITMAPINFOHEADER* info = reinterpret_cast<BITMAPINFOHEADER*>(file.data() + 14);
    info->biSize = 40;
    info->biWidth = side;
    info->biHeight = side;
    info->biPlanes = 1;
    info->biBitCount = 24;
    for (size_t n = 54; n < file.size(); ++n) file[n] = static_cast<unsigned char>(n * 7);
    UniqueFile out(CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return out.valid() && WriteFile(out.get(), file.data(), static_cast<DWORD>(file.size()),
                                    &written, nullptr) &&
           written == file.size();
}

int32_t SPI_API GoOn(int32_t, int32_t, intptr_t data) {
    ++*reinterpret_cast<int*>(data);
    return 0;
}

template <typename Plugin>
double DecodeMs(Plugin& plugin, const char* name, ProgressCallback progress, int* calls) {
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        HLOCAL info = nullptr, bits = nullptr;
        double start = Seconds();
        int32_t result = plugin.GetPicture(name, 0, 0, &info, &bits, progress,
                                           reinterpret_cast<intptr_t>(calls));
        double ms = (Seconds() - start) * 1e3;
        FreeLiveLocal(info);
        FreeLiveLocal(bits);
        if (result != 0) return -1;
        if (ms < best) best = ms;
    }
    return best;
}

}  // namespace

int main() {
    static char sample[SPI_SAMPLE_SIZE];
    SpiDllFile resident(Resident), onDemand(OnDemand);
    SpiRemoteFile remote;
    if (!resident.Load(nullptr, kEmpty) || !onDemand.Load(nullptr, kEmpty) ||
        !remote.Load(nullptr, kEmpty)) {
        fprintf(stderr, "cannot load %s (error %lu)\n", kEmpty, GetLastError());
        return 1;
    }
    double residentUs = MicrosecondsPerCall(200000, [&] { resident.IsSupported("b", sample); });
    double remoteUs = MicrosecondsPerCall(2000, [&] { remote.IsSupported("b", sample); });
    resident.Unload();  // so each on-demand call really loads and releases
    double onDemandUs = MicrosecondsPerCall(500, [&] { onDemand.IsSupported("b", sample); });
    remote.Unload();

    const char* large = "remote_bench_12mb.bmp";
    SpiDllFile local(Resident);
    SpiRemoteFile decoder;
    if (!WriteLargeBitmap(large) || !local.Load(nullptr, kBmp) || !decoder.Load(nullptr, kBmp)) {
        fprintf(stderr, "cannot set up the 12 MB decode (error %lu)\n", GetLastError());
        return 1;
    }
    int localCalls = 0, remoteCalls = 0;
    double localMs = DecodeMs(local, large, nullptr, &localCalls);
    double remoteMs = DecodeMs(decoder, large, nullptr, &remoteCalls);
    double localProgressMs = DecodeMs(local, large, GoOn, &localCalls);
    double remoteProgressMs = DecodeMs(decoder, large, GoOn, &remoteCalls);
    DeleteFileA(large);

    printf("One call to an export that does nothing (best of 5 rounds):\n");
    printf("  in process, Resident                  %9.3f us\n", residentUs);
    printf("  in process, OnDemand                  %9.3f us\n", onDemandUs);
    printf("  through the runner (round trip)       %9.3f us  (x%.0f of Resident, x%.2f of "
           "OnDemand)\n",
           remoteUs, remoteUs / residentUs, remoteUs / onDemandUs);
    printf("A 2048 x 2048 24-bit picture, 12 MB (best of 5):\n");
    printf("  in process                            %9.1f ms\n", localMs);
    printf("  through the runner                    %9.1f ms  (x%.2f of in process)\n", remoteMs,
           remoteMs / localMs);
    printf("  in process, with a progress callback  %9.1f ms  (%d callbacks a decode)\n",
           localProgressMs, localCalls / 5);
    printf("  through the runner, with the callback %9.1f ms  (x%.2f; one round trip each)\n",
           remoteProgressMs, remoteProgressMs / localProgressMs);
    return 0;
}
