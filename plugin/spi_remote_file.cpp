// SpiRemoteFile: the runner process, the exchange of frames, the nine
// operations and the wide ones.
#include "spi_remote_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "remote_protocol.h"
#include "remote_section.h"

using remote::Answer;
using remote::Op;
using remote::Request;

namespace {

// Time a runner gets to end by itself once its pipe is closed.
constexpr DWORD kEndGrace = 3000;

std::wstring Widen(LPCSTR text) {
    if (!text || !*text) return std::wstring();
    int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(size, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], size);
    wide.resize(size - 1);
    return wide;
}

// False when the name does not fit a frame.
bool PutName(wchar_t (&field)[remote::kNameChars], LPCSTR text) {
    std::wstring wide = Widen(text);
    if (wide.size() >= remote::kNameChars) return false;
    memcpy(field, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    return true;
}

bool PutName(wchar_t (&field)[remote::kNameChars], LPCWSTR text) {
    size_t length = text ? wcslen(text) : 0;
    if (length >= remote::kNameChars) return false;
    if (length) memcpy(field, text, length * sizeof(wchar_t));
    field[length] = 0;
    return true;
}

Request NewRequest(Op op) {
    Request request;
    memset(&request, 0, sizeof request);
    request.magic = remote::kRequestMagic;
    request.op = static_cast<uint32_t>(op);
    return request;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    std::wstring folder(path, length);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

bool Fits(uint64_t value) { return value <= static_cast<uint64_t>(UINTPTR_MAX); }

}  // namespace

SpiRemoteFile::SpiRemoteFile() = default;

SpiRemoteFile::~SpiRemoteFile() { EndRunner(false); }

void SpiRemoteFile::SetRunnerFolder(LPCSTR folder) { runnerFolder = folder ? folder : ""; }

DWORD SpiRemoteFile::RunnerProcessId() const {
    return process.valid() ? GetProcessId(process.get()) : 0;
}

int SpiRemoteFile::ModuleBits(LPCSTR path) {
    UniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) return 0;
    unsigned char dos[64];
    DWORD got = 0;
    if (!ReadFile(file.get(), dos, sizeof dos, &got, nullptr) || got != sizeof dos ||
        dos[0] != 'M' || dos[1] != 'Z')
        return 0;
    LONG peOffset = dos[60] | dos[61] << 8 | dos[62] << 16 | static_cast<LONG>(dos[63]) << 24;
    unsigned char pe[6];
    if (peOffset < 0 || SetFilePointer(file.get(), peOffset, nullptr, FILE_BEGIN) ==
                            INVALID_SET_FILE_POINTER ||
        !ReadFile(file.get(), pe, sizeof pe, &got, nullptr) || got != sizeof pe ||
        memcmp(pe, "PE\0\0", 4) != 0)
        return 0;
    switch (pe[4] | pe[5] << 8) {
        case 0x014C: return 32;
        case 0x8664: return 64;
    }
    return 0;
}

bool SpiRemoteFile::StartRunner() {
    static LONG counter = 0;
    wchar_t base[96];
    swprintf(base, 96, L"spiremote-%lu-%ld-%lu", GetCurrentProcessId(),
             InterlockedIncrement(&counter), GetTickCount());
    std::wstring pipeName = std::wstring(L"\\\\.\\pipe\\") + base;

    std::wstring folder = runnerFolder.empty() ? ProgramFolder() : Widen(runnerFolder.c_str());
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    std::wstring program = folder + (bits == 64 ? L"spirunner64.exe" : L"spirunner32.exe");

    auto failed = [this] {
        lastFault = SpiFault();
        lastFault.kind = SpiFaultKind::RunnerStart;
        lastFault.code = GetLastError();
        EndRunner(true);
        return false;
    };
    pipe.reset(CreateNamedPipeW(pipeName.c_str(),
                                PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                    FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 1 << 16,
                                1 << 16, 0, nullptr));
    if (pipe.get() == INVALID_HANDLE_VALUE) pipe.release();
    ioEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    controlMapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            remote::kControlSize,
                                            (std::wstring(base) + L"-control").c_str()));
    if (!pipe.valid() || !ioEvent.valid() || !controlMapping.valid()) return failed();
    controlView.reset(MapViewOfFile(controlMapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                    remote::kControlSize));
    bulk.reset(new remote::Section(base));
    if (!controlView || !bulk->Create(0, remote::kFirstBulkSize)) return failed();

    // The runner keeps no handle of ours and no console: what a plug-in
    // writes there goes nowhere.
    std::wstring line = L"\"" + program + L"\" " + pipeName + L" " + base + L" " +
                        std::to_wstring(GetCurrentProcessId());
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(0);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof info);
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS, nullptr, nullptr, &startup, &info))
        return failed();
    process.reset(info.hProcess);
    CloseHandle(info.hThread);

    // Its connection, or its end.
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = ioEvent.get();
    ResetEvent(ioEvent.get());
    if (!ConnectNamedPipe(pipe.get(), &overlapped)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {ioEvent.get(), process.get()};
            DWORD limit = deadline > kStartDeadline ? deadline : kStartDeadline;
            DWORD woke = WaitForMultipleObjects(2, waits, FALSE, limit);
            if (woke != WAIT_OBJECT_0) {
                CancelIo(pipe.get());
                DWORD ignored = 0;
                GetOverlappedResult(pipe.get(), &overlapped, &ignored, TRUE);
                RunnerFailed(woke == WAIT_TIMEOUT);
                if (lastFault.kind == SpiFaultKind::RunnerTimeout) lastFault.waited = limit;
                return false;
            }
        } else if (error != ERROR_PIPE_CONNECTED) {
            // Connected and gone already (ERROR_NO_DATA).
            RunnerFailed(false);
            return false;
        }
    }
    return true;
}

