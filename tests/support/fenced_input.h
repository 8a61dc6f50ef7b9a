// Input given to a plug-in from memory, placed so that the byte after it is
// the first byte of a no-access page: a plug-in that reads past the input
// faults, and the guarded call answers 8, instead of reading whatever
// follows.
#ifndef SPIPROBE_TESTS_FENCED_INPUT_H
#define SPIPROBE_TESTS_FENCED_INPUT_H

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

class FencedInput {
public:
    explicit FencedInput(const std::string& bytes) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        const size_t body = (bytes.size() + page - 1) / page * page;
        base_ = static_cast<char*>(
            VirtualAlloc(nullptr, body + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (!base_ || !VirtualProtect(base_ + body, page, PAGE_NOACCESS, &old)) return;
        data_ = base_ + body - bytes.size();
        if (!bytes.empty()) memcpy(data_, bytes.data(), bytes.size());
        size_ = static_cast<int32_t>(bytes.size());
    }
    ~FencedInput() {
        if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    }
    FencedInput(const FencedInput&) = delete;
    FencedInput& operator=(const FencedInput&) = delete;

    // Null when no fenced memory could be had.
    const char* data() const { return data_; }
    int32_t size() const { return size_; }

private:
    char* base_ = nullptr;
    char* data_ = nullptr;
    int32_t size_ = 0;
};

#endif
