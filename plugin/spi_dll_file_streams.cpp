// SpiDllFile: stream-level operations (placeholder until data sources land).
#include "spi_dll_file.h"

int32_t SPI_API NullProgress(int32_t, int32_t, int32_t) { return 0; }

int32_t SpiDllFile::IsSupportedStream(SpiInputStream&) { return -1; }
int32_t SpiDllFile::GetPictureStream(SpiInputStream&, HLOCAL*, HLOCAL*, ProgressCallback, int32_t) { return -1; }
int32_t SpiDllFile::GetPreviewStream(SpiInputStream&, HLOCAL*, HLOCAL*, ProgressCallback, int32_t) { return -1; }
int32_t SpiDllFile::GetArchiveInfoStream(SpiInputStream&, HLOCAL*) { return -1; }
int32_t SpiDllFile::GetArchiveList(SpiInputStream&, fileInfo**) { return -1; }
int32_t SpiDllFile::GetFileInfoStream(SpiInputStream&, LPCSTR, uint32_t, fileInfo*) { return -1; }
int32_t SpiDllFile::GetFileToMemory(SpiInputStream&, const fileInfo*, HLOCAL*, ProgressCallback, int32_t) { return -1; }
int32_t SpiDllFile::GetFileToDisk(SpiInputStream&, const fileInfo*, LPCSTR, ProgressCallback, int32_t) { return -1; }
int32_t SpiDllFile::OpenMember(SpiInputStream&, LPCSTR, LPCSTR*) { return -1; }
