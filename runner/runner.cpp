// spirunner32.exe / spirunner64.exe: runs one plug-in for a host process.
//
//   spirunner32.exe <pipe name> <section base name> <host process id>
//
// The host (SpiRemoteFile, through RunnerLink) starts it; it stands on the
// isolation kit's helper side, connects to the host's pipe and
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

#include "base/fenced_buffer.h"
#include "fault_guard.h"
#include "isolation/board.h"
#include "isolation/helper_side.h"
#include "remote/protocol.h"
#include "remote/section.h"
#include "remote/wire.h"
#include "spi_dll_file.h"
#include "win32_handles.h"

namespace {

using remote::Answer;
using remote::Op;
using remote::Request;

struct Runner {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    remote::Section* bulk = nullptr;
    uint64_t callId = 0;
    // Posted progress: the shared state in the control section and the
    // host's event (null when the host has none: no posts then).
    remote::PostedProgress* posted = nullptr;
    HANDLE progressEvent = nullptr;
    // How far the announced blocks are in the section (control section).
    volatile LONG64* copied = nullptr;
    // The plug-in's blocks of the answer being sent, freed after it: the
    // host need not wait for the free.
    UniqueLocal spent[2];
};
Runner runner;

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
        isolation::EndHelper(isolation::kExitHostGone);
    return static_cast<int32_t>(reply.arg0);
}

// The plug-in's progress callback when the host takes posts: answered at
// once with the host's last answer; the host is woken when it has taken
// the post before, and reads the latest when it gets to it.
int32_t SPI_API PostProgress(int32_t num, int32_t denom, intptr_t) {
    remote::PostLatest(runner.posted, num, denom);
    if (InterlockedExchange(&runner.posted->pending, 1) == 0) SetEvent(runner.progressEvent);
    return static_cast<int32_t>(InterlockedCompareExchange(&runner.posted->answer, 0, 0));
}

ProgressCallback ProgressFor(uint32_t mode) {
    if (mode == remote::kProgressPosted && runner.progressEvent) return PostProgress;
    return mode != remote::kProgressNone ? ForwardProgress : nullptr;
}

// Copies a block into the section at the offset, a step at a time, and
// when counted says after each step how far the blocks are there.
void CopyOut(uint64_t offset, const unsigned char* from, uint64_t size, bool counted) {
    for (uint64_t done = 0; done < size;) {
        size_t step = static_cast<size_t>(size - done < remote::kCopyStep ? size - done
                                                                         : remote::kCopyStep);
        memcpy(runner.bulk->data() + offset + done, from + done, step);
        done += step;
        if (counted) InterlockedExchange64(runner.copied, static_cast<LONG64>(offset + done));
    }
}

// Copies the plug-in's blocks into the section, one after the other; they
// are freed once the answer is sent. A handle that names no live block
// comes back as none.
void ReturnBlocks(Answer& answer, HLOCAL first, HLOCAL second) {
    runner.spent[0].reset(first);
    runner.spent[1].reset(second);
    LocalLockScope one(first), two(second);
    uint64_t size0 = one.data() ? one.size() : 0, size1 = two.data() ? two.size() : 0;
    if (!runner.bulk->Reserve(size0 + size1)) {
        answer.result = SPI_NO_MEMORY;
        return;
    }
    bool counted = size0 + size1 >= remote::kBlocksAheadSize;
    if (counted) {
        // The host makes its blocks (and touches their pages) while the
        // copy runs here, and copies out of the section behind it.
        InterlockedExchange64(runner.copied, 0);
        Answer ahead = NewAnswer(static_cast<uint32_t>(Op::BlocksAhead));
        ahead.section = runner.bulk->Ref();
        ahead.result = remote::kCopyCounted;
        ahead.size0 = size0;
        ahead.size1 = size1;
        if (!WriteAll(&ahead, sizeof ahead)) isolation::EndHelper(isolation::kExitHostGone);
    }
    if (one.data()) {
        CopyOut(0, one.as<const unsigned char>(), size0, counted);
        answer.blocks |= remote::kBlockFirst;
        answer.size0 = size0;
    }
    if (two.data()) {
        CopyOut(size0, two.as<const unsigned char>(), size1, counted);
        answer.blocks |= remote::kBlockSecond;
        answer.size1 = size1;
    }
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
        remote::PutEntry(wire[n], entries[n]);
    }
    answer.blocks |= remote::kBlockFirst;
    answer.size0 = count * sizeof(Wire);
}