void SpiRemoteFile::EndRunner(bool kill) {
    pipe.reset();  // a runner waiting for the next frame ends on this
    if (process.valid()) {
        if (kill || WaitForSingleObject(process.get(), kEndGrace) != WAIT_OBJECT_0)
            TerminateProcess(process.get(), remote::kExitHostGone);
        WaitForSingleObject(process.get(), INFINITE);
    }
    process.reset();
    ioEvent.reset();
    bulk.reset();
    controlView.reset();
    controlMapping.reset();
}

// The runner ended (or is to be ended after missing its deadline): what
// became of it goes to lastFault, and it is gone afterwards.
void SpiRemoteFile::RunnerFailed(bool timedOut) {
    lastFault = SpiFault();
    if (timedOut || !process.valid()) {
        lastFault.kind = SpiFaultKind::RunnerTimeout;
        lastFault.waited = deadline;
        EndRunner(true);
        return;
    }
    // A broken pipe comes a moment before the process's end.
    WaitForSingleObject(process.get(), kEndGrace);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &code);
    const remote::Crash* crash = static_cast<const remote::Crash*>(controlView.get());
    if (code == remote::kExitUnhandledException && crash && crash->magic == remote::kCrashMagic) {
        lastFault.kind = SpiFaultKind::RunnerException;
        lastFault.code = crash->code;
        lastFault.access = crash->access;
        lastFault.address = static_cast<uintptr_t>(crash->address);
        lastFault.instruction = static_cast<uintptr_t>(crash->instruction);
    } else {
        lastFault.kind = SpiFaultKind::RunnerExited;
        lastFault.code = code;
    }
    EndRunner(true);
}

// Reads or writes a whole frame; false when the runner ended or the
// deadline (counted from started) passed, with the runner then ended.
bool SpiRemoteFile::Transfer(bool write, void* buffer, DWORD size, DWORD started) {
    char* at = static_cast<char*>(buffer);
    while (size) {
        OVERLAPPED overlapped;
        memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = ioEvent.get();
        ResetEvent(ioEvent.get());
        DWORD done = 0;
        BOOL ok = write ? WriteFile(pipe.get(), at, size, &done, &overlapped)
                        : ReadFile(pipe.get(), at, size, &done, &overlapped);
        if (!ok) {
            if (GetLastError() != ERROR_IO_PENDING) {
                RunnerFailed(false);
                return false;
            }
            DWORD spent = GetTickCount() - started;
            DWORD left = spent < deadline ? deadline - spent : 0;
            HANDLE waits[2] = {ioEvent.get(), process.get()};
            DWORD woke = WaitForMultipleObjects(2, waits, FALSE, left);
            if (woke != WAIT_OBJECT_0) CancelIo(pipe.get());
            ok = GetOverlappedResult(pipe.get(), &overlapped, &done, TRUE);
            if (woke != WAIT_OBJECT_0 || !ok) {
                // The frame may have arrived whole just as the process ended.
                if (!(ok && done == size)) {
                    RunnerFailed(woke == WAIT_TIMEOUT);
                    return false;
                }
            }
        }
        if (done == 0) {
            RunnerFailed(false);
            return false;
        }
        at += done;
        size -= done;
    }
    return true;
}

