#include "spi_file.h"

int32_t SpiFile::GetPluginInfo(int32_t, LPSTR, int32_t) { return SPI_NOT_IMPLEMENTED; }

int32_t SpiFile::IsSupported(LPCSTR, void*) { return SPI_NOT_IMPLEMENTED; }

int32_t SpiFile::ConfigurationDlg(HWND, int32_t) { return SPI_NOT_IMPLEMENTED; }

int32_t SpiFile::GetPictureInfo(LPCSTR, intptr_t, uint32_t, PictureInfo*) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetPicture(LPCSTR, intptr_t, uint32_t, HLOCAL*, HLOCAL*, ProgressCallback,
                            intptr_t) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetPreview(LPCSTR, intptr_t, uint32_t, HLOCAL*, HLOCAL*, ProgressCallback,
                            intptr_t) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetArchiveInfo(LPCSTR, intptr_t, uint32_t, HLOCAL*) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetFileInfo(LPCSTR, intptr_t, LPCSTR, uint32_t, fileInfo*) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetFile(LPCSTR, intptr_t, LPSTR, uint32_t, ProgressCallback, intptr_t) {
    return SPI_NOT_IMPLEMENTED;
}
