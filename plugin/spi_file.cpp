#include "spi_file.h"

int32_t SpiFile::GetPluginInfo(int32_t, LPSTR, int32_t) { return SPI_NOT_IMPLEMENTED; }

int32_t SpiFile::IsSupported(LPCSTR, void*) { return SPI_NOT_IMPLEMENTED; }

int32_t SpiFile::ConfigurationDlg(HWND, int32_t) { return SPI_NOT_IMPLEMENTED; }

int32_t SpiFile::GetPictureInfo(LPCSTR, int32_t, uint32_t, PictureInfo*) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetPicture(LPCSTR, int32_t, uint32_t, HLOCAL*, HLOCAL*, ProgressCallback,
                            int32_t) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetPreview(LPCSTR, int32_t, uint32_t, HLOCAL*, HLOCAL*, ProgressCallback,
                            int32_t) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetArchiveInfo(LPCSTR, int32_t, uint32_t, HLOCAL*) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetFileInfo(LPCSTR, int32_t, LPCSTR, uint32_t, fileInfo*) {
    return SPI_NOT_IMPLEMENTED;
}

int32_t SpiFile::GetFile(LPCSTR, int32_t, LPSTR, uint32_t, ProgressCallback, int32_t) {
    return SPI_NOT_IMPLEMENTED;
}
