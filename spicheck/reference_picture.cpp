#include "reference_picture.h"

#include <windows.h>

#include <cstring>

#include "report.h"
#include "win32_handles.h"

ReferenceRead ReadReferencePicture(const std::string& path, RgbPicture* picture,
                                   std::string* reason) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return ReferenceRead::Missing;
        *reason = Format("cannot open it (error %lu)", static_cast<unsigned long>(error));
        return ReferenceRead::Refused;
    }
    DWORD high = 0;
    DWORD size = GetFileSize(file.get(), &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        *reason = Format("cannot tell its size (error %lu)", GetLastError());
        return ReferenceRead::Refused;
    }
    if (high || size > kMaxReferenceBytes) {
        *reason = Format("it is larger than %lu MB", kMaxReferenceBytes >> 20);
        return ReferenceRead::Refused;
    }
    std::string bytes(size, '\0');
    DWORD got = 0;
    if (size && (!ReadFile(file.get(), &bytes[0], size, &got, nullptr) || got != size)) {
        *reason = Format("cannot read it (error %lu)", GetLastError());
        return ReferenceRead::Refused;
    }

    BITMAPFILEHEADER head;
    if (bytes.size() < sizeof head || bytes.compare(0, 2, "BM") != 0) {
        *reason = "it is no bitmap file";
        return ReferenceRead::Refused;
    }
    memcpy(&head, bytes.data(), sizeof head);
    if (head.bfOffBits < sizeof head || head.bfOffBits > bytes.size()) {
        *reason = Format("its pixels would start at byte %lu of %u",
                         static_cast<unsigned long>(head.bfOffBits),
                         static_cast<unsigned>(bytes.size()));
        return ReferenceRead::Refused;
    }
    if (bytes.size() >= sizeof head + 4 && static_cast<unsigned char>(bytes[14]) == 12 &&
        bytes.compare(15, 3, std::string(3, '\0')) == 0) {
        *reason = "it has the 12-byte header of an OS/2 bitmap, which is not read";
        return ReferenceRead::Refused;
    }
    // The information block is what lies between the file header and the
    // pixels; BitmapToRgb keeps every read within it and within the pixels.
    const char* info = bytes.data() + sizeof head;
    const char* pixels = bytes.data() + head.bfOffBits;
    std::string fault = BitmapToRgb(info, head.bfOffBits - sizeof head, pixels,
                                    bytes.size() - head.bfOffBits, picture);
    if (!fault.empty()) {
        *reason = fault;
        return ReferenceRead::Refused;
    }
    return ReferenceRead::Read;
}
