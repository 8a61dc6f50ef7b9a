// SpiRemoteFile: the operations, each one request to the runner and its
// answer taken in (the runner itself is reached through RunnerLink).
#include "remote/spi_remote_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "base/pe_image.h"
#include "remote/wire.h"

using remote::Answer;
using remote::Op;
using remote::Request;
using remote::NewRequest;
using remote::PutName;

SpiRemoteFile::SpiRemoteFile() = default;

SpiRemoteFile::~SpiRemoteFile() { link_.End(false); }

void SpiRemoteFile::SetRunnerFolder(LPCSTR folder) { runnerFolder = folder ? folder : ""; }

bool SpiRemoteFile::Exchange(Request& request, Answer& answer, ProgressCallback progress,
                             intptr_t data) {
    if (link_.Exchange(request, answer, progress, data)) return true;
    lastFault = link_.Failure();
    return false;
}

bool SpiRemoteFile::EnsureRunner() {
    if (link_.Running()) return true;
    if (!loaded) return false;
    if (!link_.Start(bits, runnerFolder)) {
        lastFault = link_.Failure();
        return false;
    }
    Request request = NewRequest(Op::Load);
    Answer answer = Answer();
    PutName(request.name, modulePath);
    if (!Exchange(request, answer)) return false;
    if (answer.result != 1) {
        // The module no longer loads: as a module gone missing in process.
        link_.End(false);
        return false;
    }
    return true;
}

int32_t SpiRemoteFile::EnsureLoaded() { return EnsureRunner() ? 1 : 0; }

bool SpiRemoteFile::Answered(const Answer& answer) const {
    return link_.bulk() && answer.magic == remote::kAnswerMagic &&
           lastFault.kind < SpiFaultKind::RunnerExited;
}

int32_t SpiRemoteFile::Call(Request& request, Answer& answer, int32_t faultResult,
                            ProgressCallback progress, intptr_t data) {
    if (!loaded) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return NoRunner(faultResult);
    if (!Exchange(request, answer, progress, data)) return faultResult;
    lastFault = remote::FromWire(answer.fault);
    // The runner ends itself after a heap damage; it is waited for here.
    if (lastFault.kind == SpiFaultKind::HeapDamage) link_.End(false);
    return answer.result;
}

HLOCAL SpiRemoteFile::MakeBlock(uint64_t offset, uint64_t size) {
    const remote::Section* bulk = link_.bulk();
    if (!bulk || !remote::Fits(size) || offset + size > bulk->size()) return nullptr;
    uint64_t filled = 0;
    HLOCAL block = link_.TakePrepared(offset, size, &filled);
    if (!block) block = LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(size));
    if (!block) return nullptr;
    LocalLockScope lock(block);
    if (!lock.data()) {
        LocalFree(block);
        return nullptr;
    }
    memcpy(lock.as<unsigned char>() + filled, bulk->data() + offset + filled,
           static_cast<size_t>(size - filled));
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
    if (!link_.bulk() || !link_.bulk()->Reserve(size)) return false;
    if (size) memcpy(link_.bulk()->data(), source, size);
    request.dataSize = size;
    return true;
}

int32_t SpiRemoteFile::CallOn(Request& request, Answer& answer, const remote::Source& source,
                              const remote::Name& second, ProgressCallback progress,
                              intptr_t data) {
    if (!EnsureRunner()) return NoRunner(SPI_INTERNAL_ERROR);
    if (!PutSource(request, source.data, source.length, source.flag, source.wide))
        return SPI_NO_MEMORY;
    if (second.given && !(second.wide ? PutName(request.name2, static_cast<LPCWSTR>(second.text))
                                      : PutName(request.name2, static_cast<LPCSTR>(second.text))))
        return second.misfit;
    return Call(request, answer, SPI_INTERNAL_ERROR, progress, data);
}

