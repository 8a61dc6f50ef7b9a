// The plug-in access library: include this one header and link spiplugin.
#ifndef SPIPROBE_PLUGIN_SPIPLUGIN_H
#define SPIPROBE_PLUGIN_SPIPLUGIN_H

#include "spi_api.h"
#include "spi_file.h"
#include "spi_dll_file.h"

#endif
