#include "reports.h"

void TestFile(SpiDllFile&, const char*) {}

void TestImage(SpiDllFile&, const char*) {}

int32_t SPI_API ShowProgress(int32_t, int32_t, int32_t) { return 0; }