int32_t SpiRemoteFile::Load(LPCSTR folder, LPCSTR fileName) {
    lastFault = SpiFault();
    if (loaded && link_.Running()) return 1;
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
    int moduleBits = PeImageBits(path);
    if (!moduleBits) {
        if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) SetLastError(ERROR_BAD_EXE_FORMAT);
        return 0;
    }
    link_.End(false);
    loaded = false;
    bits = moduleBits;
    if (!link_.Start(bits, runnerFolder)) {
        lastFault = link_.Failure();
        return 0;
    }
    Request request = NewRequest(Op::Load);
    Answer answer = Answer();
    if (!PutName(request.name, path)) {
        link_.End(false);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (!Exchange(request, answer)) return 0;
    lastFault.kind = static_cast<SpiFaultKind>(answer.fault.kind);
    lastFault.code = answer.fault.code;
    kind = static_cast<PluginKind>(answer.kind);
    if (answer.result != 1) {
        link_.End(false);
        return 0;
    }
    const remote::Section* bulk = link_.bulk();
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
    if (link_.Running()) {
        Request request = NewRequest(Op::Unload);
        Answer answer;
        if (Exchange(request, answer)) {
            lastFault.kind = static_cast<SpiFaultKind>(answer.fault.kind);
            lastFault.code = answer.fault.code;
        }
    }
    link_.End(false);
    return 1;
}

int32_t SpiRemoteFile::GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) {
    lastFault = SpiFault();
    Request request = NewRequest(Op::GetPluginInfo);
    Answer answer = Answer();
    request.arg0 = infono;
    request.arg1 = buflen;
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR);
    const remote::Section* bulk = link_.bulk();
    if (bulk && buf && buflen > 0 && answer.size0 >= static_cast<uint64_t>(buflen) &&
        answer.size0 <= bulk->size() && answer.magic == remote::kAnswerMagic)
        memcpy(buf, bulk->data(), buflen);
    return result;
}

int32_t SpiRemoteFile::IsSupported(LPCSTR fileName, void* data) {
    lastFault = SpiFault();
    if (!loaded) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return NoRunner(0);
    Request request = NewRequest(Op::IsSupported);
    if (!PutName(request.name, fileName)) return 0;
    return CheckSupport(request, data);
}

int32_t SpiRemoteFile::CheckSupport(Request& request, void* data) {
    Answer answer = Answer();
    remote::Section* bulk = link_.bulk();
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
    Request request = NewRequest(op);
    Answer answer = Answer();
    int32_t result =
        CallOn(request, answer, {source, length, flag, op == Op::GetPictureInfoW});
    if (!info || !link_.bulk() || answer.magic != remote::kAnswerMagic) return result;
    remote::CopyPicture(*info, answer.picture);
    if (answer.blocks & remote::kBlockFirst) info->hInfo = MakeBlock(0, answer.size0);
    return result;
}

int32_t SpiRemoteFile::GetPictureInfoAsGiven(LPCSTR source, intptr_t length, uint32_t flag,
                                             PictureInfo* info) {
    lastFault = SpiFault();
    // Refused before the record is touched, as in process.
    if (!loaded || kind != PluginKind::Image || !HasExport(SpiExport::GetPictureInfo))
        return SPI_NOT_IMPLEMENTED;
    Request request = NewRequest(Op::GetPictureInfoAsGiven);
    Answer answer = Answer();
    remote::PutGivenPicture(request.given, *info);
    int32_t result = CallOn(request, answer, {source, length, flag, false});
    if (!Answered(answer)) return result;
    remote::TakeGivenPicture(*info, answer.given);
    if (answer.blocks & remote::kBlockFirst) info->hInfo = MakeBlock(0, answer.size0);
    return result;
}

