// SpiRemoteFile: a plug-in object whose module runs in a runner process.
//
// The runner (spirunner32.exe for a 32-bit module, spirunner64.exe for an
// x64 one, chosen by the module's PE header) loads the module with a
// guarded, Resident SpiDllFile and serves the nine operations and the
// wide ones over a pipe (remote_protocol.h). The operations answer as SpiDllFile's do, with the
// caller's own blocks where the plug-in API promises blocks (pictures,
// comments, lists, members extracted to memory), and progress callbacks
// are called in the caller's thread, one round trip each, so a cancel
// reaches the plug-in at once.
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
// SpiDllFile take it; it holds no module of its own (HoldsModule() is
// false) and has no residency. An object is used from one thread at a time.
#ifndef SPIPROBE_PLUGIN_SPI_REMOTE_FILE_H
#define SPIPROBE_PLUGIN_SPI_REMOTE_FILE_H

#include <cstdint>
#include <memory>
#include <string>

#include "spi_dll_file.h"
#include "win32_handles.h"

namespace remote {
class Section;
struct Request;
struct Answer;
enum class Op : uint32_t;
}  // namespace remote

class SpiRemoteFile : public SpiDllFile {
public:
    // Time a call may take before its runner is ended, and time a runner
    // gets to start (both reset by every progress callback).
    static constexpr DWORD kDefaultDeadline = 30000;
    static constexpr DWORD kStartDeadline = 20000;

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

    // LastFault(): what the last operation caught, in the runner or of the
    // runner. GetAboutText, GetModulePath, ExtensionList and HasExport
    // answer from the module's identification in its runner.

    // Milliseconds each call may take (0: kDefaultDeadline).
    void SetDeadline(DWORD milliseconds) { deadline = milliseconds ? milliseconds : kDefaultDeadline; }
    DWORD Deadline() const { return deadline; }
    // Where spirunner32.exe and spirunner64.exe are; null or empty: the
    // folder of the calling program.
    void SetRunnerFolder(LPCSTR folder);

    // 32 or 64 for a module of that bitness, 0 for anything else.
    static int ModuleBits(LPCSTR path);
    // The bitness of the module named at the last Load (0 before one).
    int RunnerBits() const { return bits; }
    // The running runner's process id, 0 when none runs.
    DWORD RunnerProcessId() const;

private:
    bool StartRunner();
    // Ends the runner: asked to end (its pipe closed), or killed at once.
    void EndRunner(bool kill);
    // A running runner with the module loaded; false (lastFault set) when
    // none could be had.
    bool EnsureRunner();
    // One call: the request, its progress callbacks, the answer. False
    // when the runner ended or missed its deadline; then lastFault says so
    // and the runner is gone.
    bool Exchange(remote::Request& request, remote::Answer& answer, ProgressCallback progress,
                  intptr_t data);
    // A call with its answer taken in: the runner's result and fault, or
    // faultResult when the runner failed. -1 when nothing is loaded.
    int32_t Call(remote::Request& request, remote::Answer& answer, int32_t faultResult,
                 ProgressCallback progress = nullptr, intptr_t data = 0);
    // Puts a source into the request: the file name (ANSI, or UTF-16 when
    // wide), or the bytes.
    bool PutSource(remote::Request& request, const void* source, intptr_t length, uint32_t flag,
                   bool wide);
    // Whether a wide operation goes to the runner at all: a module is
    // loaded, of the kind (imageOrArchive: either), and it has the export.
    bool WideAllowed(const char* exportName, PluginKind needed, bool imageOrArchive = false) const;
    // IsSupported and IsSupportedW: the sample, or a file handle's next
    // 2048 bytes, into the section.
    int32_t CheckSupport(remote::Request& request, void* data);
    bool Transfer(bool write, void* buffer, DWORD size, DWORD started);
    void RunnerFailed(bool timedOut);
    // A block of the caller's with the bytes at offset in the section.
    HLOCAL MakeBlock(uint64_t offset, uint64_t size) const;
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

    DWORD deadline = kDefaultDeadline;
    std::string runnerFolder;
    bool loaded = false;  // a Load succeeded: every runner loads the module
    int bits = 0;

    UniqueKernelHandle process;
    UniqueKernelHandle pipe;
    UniqueKernelHandle ioEvent;
    UniqueKernelHandle controlMapping;
    std::unique_ptr<void, BOOL(WINAPI*)(LPCVOID)> controlView{nullptr, UnmapViewOfFile};
    std::unique_ptr<remote::Section> bulk;
    uint64_t nextId = 1;
};

#endif
