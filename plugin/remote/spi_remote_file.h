// SpiRemoteFile: a plug-in object whose module runs in a runner process.
//
// The runner (spirunner32.exe for a 32-bit module, spirunner64.exe for an
// x64 one, chosen by the module's PE header) loads the module with a
// guarded, Resident SpiDllFile and serves the nine operations and the
// wide ones over a pipe (remote/protocol.h; the link to the runner is
// remote/runner_link.h). The operations answer as SpiDllFile's do, with the
// caller's own blocks where the plug-in API promises blocks (pictures,
// comments, lists, members extracted to memory), and progress callbacks
// are called in the caller's thread: by default one round trip each, so
// the callback sees every call the plug-in makes and a cancel reaches the
// plug-in at the call it answers; or, with SetPostedProgress(true),
// without a round trip (see there).
//
// What a runner survives and the caller's process would not: a C++
// exception escaping a GCC-built module, ExitProcess, a call that never
// returns, a damaged heap. Such a call answers 8 (0 for IsSupported) and
// LastFault() says what happened; the runner is ended, and the next call
// starts a fresh one and loads the module there again. A runner whose
// host process ends ends too, even in the middle of a call.
//
//     SpiRemoteFile plugin;                 // works for .spi and .sph alike
//     if (!plugin.Load(folder, "bmp.spi")) return;
//     HLOCAL info = nullptr, bits = nullptr;
//     int32_t result = plugin.GetPicture(name, 0, SPI_INPUT_FILE, &info, &bits, nullptr, 0);
//     // info and bits are the caller's blocks: LocalFree them
//
// It is a SpiDllFile, so the stream-level operations (which call the nine
// and the wide ones through the virtual interface) and every caller of a
// SpiDllFile take it. Every public operation it inherits answers as the
// in-process object's does, except these, which describe a module held in
// this process and answer as for one that is not:
// - HoldsModule() is false and Residency() is Undecided: the module is
//   held by the runner, which keeps it Resident;
// - EnsureLoaded() answers 1 when a runner with the module loaded runs
//   (starting one when none does), 0 otherwise; ReleaseAfterCall() releases
//   nothing and answers 1.
// An object is used from one thread at a time.
#ifndef SPIPROBE_PLUGIN_REMOTE_SPI_REMOTE_FILE_H
#define SPIPROBE_PLUGIN_REMOTE_SPI_REMOTE_FILE_H

#include <cstdint>
#include <string>

#include "remote/runner_link.h"
#include "spi_dll_file.h"

namespace remote {
// A source of an export (buf, len, flag), with its name in UTF-16 when
// wide; and a second name (a member, a destination folder), given or not,
// with the answer when it does not fit a frame.
struct Source {
    const void* data;
    intptr_t length;
    uint32_t flag;
    bool wide;
};
struct Name {
    const void* text = nullptr;
    bool wide = false;
    int32_t misfit = 0;
    bool given = false;
};
}  // namespace remote

class SpiRemoteFile : public SpiDllFile {
public:
    // Time a call may take before its runner is ended, and time a runner
    // gets to start (both reset by every progress callback).
    static constexpr DWORD kDefaultDeadline = RunnerLink::kDefaultDeadline;
    static constexpr DWORD kStartDeadline = RunnerLink::kStartDeadline;

    SpiRemoteFile();
    ~SpiRemoteFile() override;

    // Starts a runner of the module's bitness and loads the module there:
    // 1 loaded and identified, 0 otherwise (also when the file is no DLL of
    // either bitness: last error ERROR_BAD_EXE_FORMAT). 1 at once when a
    // module is already loaded.
    int32_t Load(LPCSTR folder, LPCSTR fileName) override;
    // Releases the module and ends the runner; the next call starts one
    // again. Always 1.
    int32_t Unload() override;

