#include "file_bytes.h"

#include <cstdio>

bool ReadBytes(const std::string& path, std::string* bytes) {
    FILE* in = fopen(path.c_str(), "rb");
    if (!in) return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) bytes->append(chunk, n);
    fclose(in);
    return true;
}

bool SaveBytes(const std::string& path, const std::string& bytes) {
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return fclose(out) == 0 && ok;
}