bool SpiRemoteFile::EnsureRunner() {
    if (process.valid()) return true;
    if (!loaded) return false;
    if (!StartRunner()) return false;
    Request request = NewRequest(Op::Load);
    Answer answer = Answer();
    PutName(request.name, modulePath);
    if (!Exchange(request, answer, nullptr, 0)) return false;
    if (answer.result != 1) {
        // The module no longer loads: as a module gone missing in process.
        EndRunner(false);
        return false;
    }
    return true;
}

bool SpiRemoteFile::Exchange(Request& request, Answer& answer, ProgressCallback progress,
                             intptr_t data) {
    request.id = nextId++;
    request.section = bulk->Ref();
    request.progress = progress ? 1 : 0;
    DWORD started = GetTickCount();
    if (!Transfer(true, &request, sizeof request, started)) return false;
    for (;;) {
        if (!Transfer(false, &answer, sizeof answer, started)) return false;
        if (answer.magic != remote::kAnswerMagic || answer.id != request.id ||
            !bulk->Follow(answer.section)) {
            RunnerFailed(false);
            return false;
        }
        if (answer.op != static_cast<uint32_t>(Op::Progress)) return true;
        Request reply = NewRequest(Op::Progress);
        reply.id = request.id;
        reply.section = bulk->Ref();
        reply.arg0 = progress ? progress(answer.progressNum, answer.progressDenom, data) : 0;
        // The plug-in's time starts again after each callback.
        started = GetTickCount();
        if (!Transfer(true, &reply, sizeof reply, started)) return false;
    }
}

int32_t SpiRemoteFile::Call(Request& request, Answer& answer, int32_t faultResult,
                            ProgressCallback progress, intptr_t data) {
    if (!loaded) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED
                                                                     : faultResult;
    if (!Exchange(request, answer, progress, data)) return faultResult;
    lastFault.kind = static_cast<SpiFaultKind>(answer.fault.kind);
    lastFault.code = answer.fault.code;
    lastFault.access = answer.fault.access;
    lastFault.overrun = answer.fault.overrun;
    lastFault.address = static_cast<uintptr_t>(answer.fault.address);
    lastFault.instruction = static_cast<uintptr_t>(answer.fault.instruction);
    // The runner ends itself after a heap damage; it is waited for here.
    if (lastFault.kind == SpiFaultKind::HeapDamage) EndRunner(false);
    return answer.result;
}

HLOCAL SpiRemoteFile::MakeBlock(uint64_t offset, uint64_t size) const {
    if (!Fits(size) || offset + size > bulk->size()) return nullptr;
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(size));
    if (!block) return nullptr;
    LocalLockScope lock(block);
    if (!lock.data()) {
        LocalFree(block);
        return nullptr;
    }
    memcpy(lock.data(), bulk->data() + offset, static_cast<size_t>(size));
    return block;
}

bool SpiRemoteFile::PutSource(Request& request, const void* source, intptr_t length,
                              uint32_t flag, bool wide) {
    request.flag = flag;
    request.arg0 = length;
    if ((flag & SPI_INPUT_MASK) != SPI_INPUT_MEMORY)
        return wide ? PutName(request.name, static_cast<LPCWSTR>(source))
                    : PutName(request.name, static_cast<LPCSTR>(source));
    size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    if (!bulk->Reserve(size)) return false;
    if (size) memcpy(bulk->data(), source, size);
    request.dataSize = size;
    return true;
}