namespace {

// The two blocks of a picture, made for the caller, or none of them.
int32_t TakePictureBlocks(int32_t result, HLOCAL first, bool wantFirst, HLOCAL second,
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
    Request request = NewRequest(op);
    Answer answer = Answer();
    bool wide = op == Op::GetPictureW || op == Op::GetPreviewW;
    int32_t result =
        CallOn(request, answer, {source, length, flag, wide}, remote::Name(), progress, data);
    if (!Answered(answer)) return result;
    bool hasInfo = answer.blocks & remote::kBlockFirst, hasBits = answer.blocks & remote::kBlockSecond;
    return TakePictureBlocks(result, hasInfo ? MakeBlock(0, answer.size0) : nullptr, hasInfo,
                             hasBits ? MakeBlock(answer.size0, answer.size1) : nullptr, hasBits,
                             info, bits);
}

int32_t SpiRemoteFile::GetPicture(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                  HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    return FetchPicture(Op::GetPicture, source, length, flag, info, bits, progress, data);
}

int32_t SpiRemoteFile::GetPreview(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                  HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    return FetchPicture(Op::GetPreview, source, length, flag, info, bits, progress, data);
}

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
    Request request = NewRequest(op);
    Answer answer = Answer();
    int32_t result =
        CallOn(request, answer, {source, length, flag, op == Op::GetArchiveInfoW});
    if (!Answered(answer) || !(answer.blocks & remote::kBlockFirst) ||
        answer.size0 > link_.bulk()->size())
        return result;
    size_t count = static_cast<size_t>(answer.size0 / sizeof(Wire));
    const Wire* wire = reinterpret_cast<const Wire*>(link_.bulk()->data());
    std::vector<Record> entries;
    entries.reserve(count);
    for (size_t n = 0; n < count; ++n) {
        if (!remote::Fits(wire[n].position) || !remote::Fits(wire[n].compsize) ||
            !remote::Fits(wire[n].filesize))
            continue;
        entries.emplace_back();
        remote::TakeEntry(entries.back(), wire[n]);
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
    Request request = NewRequest(Op::GetFileInfo);
    Answer answer = Answer();
    int32_t result = CallOn(request, answer, {source, length, flag, false},
                            {memberName, false, SPI_UNSUPPORTED, true});
    if (result == SPI_SUCCESS && info && answer.magic == remote::kAnswerMagic)
        remote::TakeEntry(*info, answer.entry);
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
    Request request = NewRequest(op);
    Answer answer = Answer();
    bool toMemory = (flag & SPI_OUTPUT_MEMORY) != 0, wide = op == Op::GetFileW;
    // The destination folder travels unless the member goes to memory.
    int32_t result = CallOn(request, answer, {source, length, flag, wide},
                            {destination, wide, SPI_READ_ERROR, !toMemory}, progress, data);
    if (!toMemory || !Answered(answer) || !(answer.blocks & remote::kBlockFirst)) return result;
    HLOCAL block = MakeBlock(0, answer.size0);
    if (!block) return SPI_NO_MEMORY;
    if (destination) *reinterpret_cast<HLOCAL*>(destination) = block;
    else LocalFree(block);
    return result;
}

// The wide operations. What the kind or the module's exports refuse is
// refused here, as the in-process object refuses it before the call.

bool SpiRemoteFile::WideAllowed(SpiExport e) const {
    return loaded && HasExport(e) && KindCalls(kind, e);
}

int32_t SpiRemoteFile::GetPluginInfoW(int32_t infono, LPWSTR buf, int32_t buflen) {
    lastFault = SpiFault();
    if (!loaded || !HasExport(SpiExport::GetPluginInfoW)) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return NoRunner(SPI_INTERNAL_ERROR);
    int32_t length = buflen < remote::kMaxWideInfoChars ? buflen : remote::kMaxWideInfoChars;
    size_t bytes = (buf && length > 0) ? static_cast<size_t>(length) * sizeof(WCHAR) : 0;
    Request request = NewRequest(Op::GetPluginInfoW);
    Answer answer = Answer();
    request.arg0 = infono;
    request.arg1 = length;
    // The buffer travels as the caller has it: what the plug-in does not
    // write stays as it was.
    if (bytes) {
        if (!link_.bulk()->Reserve(bytes)) return SPI_NO_MEMORY;
        memcpy(link_.bulk()->data(), buf, bytes);
        request.dataSize = bytes;
    }
    int32_t result = Call(request, answer, SPI_INTERNAL_ERROR);
    const remote::Section* bulk = link_.bulk();
    if (bulk && bytes && answer.magic == remote::kAnswerMagic && answer.size0 == bytes &&
        answer.size0 <= bulk->size())
        memcpy(buf, bulk->data(), bytes);
    return result;
}

int32_t SpiRemoteFile::IsSupportedW(LPCWSTR fileName, const void* data) {
    lastFault = SpiFault();
    if (!WideAllowed(SpiExport::IsSupportedW)) return SPI_NOT_IMPLEMENTED;
    if (!EnsureRunner()) return NoRunner(0);
    Request request = NewRequest(Op::IsSupportedW);
    if (!PutName(request.name, fileName)) return 0;
    return CheckSupport(request, const_cast<void*>(data));
}

int32_t SpiRemoteFile::GetPictureInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                                       PictureInfo* info) {
    lastFault = SpiFault();
    if (!WideAllowed(SpiExport::GetPictureInfoW)) return SPI_NOT_IMPLEMENTED;
    return FetchPictureInfo(Op::GetPictureInfoW, source, length, flag, info);
}

