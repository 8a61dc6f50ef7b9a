// Measures what running a plug-in in a runner process costs, side by side
// in one run: the round trip of one call to an export that does nothing
// beside the same call in process (Resident and OnDemand); a 12 MB picture
// decoded through the runner beside the same decode in process, without
// and with a progress callback (one round trip per callback, and posted);
// and, one by one in this process, the steps a picture takes on its way
// back from a runner, so that the difference can be told apart.
//
// Prints one figure a line, "name value" (microseconds or milliseconds as
// the name says); scripts/runner-bench.sh sets the two bitnesses' figures
// side by side.
//
//   remote_bench.exe rounds N
// instead decodes the 12 MB picture N times each way, in process and
// through the runner (without a callback, then with one posted) one after
// the other, and prints every round's times and their ratios: on a busy
// machine the ratio of one round is steadier than the best of each way.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/process_probes.h"
#include "remote/section.h"
#include "spiplugin.h"

namespace {

#if defined(_WIN64)
const char* const kEmpty = "bench_empty.sph";
const char* const kBmp = "bmp.sph";
#else
const char* const kEmpty = "bench_empty.spi";
const char* const kBmp = "bmp.spi";
#endif

const int kSide = 2048;
const size_t kPixels = static_cast<size_t>(kSide) * kSide * 3;

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

// Milliseconds of one run of the body, best of five; set() runs before
// each, untimed.
template <typename Set, typename Body>
double BestMs(Set set, Body body) {
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        set();
        double start = Seconds();
        body();
        double ms = (Seconds() - start) * 1e3;
        if (ms < best) best = ms;
    }
    return best;
}

// A 2048 x 2048 24-bit bitmap: 12 MB of pixels.
bool WriteLargeBitmap(const char* name) {
    const int row = kSide * 3;
    std::vector<unsigned char> file(54 + static_cast<size_t>(row) * kSide);
    BITMAPFILEHEADER* head = reinterpret_cast<BITMAPFILEHEADER*>(file.data());
    head->bfType = 0x4D42;
    head->bfSize = static_cast<DWORD>(file.size());
    head->bfOffBits = 54;
    BITMAPINFOHEADER* info = reinterpret_cast<BITMAPINFOHEADER*>(file.data() + 14);
    info->biSize = 40;
    info->biWidth = kSide;
    info->biHeight = kSide;
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

// One decode of the file, in ms; -1 when it fails.
template <typename Plugin>
double OneDecodeMs(Plugin& plugin, const char* name, ProgressCallback progress, int* calls) {
    HLOCAL info = nullptr, bits = nullptr;
    double start = Seconds();
    int32_t result = plugin.GetPicture(name, 0, 0, &info, &bits, progress,
                                       reinterpret_cast<intptr_t>(calls));
    double ms = (Seconds() - start) * 1e3;
    FreeLiveLocal(info);
    FreeLiveLocal(bits);
    return result == 0 ? ms : -1;
}

// The best of 5 decodes; -1 when one fails.
template <typename Plugin>
double DecodeMs(Plugin& plugin, const char* name, ProgressCallback progress, int* calls) {
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        double ms = OneDecodeMs(plugin, name, progress, calls);
        if (ms < 0) return -1;
        if (ms < best) best = ms;
    }
    return best;
}

// A fresh block of 12 MB with the bytes.
HLOCAL BlockOf(const unsigned char* bytes) {
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, kPixels);
    LocalLockScope lock(block);
    if (lock.data()) memcpy(lock.data(), bytes, kPixels);
    return block;
}