int32_t SpiRemoteFile::Load(LPCSTR folder, LPCSTR fileName) {
    lastFault = SpiFault();
    if (loaded && process.valid()) return 1;
    char path[kModulePathSize];
    int length = (folder && *folder) ? snprintf(path, sizeof path, "%s\\%s", folder, fileName)
                                     : snprintf(path, sizeof path, "%s", fileName ? fileName : "");
    if (length < 0 || length >= static_cast<int>(sizeof path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    // A bare or relative name is found as LoadLibrary would find it here
    // (the program's folder first), and the runner is given that file.
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        char found[kModulePathSize];
        DWORD size = SearchPathA(nullptr, path, nullptr, sizeof found, found, nullptr);
        if (size > 0 && size < sizeof found) {
            memcpy(path, found, size + 1);
            length = static_cast<int>(size);
        }
    }
    int moduleBits = ModuleBits(path);
    if (!moduleBits) {
        if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) SetLastError(ERROR_BAD_EXE_FORMAT);
        return 0;
    }
    EndRunner(false);
    loaded = false;
    bits = moduleBits;
    if (!StartRunner()) return 0;
    Request request = NewRequest(Op::Load);
    Answer answer = Answer();
    if (!PutName(request.name, path)) {
        EndRunner(false);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (!Exchange(request, answer, nullptr, 0)) return 0;
    lastFault.kind = static_cast<SpiFaultKind>(answer.fault.kind);
    lastFault.code = answer.fault.code;
    kind = static_cast<PluginKind>(answer.kind);
    if (answer.result != 1) {
        EndRunner(false);
        return 0;
    }
    const char* texts = reinterpret_cast<const char*>(bulk->data());
    aboutText[0] = 0;
    free(extensionList);
    extensionList = nullptr;
    if (answer.size0 + answer.size1 <= bulk->size() && answer.size0 && answer.size1) {
        size_t about = strnlen(texts, answer.size0);
        if (about >= kAboutTextSize) about = kAboutTextSize - 1;
        memcpy(aboutText, texts, about);
        aboutText[about] = 0;
        size_t list = strnlen(texts + answer.size0, answer.size1);
        extensionList = static_cast<char*>(malloc(list + 1));
        if (extensionList) {
            memcpy(extensionList, texts + answer.size0, list);
            extensionList[list] = 0;
        }
    }
    exportsFound = answer.exports;
    memcpy(modulePath, path, length + 1);
    loaded = true;
    return 1;
}

int32_t SpiRemoteFile::Unload() {
    lastFault = SpiFault();
    if (process.valid()) {
        Request request = NewRequest(Op::Unload);
        Answer answer;
        if (Exchange(request, answer, nullptr, 0)) {
            lastFault.kind = static_cast<SpiFaultKind>(answer.fault.kind);
            lastFault.code = answer.fault.code;
        }
    }
    EndRunner(false);
    return 1;
}

int32_t SpiRemoteFile::GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    lastFault = SpiFault();
    Request request = NewRequest(Op::GetPluginInfo);
    Answer answer = Answer();
    request.arg0 = infono;
    request.arg1 = buflen;
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR);
    if (bulk && buf && buflen > 0 && answer.size0 >= static_cast<uint64_t>(buflen) &&
        answer.size0 <= bulk->size() && answer.magic == remote::kAnswerMagic)
        memcpy(buf, bulk->data(), buflen);
    return result;
}

int32_t SpiRemoteFile::IsSupported(LPCSTR fileName, void* data) {
    lastFault = SpiFault();
    if (!loaded) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED : 0;
    Request request = NewRequest(Op::IsSupported);
    if (!PutName(request.name, fileName)) return 0;
    return CheckSupport(request, data);
}

int32_t SpiRemoteFile::CheckSupport(Request& request, void* data) {
    Answer answer = Answer();
    if (!bulk->Reserve(SPI_SAMPLE_SIZE)) return 0;
    uintptr_t value = reinterpret_cast<uintptr_t>(data);
    if (value >> 16) {
        memcpy(bulk->data(), data, SPI_SAMPLE_SIZE);
        request.dataSize = SPI_SAMPLE_SIZE;
    } else if (value) {
        // A file handle: its next 2048 bytes, zero-padded, and its position kept.
        HANDLE file = static_cast<HANDLE>(data);
        LONG high = 0;
        DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
        memset(bulk->data(), 0, SPI_SAMPLE_SIZE);
        DWORD got = 0;
        if (!ReadFile(file, bulk->data(), SPI_SAMPLE_SIZE, &got, nullptr)) return 0;
        SetFilePointer(file, static_cast<LONG>(low), &high, FILE_BEGIN);
        request.dataSize = SPI_SAMPLE_SIZE;
    }
    return Call(request, answer, 0);
}

int32_t SpiRemoteFile::ConfigurationDlg(HWND parent, int32_t function) {
    lastFault = SpiFault();
    Request request = NewRequest(Op::ConfigurationDlg);
    Answer answer = Answer();
    request.handle = reinterpret_cast<uintptr_t>(parent);
    request.arg0 = function;
    return Call(request, answer, SPI_INTERNAL_ERROR);
}