class Server {
public:
    Answer Serve(const Request& request) {
        Answer answer = NewAnswer(request.op);
        checked_ = false;
        request_ = &request;
        answer_ = &answer;
        source_ = remote::AnsiField(request.name);
        wideSource_ = remote::WideField(request.name);
        progress_ = ProgressFor(request.progress);
        bool memory = (request.flag & SPI_INPUT_MASK) == SPI_INPUT_MEMORY;
        LPCSTR source = memory ? reinterpret_cast<LPCSTR>(runner.bulk->data()) : source_.c_str();
        LPCWSTR wideSource =
            memory ? reinterpret_cast<LPCWSTR>(runner.bulk->data()) : wideSource_.c_str();
        unsigned char* sample = request.dataSize ? runner.bulk->data() : nullptr;
        // Every operation has its case (-Werror=switch); a code outside
        // them answers -1.
        answer.result = SPI_NOT_IMPLEMENTED;
        switch (static_cast<Op>(request.op)) {
            case Op::Load: Load(answer); break;
            case Op::Unload: answer.result = plugin_.Unload(); break;
            case Op::GetPluginInfo: PluginInfo(request, answer); break;
            case Op::GetPluginInfoW: PluginInfoW(request, answer); break;
            case Op::IsSupported: answer.result = plugin_.IsSupported(source_.c_str(), sample); break;
            case Op::IsSupportedW:
                answer.result = plugin_.IsSupportedW(wideSource_.c_str(), sample);
                break;
            case Op::ConfigurationDlg:
                answer.result = plugin_.ConfigurationDlg(
                    reinterpret_cast<HWND>(static_cast<uintptr_t>(request.handle)),
                    static_cast<int32_t>(request.arg0));
                break;
            case Op::GetPictureInfo: Info(&SpiDllFile::GetPictureInfo, source); break;
            case Op::GetPictureInfoW: Info(&SpiDllFile::GetPictureInfoW, wideSource); break;
            case Op::GetPictureInfoAsGiven: PictureInfoAsGiven(source); break;
            case Op::GetPicture: Picture(&SpiDllFile::GetPicture, source); break;
            case Op::GetPreview: Picture(&SpiDllFile::GetPreview, source); break;
            case Op::GetPictureW: Picture(&SpiDllFile::GetPictureW, wideSource); break;
            case Op::GetPreviewW: Picture(&SpiDllFile::GetPreviewW, wideSource); break;
            case Op::GetArchiveInfo:
                List<remote::WireEntry, fileInfo>(&SpiDllFile::GetArchiveInfo, source);
                break;
            case Op::GetArchiveInfoW:
                List<remote::WireEntryW, fileInfoW>(&SpiDllFile::GetArchiveInfoW, wideSource);
                break;
            case Op::GetFileInfo: {
                fileInfo entry;
                if (FileInfo(&SpiDllFile::GetFileInfo, source, remote::AnsiField(request.name2),
                             &entry))
                    remote::PutEntry(answer.entry, entry);
                break;
            }
            case Op::GetFileInfoW: {
                // The wide record is too large for the answer: the first block.
                fileInfoW entry;
                if (!FileInfo(&SpiDllFile::GetFileInfoW, wideSource,
                              remote::WideField(request.name2), &entry))
                    break;
                if (!runner.bulk->Reserve(sizeof(remote::WireEntryW))) {
                    answer.result = SPI_NO_MEMORY;
                    break;
                }
                remote::WireEntryW* wire = reinterpret_cast<remote::WireEntryW*>(runner.bulk->data());
                memset(wire, 0, sizeof *wire);
                remote::PutEntry(*wire, entry);
                answer.blocks |= remote::kBlockFirst;
                answer.size0 = sizeof *wire;
                break;
            }
            case Op::GetFile: File(&SpiDllFile::GetFile, source, remote::AnsiField(request.name2)); break;
            case Op::GetFileW:
                File(&SpiDllFile::GetFileW, wideSource, remote::WideField(request.name2));
                break;
            // Not calls: an operation no runner is asked for answers -1.
            case Op::Progress:
            case Op::BlocksAhead:
            case Op::BeforeExports: answer.result = SPI_NOT_IMPLEMENTED; break;
        }
        if (!checked_) Intact(answer);
        if (answer.fault.kind == 0) answer.fault = remote::ToWire(plugin_.LastFault());
        return answer;
    }

