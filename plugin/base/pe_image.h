// The bitness of a PE image on disk, read from its header's Machine field
// without loading it (a module of the other bitness cannot be loaded).
#ifndef SPIPROBE_PLUGIN_BASE_PE_IMAGE_H
#define SPIPROBE_PLUGIN_BASE_PE_IMAGE_H

// 32 for an i386 image, 64 for an x86-64 one, 0 for anything else
// (including a file that cannot be read).
int PeImageBits(const char* path);

#endif