int32_t SpiRemoteFile::GetPictureInfo(LPCSTR source, intptr_t length, uint32_t flag,
                                      PictureInfo* info) {
    lastFault = SpiFault();
    if (!loaded) return SPI_NOT_IMPLEMENTED;
    return FetchPictureInfo(Op::GetPictureInfo, source, length, flag, info);
}

int32_t SpiRemoteFile::FetchPictureInfo(Op op, const void* source, intptr_t length,
                                        uint32_t flag, PictureInfo* info) {
    if (info) memset(info, 0, sizeof *info);
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED
                                                                     : SPI_INTERNAL_ERROR;
    Request request = NewRequest(op);
    Answer answer = Answer();
    if (!PutSource(request, source, length, flag, op == Op::GetPictureInfoW))
        return SPI_NO_MEMORY;
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR);
    if (!info || !bulk || answer.magic != remote::kAnswerMagic) return result;
    info->left = answer.picture.left;
    info->top = answer.picture.top;
    info->width = answer.picture.width;
    info->height = answer.picture.height;
    info->x_density = answer.picture.xDensity;
    info->y_density = answer.picture.yDensity;
    info->colorDepth = answer.picture.colorDepth;
    if (answer.blocks & remote::kBlockFirst) info->hInfo = MakeBlock(0, answer.size0);
    return result;
}

namespace {

// The two blocks of a picture, made for the caller, or none of them.
int32_t TakePicture(int32_t result, HLOCAL first, bool wantFirst, HLOCAL second,
                    bool wantSecond, HLOCAL* info, HLOCAL* bits) {
    if ((wantFirst && !first) || (wantSecond && !second)) {
        FreeLiveLocal(first);
        FreeLiveLocal(second);
        return SPI_NO_MEMORY;
    }
    if (first) {
        if (info) *info = first;
        else LocalFree(first);
    }
    if (second) {
        if (bits) *bits = second;
        else LocalFree(second);
    }
    return result;
}

}  // namespace

int32_t SpiRemoteFile::FetchPicture(Op op, const void* source, intptr_t length, uint32_t flag,
                                    HLOCAL* info, HLOCAL* bits, ProgressCallback progress,
                                    intptr_t data) {
    lastFault = SpiFault();
    if (!loaded) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED
                                                                     : SPI_INTERNAL_ERROR;
    Request request = NewRequest(op);
    Answer answer = Answer();
    bool wide = op == Op::GetPictureW || op == Op::GetPreviewW;
    if (!PutSource(request, source, length, flag, wide)) return SPI_NO_MEMORY;
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR, progress, data);
    if (!bulk || answer.magic != remote::kAnswerMagic || lastFault.kind >= SpiFaultKind::RunnerExited)
        return result;
    bool hasInfo = answer.blocks & remote::kBlockFirst, hasBits = answer.blocks & remote::kBlockSecond;
    return TakePicture(result, hasInfo ? MakeBlock(0, answer.size0) : nullptr, hasInfo,
                       hasBits ? MakeBlock(answer.size0, answer.size1) : nullptr, hasBits, info,
                       bits);
}

int32_t SpiRemoteFile::GetPicture(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                  HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    return FetchPicture(Op::GetPicture, source, length, flag, info, bits, progress, data);
}

int32_t SpiRemoteFile::GetPreview(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                  HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    return FetchPicture(Op::GetPreview, source, length, flag, info, bits, progress, data);
}

namespace {

// WireEntry into fileInfo, WireEntryW into fileInfoW.
template <typename Record, typename Wire>
void TakeEntry(Record& entry, const Wire& wire) {
    static_assert(sizeof wire.path == sizeof entry.path, "path");
    static_assert(sizeof wire.filename == sizeof entry.filename, "filename");
    memset(&entry, 0, sizeof entry);
    memcpy(entry.method, wire.method, sizeof entry.method);
    entry.position = static_cast<uintptr_t>(wire.position);
    entry.compsize = static_cast<uintptr_t>(wire.compsize);
    entry.filesize = static_cast<uintptr_t>(wire.filesize);
    entry.timestamp = static_cast<SpiTimestamp>(wire.timestamp);
    memcpy(entry.path, wire.path, sizeof entry.path);
    memcpy(entry.filename, wire.filename, sizeof entry.filename);
    entry.crc = wire.crc;
}

}  // namespace

