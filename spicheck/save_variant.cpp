#include "save_variant.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "checker.h"
#include "file_walk.h"
#include "names.h"

namespace {

bool ReadAllBytes(const std::string& name, std::string* bytes) {
    UniqueFile file(CreateFileW(WideName(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) return false;
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return false;
        if (got == 0) return true;
        bytes->append(chunk, got);
    }
}

}  // namespace

int SaveVariants(const Options& options) {
    std::vector<std::string> files;
    for (const std::string& argument : options.files) ExpandArgument(argument, &files);
    std::string folder = options.saveDir.empty() ? std::string(".") : options.saveDir;
    CreateDirectoryA(folder.c_str(), nullptr);
    int status = 0;
    for (const std::string& name : files) {
        std::string bytes;
        if (!ReadAllBytes(name, &bytes)) {
            fprintf(stderr, "spicheck: cannot read %s (error %lu)\n", ShownName(name).c_str(),
                    GetLastError());
            status = 2;
            continue;
        }
        // The extension stays last: plug-ins may go by it.
        std::string base = BaseName(name), extension;
        size_t dot = base.find_last_of('.');
        if (dot != std::string::npos && dot > 0) {
            extension = base.substr(dot);
            base.erase(dot);
        }
        std::string path = folder + "\\" + base +
                           Format("-variant-%d-seed-%lu", options.saveVariant,
                                  static_cast<unsigned long>(options.seed)) +
                           extension;
        if (!SaveBytes(path, FuzzVariant(bytes, options.seed, options.saveVariant))) {
            fprintf(stderr, "spicheck: cannot write %s (error %lu)\n", ShownName(path).c_str(),
                    GetLastError());
            status = 2;
            continue;
        }
        printf("%s\n", ShownName(path).c_str());
    }
    return status;
}
