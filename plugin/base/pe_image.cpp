#include "pe_image.h"

#include <windows.h>

#include <cstring>

#include "win32_handles.h"

int PeImageBits(const char* path) {
    UniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) return 0;
    unsigned char dos[64];
    DWORD got = 0;
    if (!ReadFile(file.get(), dos, sizeof dos, &got, nullptr) || got != sizeof dos ||
        dos[0] != 'M' || dos[1] != 'Z')
        return 0;
    LONG peOffset = dos[60] | dos[61] << 8 | dos[62] << 16 | static_cast<LONG>(dos[63]) << 24;
    unsigned char pe[6];
    if (peOffset < 0 || SetFilePointer(file.get(), peOffset, nullptr, FILE_BEGIN) ==
                            INVALID_SET_FILE_POINTER ||
        !ReadFile(file.get(), pe, sizeof pe, &got, nullptr) || got != sizeof pe ||
        memcmp(pe, "PE\0\0", 4) != 0)
        return 0;
    switch (pe[4] | pe[5] << 8) {
        case 0x014C: return 32;
        case 0x8664: return 64;
    }
    return 0;
}