int32_t SpiRemoteFile::GetArchiveInfo(LPCSTR source, intptr_t length, uint32_t flag,
                                      HLOCAL* list) {
    lastFault = SpiFault();
    if (list) *list = nullptr;
    if (!loaded) return SPI_NOT_IMPLEMENTED;
    return FetchList<fileInfo, remote::WireEntry>(Op::GetArchiveInfo, source, length, flag, list);
}

template <typename Record, typename Wire>
int32_t SpiRemoteFile::FetchList(Op op, const void* source, intptr_t length, uint32_t flag,
                                 HLOCAL* list) {
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED
                                                                     : SPI_INTERNAL_ERROR;
    Request request = NewRequest(op);
    Answer answer = Answer();
    if (!PutSource(request, source, length, flag, op == Op::GetArchiveInfoW))
        return SPI_NO_MEMORY;
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR);
    if (!bulk || answer.magic != remote::kAnswerMagic || !(answer.blocks & remote::kBlockFirst) ||
        lastFault.kind >= SpiFaultKind::RunnerExited || answer.size0 > bulk->size())
        return result;
    size_t count = static_cast<size_t>(answer.size0 / sizeof(Wire));
    const Wire* wire = reinterpret_cast<const Wire*>(bulk->data());
    std::vector<Record> entries;
    entries.reserve(count);
    for (size_t n = 0; n < count; ++n) {
        if (!Fits(wire[n].position) || !Fits(wire[n].compsize) || !Fits(wire[n].filesize))
            continue;
        entries.emplace_back();
        TakeEntry(entries.back(), wire[n]);
    }
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, entries.size() * sizeof(Record));
    if (!block) return SPI_NO_MEMORY;
    {
        LocalLockScope lock(block);
        if (lock.data() && !entries.empty())
            memcpy(lock.data(), entries.data(), entries.size() * sizeof(Record));
    }
    if (list) *list = block;
    else LocalFree(block);
    return result;
}

int32_t SpiRemoteFile::GetFileInfo(LPCSTR source, intptr_t length, LPCSTR memberName,
                                   uint32_t flag, fileInfo* info) {
    lastFault = SpiFault();
    if (!loaded) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED
                                                                     : SPI_INTERNAL_ERROR;
    Request request = NewRequest(Op::GetFileInfo);
    Answer answer = Answer();
    if (!PutSource(request, source, length, flag, false)) return SPI_NO_MEMORY;
    if (!PutName(request.name2, memberName)) return SPI_UNSUPPORTED;
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR);
    if (result == SPI_SUCCESS && info && answer.magic == remote::kAnswerMagic)
        TakeEntry(*info, answer.entry);
    return result;
}

int32_t SpiRemoteFile::GetFile(LPCSTR source, intptr_t length, LPSTR destination, uint32_t flag,
                               ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (!loaded) return SPI_NOT_IMPLEMENTED;
    return FetchFile(Op::GetFile, source, length, destination, flag, progress, data);
}

int32_t SpiRemoteFile::FetchFile(Op op, const void* source, intptr_t length, void* destination,
                                 uint32_t flag, ProgressCallback progress, intptr_t data) {
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED
                                                                     : SPI_INTERNAL_ERROR;
    Request request = NewRequest(op);
    Answer answer = Answer();
    bool toMemory = (flag & SPI_OUTPUT_MEMORY) != 0, wide = op == Op::GetFileW;
    if (!PutSource(request, source, length, flag, wide)) return SPI_NO_MEMORY;
    if (!toMemory && !(wide ? PutName(request.name2, static_cast<LPCWSTR>(destination))
                            : PutName(request.name2, static_cast<LPCSTR>(destination))))
        return SPI_READ_ERROR;
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR, progress, data);
    if (!toMemory || !bulk || answer.magic != remote::kAnswerMagic ||
        !(answer.blocks & remote::kBlockFirst) || lastFault.kind >= SpiFaultKind::RunnerExited)
        return result;
    HLOCAL block = MakeBlock(0, answer.size0);
    if (!block) return SPI_NO_MEMORY;
    if (destination) *reinterpret_cast<HLOCAL*>(destination) = block;
    else LocalFree(block);
    return result;
}

// The wide operations. What the kind or the module's exports refuse is
// refused here, as the in-process object refuses it before the call.

bool SpiRemoteFile::WideAllowed(const char* exportName, PluginKind needed,
                                bool imageOrArchive) const {
    if (!loaded || !HasExport(exportName)) return false;
    if (imageOrArchive) return kind == PluginKind::Image || kind == PluginKind::Archive;
    return kind == needed;
}