    // The nine operations, with SpiDllFile's results; 8 (0 for IsSupported)
    // also when the runner ended or missed its deadline.
    int32_t GetPluginInfo(int32_t infono, LPSTR buf, int32_t buflen) override;
    // data: the address of a 2048-byte sample, a file handle (read from its
    // position, which is kept), or null.
    int32_t IsSupported(LPCSTR fileName, void* data) override;
    int32_t ConfigurationDlg(HWND parent, int32_t function) override;
    int32_t GetPictureInfo(LPCSTR source, intptr_t length, uint32_t flag,
                           PictureInfo* info) override;
    // The record travels as the caller filled it and comes back as the
    // module left it; an hInfo the module set to a block of its own comes
    // back as a block of the caller's, any other value as it is.
    int32_t GetPictureInfoAsGiven(LPCSTR source, intptr_t length, uint32_t flag,
                                  PictureInfo* info) override;
    int32_t GetPicture(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info, HLOCAL* bits,
                       ProgressCallback progress, intptr_t data) override;
    int32_t GetPreview(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* info, HLOCAL* bits,
                       ProgressCallback progress, intptr_t data) override;
    // A 32-bit caller gets no record whose position or sizes need 64 bits.
    int32_t GetArchiveInfo(LPCSTR source, intptr_t length, uint32_t flag, HLOCAL* list) override;
    int32_t GetFileInfo(LPCSTR source, intptr_t length, LPCSTR memberName, uint32_t flag,
                        fileInfo* info) override;
    int32_t GetFile(LPCSTR source, intptr_t length, LPSTR destination, uint32_t flag,
                    ProgressCallback progress, intptr_t data) override;

    // The wide operations, with SpiDllFile's results in the same way: the
    // runner calls the module's wide exports with the caller's UTF-16 names
    // and the caller gets blocks of its own, lists of fileInfoW records of
    // its own bitness (a 32-bit caller none whose position or sizes need 64
    // bits). A call the kind or a missing export refuses answers -1 at once,
    // touching none of its arguments. GetPluginInfoW hands the plug-in at
    // most 1M WCHARs of buffer.
    int32_t GetPluginInfoW(int32_t infono, LPWSTR buf, int32_t buflen) override;
    int32_t IsSupportedW(LPCWSTR fileName, const void* data) override;
    int32_t GetPictureInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                            PictureInfo* info) override;
    int32_t GetPictureW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                        HLOCAL* bits, ProgressCallback progress, intptr_t data) override;
    int32_t GetPreviewW(LPCWSTR source, intptr_t length, uint32_t flag, HLOCAL* info,
                        HLOCAL* bits, ProgressCallback progress, intptr_t data) override;
    int32_t GetArchiveInfoW(LPCWSTR source, intptr_t length, uint32_t flag,
                            HLOCAL* list) override;
    int32_t GetFileInfoW(LPCWSTR source, intptr_t length, LPCWSTR memberName, uint32_t flag,
                         fileInfoW* info) override;
    int32_t GetFileW(LPCWSTR source, intptr_t length, LPWSTR destination, uint32_t flag,
                     ProgressCallback progress, intptr_t data) override;

    // A runner with the module loaded: 1, starting one when none runs; 0
    // when nothing is loaded or no runner could be had.
    int32_t EnsureLoaded() override;
    // Nothing is held in this process: always 1.
    int32_t ReleaseAfterCall() override { return 1; }

    // LastFault(): what the last operation caught, in the runner or of the
    // runner. GetAboutText, GetModulePath, ExtensionList and HasExport
    // answer from the module's identification in its runner.

    // Milliseconds each call may take (0: kDefaultDeadline).
    void SetDeadline(DWORD milliseconds) { link_.SetDeadline(milliseconds); }
    DWORD Deadline() const { return link_.Deadline(); }
    // Posted progress: the runner answers the plug-in's callbacks at once
    // with the callback's last answer and posts the progress; the callback
    // is called in the caller's thread, while the call runs, with the
    // latest progress it has not seen (callbacks it had no time for are
    // merged into the next one; the last progress of the call always
    // reaches it, before the call returns). A non-zero answer reaches the
    // plug-in at its first callback after the answer: one callback later
    // than in process when the callback keeps up; a plug-in that makes no
    // further callback finishes as without it. Callbacks are taken at most
    // every RunnerLink::kPostInterval ms, the last one aside. Off by
    // default (one round trip per callback).
    void SetPostedProgress(bool posted) { link_.SetPostedProgress(posted); }
    bool PostedProgress() const { return link_.ProgressPosted(); }
    // Where spirunner32.exe and spirunner64.exe are; null or empty: the
    // folder of the calling program.
    void SetRunnerFolder(LPCSTR folder);

    // The bitness of the module named at the last Load (0 before one).
    int RunnerBits() const { return bits; }
    // The running runner's process id, 0 when none runs.
    DWORD RunnerProcessId() const { return link_.ProcessId(); }