// The steps of a picture's way back from a runner, each on its own, with
// 12 MB as the plug-in's block.
void PrintSteps() {
    std::vector<unsigned char> pixels(kPixels, 0x5A);
    HLOCAL block = nullptr;
    printf("step_plugin_block_ms %.2f\n",
           BestMs([&] { FreeLiveLocal(block); }, [&] { block = BlockOf(pixels.data()); }));
    // The walk of every heap, with the plug-in's block still live.
    printf("step_heap_walk_ms %.2f\n", BestMs([] {}, [] { EveryHeapIntact(); }));
    uint32_t generation = 0;
    remote::Section fresh(L"remote-bench-steps-" + std::to_wstring(GetCurrentProcessId()));
    printf("step_fresh_section_ms %.2f\n",
           BestMs([&] { fresh.Close(); },
                  [&] {
                      if (fresh.Create(++generation, kPixels))
                          memcpy(fresh.data(), pixels.data(), kPixels);
                  }));
    printf("step_kept_section_ms %.2f\n",
           BestMs([] {}, [&] { memcpy(fresh.data(), pixels.data(), kPixels); }));
    printf("step_free_plugin_block_ms %.2f\n",
           BestMs([&] {
                      FreeLiveLocal(block);
                      block = LocalAlloc(LMEM_MOVEABLE, kPixels);
                      LocalLockScope lock(block);
                      if (lock.data()) memset(lock.data(), 1, kPixels);
                  },
                  [&] {
                      LocalFree(block);
                      block = nullptr;
                  }));
    HLOCAL host = nullptr;
    printf("step_host_block_ms %.2f\n",
           BestMs([&] { FreeLiveLocal(host); }, [&] { host = BlockOf(fresh.data()); }));
    FreeLiveLocal(host);
}

// The 12 MB picture written and the plug-in loaded both ways.
bool SetUpDecode(const char* large, SpiDllFile& local, SpiRemoteFile& decoder) {
    if (WriteLargeBitmap(large) && local.Load(nullptr, kBmp) && decoder.Load(nullptr, kBmp))
        return true;
    fprintf(stderr, "cannot set up the 12 MB decode (error %lu)\n", GetLastError());
    return false;
}

// The 12 MB decode N times each way, every round printed.
int PrintRounds(int rounds) {
    const char* large = "remote_bench_12mb.bmp";
    SpiDllFile local(Resident);
    SpiRemoteFile decoder;
    if (!SetUpDecode(large, local, decoder)) return 1;
    int calls = 0;
    auto once = [&](auto& plugin, ProgressCallback progress) {
        return OneDecodeMs(plugin, large, progress, &calls);
    };
    // The first call of each way (the runner's start, its section's
    // growth) is not counted.
    once(local, nullptr);
    once(decoder, nullptr);
    for (int round = 1; round <= rounds; ++round) {
        double localMs = once(local, nullptr);
        decoder.SetPostedProgress(false);
        double runnerMs = once(decoder, nullptr);
        double localProgressMs = once(local, GoOn);
        decoder.SetPostedProgress(true);
        double postedMs = once(decoder, GoOn);
        if (localMs < 0 || runnerMs < 0 || localProgressMs < 0 || postedMs < 0) {
            fprintf(stderr, "a 12 MB decode failed\n");
            return 1;
        }
        printf("round %d local %.2f runner %.2f x%.2f local_progress %.2f posted %.2f x%.2f\n",
               round, localMs, runnerMs, runnerMs / localMs, localProgressMs, postedMs,
               postedMs / localProgressMs);
    }
    DeleteFileA(large);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "rounds") == 0) return PrintRounds(atoi(argv[2]));
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
    if (!SetUpDecode(large, local, decoder)) return 1;
    int localCalls = 0, roundTripCalls = 0, postedCalls = 0, ignored = 0;
    double localMs = DecodeMs(local, large, nullptr, &ignored);
    double remoteMs = DecodeMs(decoder, large, nullptr, &ignored);
    double localProgressMs = DecodeMs(local, large, GoOn, &localCalls);
    double roundTripMs = DecodeMs(decoder, large, GoOn, &roundTripCalls);
    decoder.SetPostedProgress(true);
    double postedMs = DecodeMs(decoder, large, GoOn, &postedCalls);
    DeleteFileA(large);
    if (localMs < 0 || remoteMs < 0 || localProgressMs < 0 || roundTripMs < 0 || postedMs < 0) {
        fprintf(stderr, "a 12 MB decode failed\n");
        return 1;
    }

    printf("empty_resident_us %.3f\n", residentUs);
    printf("empty_ondemand_us %.3f\n", onDemandUs);
    printf("empty_runner_us %.3f\n", remoteUs);
    printf("picture_local_ms %.2f\n", localMs);
    printf("picture_runner_ms %.2f\n", remoteMs);
    printf("progress_local_ms %.2f\n", localProgressMs);
    printf("progress_round_trip_ms %.2f\n", roundTripMs);
    printf("progress_posted_ms %.2f\n", postedMs);
    printf("callbacks_local %d\n", localCalls / 5);
    printf("callbacks_round_trip %d\n", roundTripCalls / 5);
    printf("callbacks_posted %d\n", postedCalls / 5);
    PrintSteps();
    return 0;
}