int32_t SpiRemoteFile::GetPluginInfoW(int32_t infono, LPWSTR buf, int32_t buflen) {
    lastFault = SpiFault();
    if (!loaded || !HasExport("GetPluginInfoW")) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED
                                                                     : SPI_INTERNAL_ERROR;
    int32_t length = buflen < remote::kMaxWideInfoChars ? buflen : remote::kMaxWideInfoChars;
    size_t bytes = (buf && length > 0) ? static_cast<size_t>(length) * sizeof(WCHAR) : 0;
    Request request = NewRequest(Op::GetPluginInfoW);
    Answer answer = Answer();
    request.arg0 = infono;
    request.arg1 = length;
    // The buffer travels as the caller has it: what the plug-in does not
    // write stays as it was.
    if (bytes) {
        if (!bulk->Reserve(bytes)) return SPI_NO_MEMORY;
        memcpy(bulk->data(), buf, bytes);
        request.dataSize = bytes;
    }
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR);
    if (bulk && bytes && answer.magic == remote::kAnswerMagic && answer.size0 == bytes &&
        answer.size0 <= bulk->size())
        memcpy(buf, bulk->data(), bytes);
    return result;
}

int32_t SpiRemoteFile::IsSupportedW(LPCWSTR fileName, const void* data) {
    lastFault = SpiFault();
    if (!WideAllowed("IsSupportedW", PluginKind::Image, true)) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED : 0;
    Request request = NewRequest(Op::IsSupportedW);
    if (!PutName(request.name, fileName)) return 0;
    return CheckSupport(request, const_cast<void*>(data));
}

int32_t SpiRemoteFile::GetPictureInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                                       PictureInfo* info) {
    lastFault = SpiFault();
    if (!WideAllowed("GetPictureInfoW", PluginKind::Image)) return SPI_NOT_IMPLEMENTED;
    return FetchPictureInfo(Op::GetPictureInfoW, source, length, flag, info);
}

int32_t SpiRemoteFile::GetPictureW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                   HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (!WideAllowed("GetPictureW", PluginKind::Image)) return SPI_NOT_IMPLEMENTED;
    return FetchPicture(Op::GetPictureW, source, length, flag, info, bits, progress, data);
}

int32_t SpiRemoteFile::GetPreviewW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                   HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (!WideAllowed("GetPreviewW", PluginKind::Image)) return SPI_NOT_IMPLEMENTED;
    return FetchPicture(Op::GetPreviewW, source, length, flag, info, bits, progress, data);
}

int32_t SpiRemoteFile::GetArchiveInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                                       HLOCAL* list) {
    lastFault = SpiFault();
    if (list) *list = nullptr;
    if (!WideAllowed("GetArchiveInfoW", PluginKind::Archive)) return SPI_NOT_IMPLEMENTED;
    return FetchList<fileInfoW, remote::WireEntryW>(Op::GetArchiveInfoW, source, length, flag,
                                                    list);
}

int32_t SpiRemoteFile::GetFileInfoW(LPCWSTR source, intptr_t length, LPCWSTR memberName,
                                    uint32_t flag, fileInfoW* info) {
    lastFault = SpiFault();
    if (!WideAllowed("GetFileInfoW", PluginKind::Archive)) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED
                                                                     : SPI_INTERNAL_ERROR;
    Request request = NewRequest(Op::GetFileInfoW);
    Answer answer = Answer();
    if (!PutSource(request, source, length, flag, true)) return SPI_NO_MEMORY;
    if (!PutName(request.name2, memberName)) return SPI_UNSUPPORTED;
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR);
    if (result == SPI_SUCCESS && info && bulk && answer.magic == remote::kAnswerMagic &&
        (answer.blocks & remote::kBlockFirst) && answer.size0 == sizeof(remote::WireEntryW) &&
        answer.size0 <= bulk->size())
        TakeEntry(*info, *reinterpret_cast<const remote::WireEntryW*>(bulk->data()));
    return result;
}

int32_t SpiRemoteFile::GetFileW(LPCWSTR source, intptr_t length, LPWSTR destination,
                                uint32_t flag, ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (!WideAllowed("GetFileW", PluginKind::Archive)) return SPI_NOT_IMPLEMENTED;
    return FetchFile(Op::GetFileW, source, length, destination, flag, progress, data);
}