private:
    // A running runner with the module loaded; false (lastFault set) when
    // none could be had.
    bool EnsureRunner();
    // The link's exchange; false, with lastFault saying why, when the
    // runner failed.
    bool Exchange(remote::Request& request, remote::Answer& answer,
                  ProgressCallback progress = nullptr, intptr_t data = 0);
    // A call with its answer taken in: the runner's result and fault, or
    // faultResult when the runner failed. -1 when nothing is loaded.
    int32_t Call(remote::Request& request, remote::Answer& answer, int32_t faultResult,
                 ProgressCallback progress = nullptr, intptr_t data = 0);
    // The answer to give when no runner could be had: -1 when nothing
    // failed (nothing loaded), else faultResult.
    int32_t NoRunner(int32_t faultResult) const {
        return lastFault.kind == SpiFaultKind::None ? SPI_NOT_IMPLEMENTED : faultResult;
    }
    // A call on a source: a runner had (else NoRunner's answer), the source
    // put into the request (else 4), the second name put when given (else
    // its misfit answer), then Call.
    int32_t CallOn(remote::Request& request, remote::Answer& answer,
                   const remote::Source& source, const remote::Name& second = remote::Name(),
                   ProgressCallback progress = nullptr,
                   intptr_t data = 0);
    // Puts a source into the request: the file name (ANSI, or UTF-16 when
    // wide), or the bytes.
    bool PutSource(remote::Request& request, const void* source, intptr_t length, uint32_t flag,
                   bool wide);
    // Whether a wide operation goes to the runner at all: a module is
    // loaded, of a kind that calls the export, and it has the export.
    bool WideAllowed(SpiExport e) const;
    // IsSupported and IsSupportedW: the sample, or a file handle's next
    // 2048 bytes, into the section.
    int32_t CheckSupport(remote::Request& request, void* data);
    // A block of the caller's with the bytes at offset in the section.
    HLOCAL MakeBlock(uint64_t offset, uint64_t size);
    // Whether an answer came whole from a runner that is still there.
    bool Answered(const remote::Answer& answer) const;
    // GetPicture and GetPreview: the same call, the operation aside.
    int32_t FetchPicture(remote::Op op, const void* source, intptr_t length, uint32_t flag,
                         HLOCAL* info, HLOCAL* bits, ProgressCallback progress, intptr_t data);
    // GetPictureInfo and GetPictureInfoW.
    int32_t FetchPictureInfo(remote::Op op, const void* source, intptr_t length, uint32_t flag,
                             PictureInfo* info);
    // GetArchiveInfo and GetArchiveInfoW: the list as a block of Record.
    template <typename Record, typename Wire>
    int32_t FetchList(remote::Op op, const void* source, intptr_t length, uint32_t flag,
                      HLOCAL* list);
    // GetFile and GetFileW.
    int32_t FetchFile(remote::Op op, const void* source, intptr_t length, void* destination,
                      uint32_t flag, ProgressCallback progress, intptr_t data);

    RunnerLink link_;
    std::string runnerFolder;
    bool loaded = false;  // a Load succeeded: every runner loads the module
    int bits = 0;
};

#endif
