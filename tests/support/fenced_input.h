// Input given to a plug-in from memory, placed so that the byte after it is
// the first byte of a no-access page: a plug-in that reads past the input
// faults, and the guarded call answers 8, instead of reading whatever
// follows.
#ifndef SPIPROBE_TESTS_FENCED_INPUT_H
#define SPIPROBE_TESTS_FENCED_INPUT_H

#include <cstdint>
#include <cstring>
#include <string>

#include "base/fenced_buffer.h"

class FencedInput {
public:
    explicit FencedInput(const std::string& bytes) : buffer_(bytes.size()) {
        if (buffer_.ok() && !bytes.empty()) memcpy(buffer_.data(), bytes.data(), bytes.size());
    }

    // Null when no fenced memory could be had.
    const char* data() const { return buffer_.chars(); }
    int32_t size() const { return buffer_.ok() ? static_cast<int32_t>(buffer_.size()) : 0; }

private:
    FencedBuffer buffer_;
};

#endif
