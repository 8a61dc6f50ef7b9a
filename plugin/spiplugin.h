// The plug-in access library: include this one header and link spiplugin.
#ifndef SPIPROBE_PLUGIN_SPIPLUGIN_H
#define SPIPROBE_PLUGIN_SPIPLUGIN_H

#include "spi_api.h"
#include "spi_file.h"
#include "spi_dll_file.h"
#include "remote/spi_remote_file.h"
#include "spi_input_stream.h"
#include "handle_ref_table.h"
#include "spi_output_stream.h"
#include "registry.h"
#include "spi_files_manage.h"

#endif
