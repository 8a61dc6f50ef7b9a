// The check of a file that belongs to no kind: reading it.
#include <cstring>

#include "checker.h"
#include "names.h"

namespace {

bool ReadWholeFile(const std::string& name, std::string* bytes, DWORD* error) {
    UniqueFile file(CreateFileW(WideName(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) {
        *error = GetLastError();
        return false;
    }
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
            *error = GetLastError();
            return false;
        }
        if (got == 0) return true;
        bytes->append(chunk, got);
    }
}

}  // namespace

LPCSTR FileContext::MemorySource() {
    if (!memory) {
        memory.reset(new EdgeBuffer(file.bytes.size()));
        memcpy(memory->data(), file.bytes.data(), file.bytes.size());
    }
    return reinterpret_cast<LPCSTR>(memory->data());
}

void Checker::FileRead(FileContext& context) {
    DWORD error = 0;
    InputFile& file = context.file;
    if (!ReadWholeFile(file.name, &file.bytes, &error)) {
        Fail(Format("cannot read the file (error %lu)", error));
        context.stopped = true;
        return;
    }
    file.ansi = AnsiPathFor(file.name);
    if (file.ansi.empty()) {
        // No spelling and no short name in the ANSI code page: the ANSI
        // calls get a copy under a name of our own, with the extension
        // where it has a spelling.
        std::string extension, base = BaseName(file.name);
        size_t dot = base.find_last_of('.');
        if (dot == std::string::npos || !AnsiName(base.substr(dot), &extension)) extension.clear();
        file.copy = TempPath(("copy" + extension).c_str());
        if (CopyFileW(WideName(file.name).c_str(), WideName(file.copy).c_str(), FALSE))
            file.ansi = file.copy;
        else
            file.copy.clear();
    }
    if (!AnsiName(BaseName(file.name), &file.ansiBase)) file.ansiBase = BaseName(file.ansi);
}
