// The bulk section of a host and its runner: a named file mapping that
// either side replaces by a larger one of the next generation when a
// transfer needs more room (see remote/protocol.h). Header-only: the
// library and the runner both use it.
#ifndef SPIPROBE_PLUGIN_REMOTE_SECTION_H
#define SPIPROBE_PLUGIN_REMOTE_SECTION_H

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>

#include "remote/protocol.h"
#include "win32_handles.h"

namespace remote {

inline BOOL UnmapView(void* view) { return UnmapViewOfFile(view); }
using UniqueView = UniqueAny<void*, UnmapView>;

class Section {
public:
    // base: the name without the generation.
    explicit Section(std::wstring base) : base_(std::move(base)) {}

    // A new mapping of the generation with at least size bytes.
    bool Create(uint32_t generation, uint64_t size) {
        return Map(generation, size, true);
    }
    // Opens the generation the other side made, unless it is the current one.
    bool Follow(const SectionRef& ref) {
        if (view_.valid() && ref.generation == generation_) return true;
        return Map(ref.generation, ref.size, false);
    }
    // Makes sure size bytes fit, making the next generation when they do not.
    bool Reserve(uint64_t size) {
        if (view_.valid() && size <= size_) return true;
        uint64_t grown = size_ ? size_ : kFirstBulkSize;
        while (grown < size) grown *= 2;
        return Map(generation_ + 1, grown, true);
    }
    SectionRef Ref() const { return SectionRef{generation_, 0, size_}; }
    unsigned char* data() const { return static_cast<unsigned char*>(view_.get()); }
    uint64_t size() const { return size_; }
    void Close() {
        view_.reset();
        mapping_.reset();
        size_ = 0;
    }

private:
    bool Map(uint32_t generation, uint64_t size, bool create) {
        // A section the address space of either side cannot hold.
        if (size > SIZE_MAX / 2 || size > 0xFFFFFFFFull) return false;
        std::wstring name = base_ + L"-" + std::to_wstring(generation);
        UniqueKernelHandle mapping(
            create ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(size), name.c_str())
                   : OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str()));
        if (!mapping.valid()) return false;
        UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                      static_cast<SIZE_T>(size)));
        if (!view.valid()) return false;
        view_ = std::move(view);
        mapping_ = std::move(mapping);
        generation_ = generation;
        size_ = size;
        return true;
    }

    std::wstring base_;
    UniqueKernelHandle mapping_;
    UniqueView view_;
    uint32_t generation_ = 0;
    uint64_t size_ = 0;
};

}  // namespace remote

#endif