int32_t SpiRemoteFile::GetPictureW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                   HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (!WideAllowed(SpiExport::GetPictureW)) return SPI_NOT_IMPLEMENTED;
    return FetchPicture(Op::GetPictureW, source, length, flag, info, bits, progress, data);
}

int32_t SpiRemoteFile::GetPreviewW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                                   HLOCAL* bits, ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (!WideAllowed(SpiExport::GetPreviewW)) return SPI_NOT_IMPLEMENTED;
    return FetchPicture(Op::GetPreviewW, source, length, flag, info, bits, progress, data);
}

int32_t SpiRemoteFile::GetArchiveInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                                       HLOCAL* list) {
    lastFault = SpiFault();
    if (list) *list = nullptr;
    if (!WideAllowed(SpiExport::GetArchiveInfoW)) return SPI_NOT_IMPLEMENTED;
    return FetchList<fileInfoW, remote::WireEntryW>(Op::GetArchiveInfoW, source, length, flag,
                                                    list);
}

int32_t SpiRemoteFile::GetFileInfoW(LPCWSTR source, intptr_t length, LPCWSTR memberName,
                                    uint32_t flag, fileInfoW* info) {
    lastFault = SpiFault();
    if (!WideAllowed(SpiExport::GetFileInfoW)) return SPI_NOT_IMPLEMENTED;
    Request request = NewRequest(Op::GetFileInfoW);
    Answer answer = Answer();
    int32_t result = CallOn(request, answer, {source, length, flag, true},
                            {memberName, true, SPI_UNSUPPORTED, true});
    const remote::Section* bulk = link_.bulk();
    if (result == SPI_SUCCESS && info && bulk && answer.magic == remote::kAnswerMagic &&
        (answer.blocks & remote::kBlockFirst) && answer.size0 == sizeof(remote::WireEntryW) &&
        answer.size0 <= bulk->size())
        remote::TakeEntry(*info, *reinterpret_cast<const remote::WireEntryW*>(bulk->data()));
    return result;
}

int32_t SpiRemoteFile::GetFileW(LPCWSTR source, intptr_t length, LPWSTR destination,
                                uint32_t flag, ProgressCallback progress, intptr_t data) {
    lastFault = SpiFault();
    if (!WideAllowed(SpiExport::GetFileW)) return SPI_NOT_IMPLEMENTED;
    return FetchFile(Op::GetFileW, source, length, destination, flag, progress, data);
}
