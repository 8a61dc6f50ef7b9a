// A plug-in's information texts, as the tests of a plug-in compare them.
#ifndef SPIPROBE_TESTS_PLUGIN_INFO_TEXTS_H
#define SPIPROBE_TESTS_PLUGIN_INFO_TEXTS_H

#include <cstring>
#include <string>
#include <vector>

#include "spi_file.h"

// The texts of info numbers 0, 1, ... up to the first one that answers 0
// (64 at the most), each asked for with a 256-byte buffer.
inline std::vector<std::string> InfoTexts(SpiFile& plugin) {
    std::vector<std::string> texts;
    char text[256];
    for (int32_t n = 0; n < 64 && plugin.GetPluginInfo(n, text, sizeof text) != 0; ++n)
        texts.push_back(text);
    return texts;
}

// A buffer of 'x' bytes after GetPluginInfo(infono) was given its first
// `size` ones: those and the one after them, so that a text cut to fit,
// its terminator and nothing written past the size can be seen at once.
inline std::string InfoInShortBuffer(SpiFile& plugin, int32_t infono, int32_t size) {
    std::string buffer(static_cast<size_t>(size) + 1, 'x');
    plugin.GetPluginInfo(infono, &buffer[0], size);
    return buffer;
}

#endif
