#include "reports.h"

void TestArchive(SpiDllFile&, const char*) {}
