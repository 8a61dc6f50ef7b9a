// Kernel handles a plug-in leaves behind: at each load and release of its
// module, and at each decode or extraction. They are counted in the
// system's handle table (kernel_handles.h), which works under Wine, where
// GetProcessHandleCount answers 0.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "checker.h"
#include "base/process_probes.h"

namespace {

constexpr int kLoadRounds = 300;
constexpr int kWarmUp = 5;

// "1.00 per load (300 handles after 300 loads and releases)"
std::string Rate(long growth, int rounds, const char* what, const char* after) {
    return Format("%.2f handles per %s (%ld left after %d %s)",
                  static_cast<double>(growth) / rounds, what, growth, rounds, after);
}

// The file offset of an RVA of a module of this build's bitness; 0 when
// no section holds it.
size_t FileOffset(const std::string& bytes, const IMAGE_NT_HEADERS& nt, size_t sectionsAt,
                  DWORD rva) {
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        size_t at = sectionsAt + i * sizeof(IMAGE_SECTION_HEADER);
        if (at + sizeof(IMAGE_SECTION_HEADER) > bytes.size()) break;
        IMAGE_SECTION_HEADER section;
        memcpy(&section, &bytes[at], sizeof section);
        DWORD size = section.Misc.VirtualSize ? section.Misc.VirtualSize : section.SizeOfRawData;
        if (rva >= section.VirtualAddress && rva < section.VirtualAddress + size)
            return rva - section.VirtualAddress + section.PointerToRawData;
    }
    return 0;
}

// Whether the module was built by GCC with its runtime linked in
// statically: it has GCC's unwind tables (an .eh_frame section) or its
// identification texts, and imports none of the runtime's DLLs (libgcc_s_*, libstdc++-*). Such a
// module's unwinder takes a kernel handle at each load that it never
// gives back.
bool LinksGccRuntimeStatically(const char* path) {
    UniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    if (!file.valid()) return false;
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (bytes.size() < (64u << 20) && ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) &&
           got > 0)
        bytes.append(chunk, got);
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS nt;
    if (bytes.size() < sizeof dos) return false;
    memcpy(&dos, bytes.data(), sizeof dos);
    size_t ntAt = static_cast<size_t>(dos.e_lfanew);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || ntAt + sizeof nt > bytes.size()) return false;
    memcpy(&nt, &bytes[ntAt], sizeof nt);
    if (nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC)
        return false;
    size_t sectionsAt = ntAt + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                        nt.FileHeader.SizeOfOptionalHeader;
    // A name longer than 8 bytes is "/N": offset N into the string table
    // after the symbols, as GCC's linker writes ".eh_frame".
    size_t strings = nt.FileHeader.PointerToSymbolTable +
                     static_cast<size_t>(nt.FileHeader.NumberOfSymbols) * 18;
    bool unwindTables = false;
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        size_t at = sectionsAt + i * sizeof(IMAGE_SECTION_HEADER);
        if (at + sizeof(IMAGE_SECTION_HEADER) > bytes.size()) break;
        std::string name(&bytes[at], strnlen(&bytes[at], 8));
        if (name.size() > 1 && name[0] == '/' && nt.FileHeader.PointerToSymbolTable) {
            size_t from = strings + strtoul(name.c_str() + 1, nullptr, 10);
            name = from < bytes.size() ? std::string(&bytes[from], strnlen(&bytes[from],
                                                                           bytes.size() - from))
                                       : std::string();
        }
        if (name == ".eh_frame") unwindTables = true;
    }
    // An x64 module's unwinder uses the system's tables: there GCC's
    // identification texts, which its objects carry, tell the compiler.
    if (!unwindTables && bytes.find("GCC: (GNU") == std::string::npos) return false;
    const IMAGE_DATA_DIRECTORY& imports =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t at = imports.VirtualAddress ? FileOffset(bytes, nt, sectionsAt, imports.VirtualAddress)
                                       : 0;
    for (; at && at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= bytes.size();
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR entry;
        memcpy(&entry, &bytes[at], sizeof entry);
        if (!entry.Name) break;
        size_t name = FileOffset(bytes, nt, sectionsAt, entry.Name);
        if (!name || name >= bytes.size()) continue;
        std::string dll(&bytes[name], strnlen(&bytes[name], bytes.size() - name));
        if (_strnicmp(dll.c_str(), "libgcc_s", 8) == 0 || _strnicmp(dll.c_str(), "libstdc++", 9) == 0)
            return false;
    }
    return true;
}

}  // namespace

void Checker::ResourceHandles(FileContext& context) {
    if (SampleCallLog(context) && SkippedForMemoryInput(context)) return;
    std::function<Outcome(SpiDllFile&)> call = SampleCall(context);
    if (!call) return;
    // Loads count only while no object holds the module (a load would
    // then just raise its reference count): it is given back first, and
    // the next call loads it again.
    ReleasePlugins();
    if (!loadsCounted_ && !plugin_.HoldsModule()) {
        loadsCounted_ = true;
        // Each round is what a host does to a plug-in it loads when needed:
        // load (DllMain, identification), release (detach).
        auto loadOnce = [&] {
            CallStarted("load and release (repeated)");
            {
                SpiDllFile probe(Resident);
                probe.Load(nullptr, plugin_.GetModulePath());
            }
            CallEnded();
        };
        for (int i = 0; i < kWarmUp; ++i) loadOnce();
        long before = KernelHandleCount();
        for (int i = 0; i < kLoadRounds; ++i) loadOnce();
        long after = KernelHandleCount();
        if (before >= 0 && after >= 0) loadHandleGrowth_ = after - before;
    }

    SpiDllFile& plugin = RoundsPlugin();
    for (int i = 0; i < kWarmUp; ++i)
        if (Outcome o = call(plugin); o.faulted) return Fail("a repeated call " + Describe(o));
    int rounds = options_.leakRounds;
    long before = KernelHandleCount();
    for (int i = 0; i < rounds; ++i)
        if (Outcome o = call(plugin); o.faulted)
            return Fail(Format("call %d of %d ", i + 1, rounds) + Describe(o));
    long after = KernelHandleCount();
    if (before < 0 || after < 0) return;  // no count to compare

    std::string fault;
    if (loadHandleGrowth_ >= kLoadRounds / 2) {
        fault = Rate(loadHandleGrowth_, kLoadRounds, "load", "loads and releases");
        // One semaphore per load for the unwinder's frame list, one more
        // for its per-thread exception state once the plug-in has thrown.
        if ((loadHandleGrowth_ == kLoadRounds || loadHandleGrowth_ == 2 * kLoadRounds) &&
            LinksGccRuntimeStatically(plugin_.GetModulePath()))
            fault += ", typical of a DLL that links libgcc's unwinder statically; see the README";
    }
    if (rounds > 0 && after - before >= rounds / 2)
        fault += (fault.empty() ? "" : "; ") + Rate(after - before, rounds, "call", "calls");
    if (fault.empty())
        Pass();
    else
        Fail(fault);
}