    // False, with the fault in the answer, when the call left a heap damaged.
    bool Intact(Answer& answer) {
        checked_ = true;
        if (heapCheck_.AfterCall()) return true;
        bool zero = answer.op == static_cast<uint32_t>(Op::IsSupported) ||
                    answer.op == static_cast<uint32_t>(Op::Load);
        answer.result = zero ? 0 : SPI_INTERNAL_ERROR;
        answer.fault.kind = static_cast<int32_t>(SpiFaultKind::HeapDamage);
        damaged_ = true;
        return false;
    }
    bool Damaged() const { return damaged_; }

private:
    intptr_t Length() const { return static_cast<intptr_t>(request_->arg0); }

    // GetPictureInfo and GetPictureInfoW. The record is zeroed here too: a
    // call the kind or a missing export refuses leaves it alone, and its
    // hInfo must not be taken for a block.
    template <typename Char>
    void Info(int32_t (SpiDllFile::*call)(const Char*, intptr_t, uint32_t, PictureInfo*),
              const Char* source) {
        PictureInfo info;
        memset(&info, 0, sizeof info);
        answer_->result = (plugin_.*call)(source, Length(), request_->flag, &info);
        if (!Intact(*answer_)) return;
        remote::CopyPicture(answer_->picture, info);
        ReturnBlocks(*answer_, info.hInfo, nullptr);
    }

    // GetPicture, GetPreview and their wide forms: both blocks back.
    template <typename Char>
    void Picture(int32_t (SpiDllFile::*call)(const Char*, intptr_t, uint32_t, HLOCAL*, HLOCAL*,
                                             ProgressCallback, intptr_t),
                 const Char* source) {
        HLOCAL info = nullptr, bits = nullptr;
        answer_->result =
            (plugin_.*call)(source, Length(), request_->flag, &info, &bits, progress_, 0);
        if (Intact(*answer_)) ReturnBlocks(*answer_, info, bits);
    }

    // GetArchiveInfo and GetArchiveInfoW: the list as wire records.
    template <typename Wire, typename Record, typename Char>
    void List(int32_t (SpiDllFile::*call)(const Char*, intptr_t, uint32_t, HLOCAL*),
              const Char* source) {
        HLOCAL list = nullptr;
        answer_->result = (plugin_.*call)(source, Length(), request_->flag, &list);
        if (Intact(*answer_)) ReturnList<Wire, Record>(*answer_, list);
    }

    // GetFileInfo and GetFileInfoW into a zeroed record: false when the
    // call left a heap damaged.
    template <typename Record, typename Char>
    bool FileInfo(int32_t (SpiDllFile::*call)(const Char*, intptr_t, const Char*, uint32_t,
                                              Record*),
                  const Char* source, const std::basic_string<Char>& member, Record* entry) {
        memset(entry, 0, sizeof *entry);
        answer_->result = (plugin_.*call)(source, Length(), member.c_str(), request_->flag, entry);
        return Intact(*answer_);
    }

    // GetFile and GetFileW: to the folder named, or into memory.
    template <typename Char>
    void File(int32_t (SpiDllFile::*call)(const Char*, intptr_t, Char*, uint32_t,
                                          ProgressCallback, intptr_t),
              const Char* source, std::basic_string<Char> folder) {
        HLOCAL member = nullptr;
        bool toMemory = (request_->flag & SPI_OUTPUT_MEMORY) != 0;
        Char* destination = toMemory ? reinterpret_cast<Char*>(&member) : &folder[0];
        answer_->result =
            (plugin_.*call)(source, Length(), destination, request_->flag, progress_, 0);
        if (Intact(*answer_) && toMemory) ReturnBlocks(*answer_, member, nullptr);
    }

