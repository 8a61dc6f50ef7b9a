#include "reports.h"

void ReportPluginInfo(SpiDllFile&) {}

void OpenConfigurationDlg(SpiDllFile&) {}
