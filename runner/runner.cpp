// spirunner32.exe / spirunner64.exe: runs one plug-in for a host process.
//
//   spirunner32.exe <pipe name> <section base name> <host process id>
//
// The host (SpiRemoteFile) starts it; it connects to the host's pipe and
// serves one call at a time with the library's own guarded SpiDllFile,
// kept Resident, until the pipe closes. Whatever the plug-in does to this
// process ends here: a fault the guard cannot catch ends the runner
// through the unhandled-exception filter (the code is left in the control
// section for the host), a heap the call damaged ends it after the answer,
// and ExitProcess or a call that never returns is seen by the host, which
// then ends it. A runner whose host has gone ends itself, even in the
// middle of a call.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "remote_protocol.h"
#include "remote_section.h"
#include "spi_dll_file.h"
#include "canary_buffer.h"
#include "heap_walk.h"
#include "win32_handles.h"

namespace {

using remote::Answer;
using remote::Op;
using remote::Request;

struct Runner {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    remote::Section* bulk = nullptr;
    remote::Crash* crash = nullptr;  // in the control section
    uint64_t callId = 0;
};
Runner runner;

void EndNow(DWORD code) { TerminateProcess(GetCurrentProcess(), code); }

LONG WINAPI LastChance(EXCEPTION_POINTERS* pointers) {
    if (runner.crash && pointers && pointers->ExceptionRecord) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        runner.crash->code = record->ExceptionCode;
        runner.crash->instruction = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
        runner.crash->access = -1;
        if ((record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
             record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
            record->NumberParameters >= 2) {
            runner.crash->access = static_cast<int32_t>(record->ExceptionInformation[0]);
            runner.crash->address = record->ExceptionInformation[1];
        }
        runner.crash->magic = remote::kCrashMagic;
    }
    EndNow(remote::kExitUnhandledException);
    return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI WatchHost(void* process) {
    WaitForSingleObject(process, INFINITE);
    EndNow(remote::kExitHostGone);
    return 0;
}

bool ReadAll(void* buffer, DWORD size) {
    char* at = static_cast<char*>(buffer);
    while (size) {
        DWORD got = 0;
        if (!ReadFile(runner.pipe, at, size, &got, nullptr) || got == 0) return false;
        at += got;
        size -= got;
    }
    return true;
}

bool WriteAll(const void* buffer, DWORD size) {
    DWORD put = 0;
    return WriteFile(runner.pipe, buffer, size, &put, nullptr) && put == size;
}

Answer NewAnswer(uint32_t op) {
    Answer answer;
    memset(&answer, 0, sizeof answer);
    answer.magic = remote::kAnswerMagic;
    answer.op = op;
    answer.id = runner.callId;
    return answer;
}

// The plug-in's progress callback: one round trip to the host, whose
// callback decides.
int32_t SPI_API ForwardProgress(int32_t num, int32_t denom, intptr_t) {
    Answer call = NewAnswer(static_cast<uint32_t>(Op::Progress));
    call.section = runner.bulk->Ref();
    call.progressNum = num;
    call.progressDenom = denom;
    Request reply;
    if (!WriteAll(&call, sizeof call) || !ReadAll(&reply, sizeof reply) ||
        reply.magic != remote::kRequestMagic || reply.op != static_cast<uint32_t>(Op::Progress))
        EndNow(remote::kExitHostGone);
    return static_cast<int32_t>(reply.arg0);
}

std::string Narrow(const wchar_t* text) {
    std::wstring wide(text, wcsnlen(text, remote::kNameChars));
    if (wide.empty()) return std::string();
    int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string narrow(size, '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &narrow[0], size,
                        nullptr, nullptr);
    return narrow;
}

void PutFault(Answer& answer, const SpiFault& fault) {
    answer.fault.kind = static_cast<int32_t>(fault.kind);
    answer.fault.code = fault.code;
    answer.fault.access = fault.access;
    answer.fault.overrun = fault.overrun;
    answer.fault.address = fault.address;
    answer.fault.instruction = fault.instruction;
}

// Copies the plug-in's blocks into the section, one after the other, and
// frees them. A handle that names no live block comes back as none.
void ReturnBlocks(Answer& answer, HLOCAL first, HLOCAL second) {
    UniqueLocal firstOwner(first), secondOwner(second);
    LocalLockScope one(first), two(second);
    uint64_t size0 = one.data() ? one.size() : 0, size1 = two.data() ? two.size() : 0;
    if (!runner.bulk->Reserve(size0 + size1)) {
        answer.result = SPI_NO_MEMORY;
        return;
    }
    if (one.data()) {
        memcpy(runner.bulk->data(), one.data(), size0);
        answer.blocks |= remote::kBlockFirst;
        answer.size0 = size0;
    }
    if (two.data()) {
        memcpy(runner.bulk->data() + size0, two.data(), size1);
        answer.blocks |= remote::kBlockSecond;
        answer.size1 = size1;
    }
}

// fileInfo into WireEntry, fileInfoW into WireEntryW: the names' fields
// are of the same size on both sides.
template <typename Wire, typename Record>
void PutEntry(Wire& wire, const Record& entry) {
    static_assert(sizeof wire.path == sizeof entry.path, "path");
    static_assert(sizeof wire.filename == sizeof entry.filename, "filename");
    memcpy(wire.method, entry.method, sizeof wire.method);
    wire.position = entry.position;
    wire.compsize = entry.compsize;
    wire.filesize = entry.filesize;
    wire.timestamp = static_cast<int64_t>(entry.timestamp);
    memcpy(wire.path, entry.path, sizeof wire.path);
    memcpy(wire.filename, entry.filename, sizeof wire.filename);
    wire.crc = entry.crc;
}

// The list as wire records: every whole record the block holds.
template <typename Wire, typename Record>
void ReturnList(Answer& answer, HLOCAL list) {
    UniqueLocal owner(list);
    LocalLockScope lock(list);
    if (!lock.data()) return;
    size_t count = lock.size() / sizeof(Record);
    if (!runner.bulk->Reserve(count * sizeof(Wire))) {
        answer.result = SPI_NO_MEMORY;
        return;
    }
    const Record* entries = lock.as<const Record>();
    Wire* wire = reinterpret_cast<Wire*>(runner.bulk->data());
    for (size_t n = 0; n < count; ++n) {
        memset(&wire[n], 0, sizeof wire[n]);
        PutEntry(wire[n], entries[n]);
    }
    answer.blocks |= remote::kBlockFirst;
    answer.size0 = count * sizeof(Wire);
}

void PutPicture(Answer& answer, const PictureInfo& info) {
    answer.picture.left = info.left;
    answer.picture.top = info.top;
    answer.picture.width = info.width;
    answer.picture.height = info.height;
    answer.picture.xDensity = info.x_density;
    answer.picture.yDensity = info.y_density;
    answer.picture.colorDepth = info.colorDepth;
}

// A name field of a request, up to its NUL or the field's end.
std::wstring WideField(const wchar_t* text) {
    return std::wstring(text, wcsnlen(text, remote::kNameChars));
}

class Server {
public:
    Answer Serve(const Request& request) {
        Answer answer = NewAnswer(request.op);
        checked_ = false;
        source_ = Narrow(request.name);
        wideSource_ = WideField(request.name);
        ProgressCallback progress = request.progress ? ForwardProgress : nullptr;
        bool memory = (request.flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY;
        LPCSTR source = memory ? reinterpret_cast<LPCSTR>(runner.bulk->data()) : source_.c_str();
        LPCWSTR wideSource =
            memory ? reinterpret_cast<LPCWSTR>(runner.bulk->data()) : wideSource_.c_str();
        intptr_t length = static_cast<intptr_t>(request.arg0);
        switch (static_cast<Op>(request.op)) {
            case Op::Load: Load(answer); break;
            case Op::Unload: answer.result = plugin_.Unload(); break;
            case Op::GetPluginInfo: PluginInfo(request, answer); break;
            case Op::IsSupported:
                answer.result = plugin_.IsSupported(
                    source_.c_str(), request.dataSize ? runner.bulk->data() : nullptr);
                break;
            case Op::ConfigurationDlg:
                answer.result = plugin_.ConfigurationDlg(
                    reinterpret_cast<HWND>(static_cast<uintptr_t>(request.handle)),
                    static_cast<int32_t>(request.arg0));
                break;
            case Op::GetPictureInfo:
            case Op::GetPictureInfoW: {
                // Zeroed here too: a call the kind or a missing export
                // refuses leaves the record alone, and its hInfo must not
                // be taken for a block.
                PictureInfo info;
                memset(&info, 0, sizeof info);
                answer.result =
                    static_cast<Op>(request.op) == Op::GetPictureInfo
                        ? plugin_.GetPictureInfo(source, length, request.flag, &info)
                        : plugin_.GetPictureInfoW(wideSource, length, request.flag, &info);
                if (!Intact(answer)) break;
                PutPicture(answer, info);
                ReturnBlocks(answer, info.hInfo, nullptr);
                break;
            }
            case Op::GetPicture:
            case Op::GetPreview: {
                HLOCAL info = nullptr, bits = nullptr;
                answer.result =
                    static_cast<Op>(request.op) == Op::GetPicture
                        ? plugin_.GetPicture(source, length, request.flag, &info, &bits, progress, 0)
                        : plugin_.GetPreview(source, length, request.flag, &info, &bits, progress,
                                             0);
                if (Intact(answer)) ReturnBlocks(answer, info, bits);
                break;
            }
            case Op::GetArchiveInfo: {
                HLOCAL list = nullptr;
                answer.result = plugin_.GetArchiveInfo(source, length, request.flag, &list);
                if (Intact(answer)) ReturnList<remote::WireEntry, fileInfo>(answer, list);
                break;
            }
            case Op::GetFileInfo: {
                fileInfo entry;
                memset(&entry, 0, sizeof entry);
                std::string member = Narrow(request.name2);
                answer.result =
                    plugin_.GetFileInfo(source, length, member.c_str(), request.flag, &entry);
                if (Intact(answer)) PutEntry(answer.entry, entry);
                break;
            }
            case Op::GetFile: {
                HLOCAL member = nullptr;
                std::string folder = Narrow(request.name2);
                bool toMemory = (request.flag & SPI_OUTPUT_MEMORY) != 0;
                LPSTR destination = toMemory ? reinterpret_cast<LPSTR>(&member) : &folder[0];
                answer.result =
                    plugin_.GetFile(source, length, destination, request.flag, progress, 0);
                if (Intact(answer) && toMemory) ReturnBlocks(answer, member, nullptr);
                break;
            }
            case Op::GetPluginInfoW: PluginInfoW(request, answer); break;
            case Op::IsSupportedW:
                answer.result = plugin_.IsSupportedW(
                    wideSource_.c_str(), request.dataSize ? runner.bulk->data() : nullptr);
                break;
            case Op::GetPictureW:
            case Op::GetPreviewW: {
                HLOCAL info = nullptr, bits = nullptr;
                answer.result =
                    static_cast<Op>(request.op) == Op::GetPictureW
                        ? plugin_.GetPictureW(wideSource, length, request.flag, &info, &bits,
                                              progress, 0)
                        : plugin_.GetPreviewW(wideSource, length, request.flag, &info, &bits,
                                              progress, 0);
                if (Intact(answer)) ReturnBlocks(answer, info, bits);
                break;
            }
            case Op::GetArchiveInfoW: {
                HLOCAL list = nullptr;
                answer.result = plugin_.GetArchiveInfoW(wideSource, length, request.flag, &list);
                if (Intact(answer)) ReturnList<remote::WireEntryW, fileInfoW>(answer, list);
                break;
            }
            case Op::GetFileInfoW: {
                fileInfoW entry;
                memset(&entry, 0, sizeof entry);
                std::wstring member = WideField(request.name2);
                answer.result =
                    plugin_.GetFileInfoW(wideSource, length, member.c_str(), request.flag, &entry);
                if (!Intact(answer)) break;
                if (!runner.bulk->Reserve(sizeof(remote::WireEntryW))) {
                    answer.result = SPI_NO_MEMORY;
                    break;
                }
                remote::WireEntryW* wire = reinterpret_cast<remote::WireEntryW*>(runner.bulk->data());
                memset(wire, 0, sizeof *wire);
                PutEntry(*wire, entry);
                answer.blocks |= remote::kBlockFirst;
                answer.size0 = sizeof *wire;
                break;
            }
            case Op::GetFileW: {
                HLOCAL member = nullptr;
                std::wstring folder = WideField(request.name2);
                bool toMemory = (request.flag & SPI_OUTPUT_MEMORY) != 0;
                LPWSTR destination = toMemory ? reinterpret_cast<LPWSTR>(&member) : &folder[0];
                answer.result =
                    plugin_.GetFileW(wideSource, length, destination, request.flag, progress, 0);
                if (Intact(answer) && toMemory) ReturnBlocks(answer, member, nullptr);
                break;
            }
            default: answer.result = SPI_NOT_IMPLEMENTED; break;
        }
        if (!checked_) Intact(answer);
        if (answer.fault.kind == 0) PutFault(answer, plugin_.LastFault());
        return answer;
    }

    // False, with the fault in the answer, when the call left a heap damaged.
    bool Intact(Answer& answer) {
        checked_ = true;
        if (EveryHeapIntact()) return true;
        bool zero = answer.op == static_cast<uint32_t>(Op::IsSupported) ||
                    answer.op == static_cast<uint32_t>(Op::Load);
        answer.result = zero ? 0 : SPI_INTERNAL_ERROR;
        answer.fault.kind = static_cast<int32_t>(SpiFaultKind::HeapDamage);
        damaged_ = true;
        return false;
    }
    bool Damaged() const { return damaged_; }

private:
    void Load(Answer& answer) {
        answer.result = plugin_.Load(nullptr, source_.c_str());
        if (!Intact(answer)) return;
        answer.kind = plugin_.GetKind();
        for (int n = 0; n < remote::kExportCount; ++n)
            if (plugin_.HasExport(remote::kExportNames[n])) answer.exports |= 1u << n;
        // The about text and the extension list, one after the other.
        LPCSTR about = plugin_.GetAboutText();
        LPCSTR list = plugin_.ExtensionList() ? plugin_.ExtensionList() : "";
        size_t aboutSize = strlen(about) + 1, listSize = strlen(list) + 1;
        if (!runner.bulk->Reserve(aboutSize + listSize)) return;
        memcpy(runner.bulk->data(), about, aboutSize);
        memcpy(runner.bulk->data() + aboutSize, list, listSize);
        answer.size0 = aboutSize;
        answer.size1 = listSize;
    }

    // The plug-in writes into a buffer with room past the size it is told;
    // a write past it is reported as an overrun, never reaches the host.
    void PluginInfo(const Request& request, Answer& answer) {
        int32_t size = static_cast<int32_t>(request.arg1);
        CanaryBuffer buffer(size > 0 ? size : 0);
        answer.result = plugin_.GetPluginInfo(static_cast<int32_t>(request.arg0), buffer.data(),
                                              size);
        if (!Intact(answer)) return;
        if (buffer.Overrun() && plugin_.LastFault().kind == SpiFaultKind::None) {
            answer.fault.kind = static_cast<int32_t>(SpiFaultKind::BufferOverrun);
            answer.fault.overrun = static_cast<uint32_t>(buffer.Overrun());
        }
        if (size > 0 && runner.bulk->Reserve(size)) {
            memcpy(runner.bulk->data(), buffer.data(), size);
            answer.size0 = size;
        }
    }

    // The same for the wide texts, in a buffer that starts as the caller's
    // did, so that what the plug-in leaves alone comes back unchanged.
    void PluginInfoW(const Request& request, Answer& answer) {
        int32_t length = static_cast<int32_t>(request.arg1);
        if (length > remote::kMaxWideInfoChars) length = remote::kMaxWideInfoChars;
        size_t bytes = length > 0 ? static_cast<size_t>(length) * sizeof(WCHAR) : 0;
        CanaryBuffer buffer(bytes);
        if (buffer.data() && bytes && request.dataSize == bytes && bytes <= runner.bulk->size())
            memcpy(buffer.data(), runner.bulk->data(), bytes);
        answer.result = plugin_.GetPluginInfoW(static_cast<int32_t>(request.arg0),
                                               reinterpret_cast<LPWSTR>(buffer.data()), length);
        if (!Intact(answer)) return;
        if (buffer.Overrun() && plugin_.LastFault().kind == SpiFaultKind::None) {
            answer.fault.kind = static_cast<int32_t>(SpiFaultKind::BufferOverrun);
            answer.fault.overrun = static_cast<uint32_t>(buffer.Overrun());
        }
        if (bytes && buffer.data() && runner.bulk->Reserve(bytes)) {
            memcpy(runner.bulk->data(), buffer.data(), bytes);
            answer.size0 = bytes;
        }
    }

    SpiDllFile plugin_{Resident};
    std::string source_;
    std::wstring wideSource_;
    bool damaged_ = false;
    bool checked_ = false;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(LastChance);
    if (argc != 4) return static_cast<int>(remote::kExitBadStart);

    UniqueKernelHandle host(OpenProcess(SYNCHRONIZE, FALSE, wcstoul(argv[3], nullptr, 10)));
    if (!host.valid()) return static_cast<int>(remote::kExitBadStart);
    UniqueKernelHandle watcher(CreateThread(nullptr, 0, WatchHost, host.get(), 0, nullptr));

    std::wstring base = argv[2];
    UniqueKernelHandle controlMapping(
        OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, (base + L"-control").c_str()));
    remote::UniqueView control(controlMapping.valid()
                                   ? MapViewOfFile(controlMapping.get(),
                                                   FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                                   remote::kControlSize)
                                   : nullptr);
    remote::Section bulk(base);
    UniqueFile pipe(CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (!control.valid() || !pipe.valid()) return static_cast<int>(remote::kExitBadStart);
    runner.crash = static_cast<remote::Crash*>(control.get());
    runner.pipe = pipe.get();
    runner.bulk = &bulk;

    Server server;
    for (;;) {
        Request request;
        if (!ReadAll(&request, sizeof request)) break;  // the host closed the pipe
        if (request.magic != remote::kRequestMagic || !bulk.Follow(request.section)) break;
        runner.callId = request.id;
        Answer answer = server.Serve(request);
        answer.section = bulk.Ref();
        if (!WriteAll(&answer, sizeof answer)) break;
        // Nothing of this process can be trusted after heap damage.
        if (server.Damaged()) EndNow(remote::kExitHeapDamage);
    }
    return 0;
}