    void Load(Answer& answer) {
        answer.result = plugin_.Load(nullptr, source_.c_str());
        if (!Intact(answer)) return;
        answer.kind = plugin_.GetKind();
        answer.exports = plugin_.ExportMask();
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

    // GetPictureInfo on the record as the host filled it. A handle the
    // module put in hInfo goes back as a block when it names a live one of
    // this process; anything else (the host's own value left alone, or a
    // value that is no handle) goes back as it is.
    void PictureInfoAsGiven(LPCSTR source) {
        const Request& request = *request_;
        Answer& answer = *answer_;
        PictureInfo info;
        memset(&info, 0, sizeof info);
        remote::TakeGivenPicture(info, request.given);
        answer.given = request.given;
        answer.result = plugin_.GetPictureInfoAsGiven(source, Length(), request.flag, &info);
        if (!Intact(answer)) return;
        remote::PutGivenPicture(answer.given, info);
        if (reinterpret_cast<uintptr_t>(info.hInfo) != request.given.hInfo &&
            LiveBlock(info.hInfo)) {
            answer.given.hInfo = 0;
            ReturnBlocks(answer, info.hInfo, nullptr);
        }
    }

    // Whether a value names a live local block. Read under the fault guard:
    // the value came from the plug-in and may be anything.
    static bool LiveBlock(HLOCAL value) {
        if (!value) return false;
        struct Probe {
            HLOCAL value;
            SIZE_T size;
            DWORD error;
        } probe{value, 0, 0};
        auto body = [](void* context) {
            Probe* p = static_cast<Probe*>(context);
            SetLastError(ERROR_SUCCESS);
            p->size = LocalSize(p->value);
            p->error = GetLastError();
        };
        return RunGuarded(body, &probe) && (probe.size > 0 || probe.error == ERROR_SUCCESS);
    }

    // The plug-in writes into a buffer with room past the size it is told;
    // a write past it is reported as an overrun, never reaches the host.
    void PluginInfo(const Request& request, Answer& answer) {
        int32_t size = static_cast<int32_t>(request.arg1);
        FencedBuffer buffer(size > 0 ? size : 0, FencedBuffer::kCanaryTail);
        answer.result = plugin_.GetPluginInfo(static_cast<int32_t>(request.arg0), buffer.chars(),
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
        FencedBuffer buffer(bytes, FencedBuffer::kCanaryTail);
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

    // A runner serves one call per request, each its own span of work:
    // the heaps are walked after every call, so damage is pinned on the
    // call that did it and the runner ends before the next one.
    isolation::HeapCheck heapCheck_{isolation::kHeapCheckEveryCall};
    SpiDllFile plugin_{Resident};
    // The call being served.
    const Request* request_ = nullptr;
    Answer* answer_ = nullptr;
    ProgressCallback progress_ = nullptr;
    std::string source_;
    std::wstring wideSource_;
    bool damaged_ = false;
    bool checked_ = false;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    isolation::BecomeHelper();
    if (argc != 4) return static_cast<int>(isolation::kExitBadStart);

    UniqueKernelHandle host(OpenProcess(SYNCHRONIZE, FALSE, wcstoul(argv[3], nullptr, 10)));
    if (!host.valid() || !isolation::EndWithHost(host.get()))
        return static_cast<int>(isolation::kExitBadStart);

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
    if (!control.valid() || !pipe.valid()) return static_cast<int>(isolation::kExitBadStart);
    isolation::UseBoard(static_cast<isolation::Board*>(control.get()));
    UniqueKernelHandle progressEvent(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, (base + L"-progress").c_str()));
    runner.posted = remote::PostedIn(control.get());
    runner.copied = remote::CopiedIn(control.get());
    runner.progressEvent = progressEvent.get();
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
        for (UniqueLocal& block : runner.spent) block.reset();
        // Nothing of this process can be trusted after heap damage.
        if (server.Damaged()) isolation::EndHelper(isolation::kExitHeapDamage);
    }
    return 0;
}
