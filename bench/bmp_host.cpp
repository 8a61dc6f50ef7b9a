// A minimal host of an image plug-in: for every file it makes the calls
// spiprobe makes (IsSupported on the open file, on a sample of it in the
// x64 build, GetPictureInfo and GetPicture by name), directly, with no
// fault guard and no reports.
//
//   bmp_host.exe ondemand|resident PLUGIN FILE...
//
// ondemand loads and releases the module around every call, as spiprobe's
// on-demand residency does; resident keeps it loaded for the whole run.
// Prints the number of pictures decoded; exit status 1 when any failed.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "base/proc_address.h"
#include "spi_api.h"

namespace {

class Plugin {
public:
    Plugin(const char* path, bool resident) : path_(path), resident_(resident) {
        if (resident_) module_ = LoadLibraryA(path_);
    }
    ~Plugin() {
        if (module_) FreeLibrary(module_);
    }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // Calls the export through body(entry point), loading the module first
    // and releasing it afterwards unless it stays resident. -1 when the
    // module or the export is missing.
    template <typename Proc, typename Body>
    int32_t Call(const char* name, Body body) {
        HMODULE module = resident_ ? module_ : LoadLibraryA(path_);
        if (!module) return -1;
        Proc entry = nullptr;
        ResolveExport(module, name, &entry);
        const int32_t result = entry ? body(entry) : -1;
        if (!resident_) FreeLibrary(module);
        return result;
    }

private:
    const char* path_;
    bool resident_;
    HMODULE module_ = nullptr;
};

bool TestFile(Plugin& plugin, const char* name) {
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
#if defined(_WIN64)
    // A 64-bit host hands the support check a sample, never a file handle.
    char sample[SPI_SAMPLE_SIZE] = {};
    DWORD got = 0;
    ReadFile(file, sample, sizeof sample, &got, nullptr);
    void* probed = sample;
#else
    void* probed = file;
#endif
    const int32_t supported = plugin.Call<IsSupportedProc>(
        "IsSupported", [&](IsSupportedProc proc) { return proc(name, probed); });
    CloseHandle(file);
    if (!supported) return false;

    PictureInfo info = {};
    plugin.Call<GetPictureInfoProc>("GetPictureInfo", [&](GetPictureInfoProc proc) {
        return proc(name, 0, SPI_INPUT_FILE, &info);
    });
    HLOCAL header = nullptr, bits = nullptr;
    const int32_t result = plugin.Call<GetPictureProc>("GetPicture", [&](GetPictureProc proc) {
        return proc(name, 0, SPI_INPUT_FILE, &header, &bits, nullptr, 0);
    });
    if (result != SPI_SUCCESS) return false;
    if (bits) LocalFree(bits);
    if (header) LocalFree(header);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || (strcmp(argv[1], "ondemand") != 0 && strcmp(argv[1], "resident") != 0)) {
        fprintf(stderr, "usage: bmp_host ondemand|resident PLUGIN FILE...\n");
        return 2;
    }
    Plugin plugin(argv[2], strcmp(argv[1], "resident") == 0);
    char version[16] = {};
    plugin.Call<GetPluginInfoProc>("GetPluginInfo", [&](GetPluginInfoProc proc) {
        return proc(0, version, sizeof version);
    });
    int decoded = 0;
    for (int i = 3; i < argc; ++i) decoded += TestFile(plugin, argv[i]) ? 1 : 0;
    printf("%d of %d decoded\n", decoded, argc - 3);
    return decoded == argc - 3 ? 0 : 1;
}
