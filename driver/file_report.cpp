// The test of one file: open, the two support probes, then the image test
// (or the archive test, archive_report.cpp).
#include <cstdio>
#include <cstring>

#include "base/fenced_buffer.h"
#include "options.h"
#include "reports.h"
#include "win32_handles.h"

namespace {

// The probes see the file's first 2048 bytes, then the 2048 from byte 128.
constexpr DWORD kSecondProbeOffset = 128;
constexpr DWORD kHeadSize = SPI_SAMPLE_SIZE + kSecondProbeOffset;

// An x64 plug-in's support check takes the sample only: a 64-bit host must
// not hand it a file handle, so the file interface probes with the same
// bytes read here.
#if defined(_WIN64)
constexpr bool kSampleOnly = true;
#else
constexpr bool kSampleOnly = false;
#endif

// Both probes; true when the plug-in accepted either. -1 (no IsSupported
// export) counts as accepted.
bool Probe(SpiDllFile& plugin, const char* fileName, HANDLE file) {
    char head[kHeadSize];
    void* source = file;
    const bool sample = useMemoryInterface || kSampleOnly;
    if (sample) {
        memset(head, 0, sizeof head);
        DWORD got = 0;
        ReadFile(file, head, kHeadSize, &got, nullptr);
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        source = head;
    }
    if (plugin.IsSupported(fileName, source) != 0) return true;

    if (sample) {
        source = head + kSecondProbeOffset;
    } else {
        // Byte 128, wherever the first probe left the file pointer.
        SetFilePointer(file, kSecondProbeOffset, nullptr, FILE_BEGIN);
    }
    return plugin.IsSupported(fileName, source) != 0;
}

void PrintComment(HLOCAL comment) {
    UniqueLocal owned(comment);
    LocalLockScope text(comment);
    if (text.data()) {
        // The text may lack its terminator: it ends with the block.
        const char* p = text.as<const char>();
        printf("\tComment\t%.*s\n", static_cast<int>(strnlen(p, text.size())), p);
    }
}

void PrintBitmapHeader(const void* block, size_t size) {
    printf("BITMAPINFOHEADER\n");
    if (!block || size < sizeof(BITMAPINFOHEADER)) {
        printf("\tInvalid info block (%u bytes)\n", static_cast<unsigned>(size));
        return;
    }
    BITMAPINFOHEADER h;
    memcpy(&h, block, sizeof h);
    printf("\tStructSize:\t%d\n", static_cast<int>(h.biSize));
    printf("\tImageSize:\t%d\n", static_cast<int>(h.biSizeImage));
    printf("\tBiClrSize:\t%d\n", static_cast<int>(h.biClrUsed));
    printf("\tWidth:\t%d\n", static_cast<int>(h.biWidth));
    printf("\tHeight:\t%d\n", static_cast<int>(h.biHeight));
    printf("\tPlanes:\t%d\n", static_cast<int>(h.biPlanes));
    printf("\tDepth:\t%d\n", static_cast<int>(h.biBitCount));
    printf("\tXPelsPerMeter:\t%d\n", static_cast<int>(h.biXPelsPerMeter));
    printf("\tYPelsPerMeter:\t%d\n", static_cast<int>(h.biYPelsPerMeter));
}

}  // namespace

void TestFile(SpiDllFile& plugin, const char* fileName) {
    UniqueFile file(CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (!file.valid()) {
        printf("ファイル[%s]のオープンに失敗しました。\n", fileName);
        return;
    }
    fflush(stdout);

    if (!Probe(plugin, fileName, file.get())) {
        printf("%sは未サポートのフォーマットです\n", fileName);
        return;
    }
    // Every later call is given the name: the handle is done with.
    file.reset();
    fflush(stdout);

    switch (static_cast<PluginKind>(plugin.GetKind())) {
    case PluginKind::Image:
        TestImage(plugin, fileName);
        break;
    case PluginKind::Archive:
        TestArchive(plugin, fileName);
        break;
    default:
        printf("未対応の形式のPlug-inです。\n");
        break;
    }
}

void TestImage(SpiDllFile& plugin, const char* fileName) {
    // The record is filled in a buffer with room after it, so a plug-in
    // that writes past the record stays out of spiprobe's stack.
    PictureInfo info = {};
    int32_t result = SPI_NO_MEMORY;
    {
        FencedBuffer record(sizeof info, FencedBuffer::kCanaryTail);
        if (record.data()) {
            result = plugin.GetPictureInfo(fileName, 0, 0,
                                           reinterpret_cast<PictureInfo*>(record.data()));
            memcpy(&info, record.data(), sizeof info);
        }
    }
    if (result != 0) {
        printf("%sの画像情報取得に失敗しました(Ret==%d)。\n", fileName, static_cast<int>(result));
        printf("Continue...\n");
    } else {
        // The spelling is the tool's established output (see plugin_report.cpp).
        printf("PictureInfomation[%s]\n", fileName);
        printf("\tPoint\t[%d,%d]\n", static_cast<int>(info.left), static_cast<int>(info.top));
        printf("\tSize\t[%d,%d]\n", static_cast<int>(info.width), static_cast<int>(info.height));
        printf("\t水平密度\t[%d]\n", static_cast<int>(info.x_density));
        printf("\t垂直密度\t[%d]\n", static_cast<int>(info.y_density));
        printf("\tDepth\t%dbits\n", static_cast<int>(info.colorDepth));
        if (info.hInfo) PrintComment(info.hInfo);
    }

    ProgressArguments progress = CurrentProgressArguments();
    fflush(stdout);

    HLOCAL infoHandle = nullptr;
    HLOCAL bitsHandle = nullptr;
    result = useGetPreview
                 ? plugin.GetPreview(fileName, 0, 0, &infoHandle, &bitsHandle, progress.callback,
                                     progress.data)
                 : plugin.GetPicture(fileName, 0, 0, &infoHandle, &bitsHandle, progress.callback,
                                     progress.data);
    if (result != 0) {
        // The newline ends the row the progress display was writing on.
        printf("\n%sの展開に失敗しました(Ret==%d)。\n", fileName, static_cast<int>(result));
        return;
    }

    // Freed in reverse order: the pixels, then the header.
    UniqueLocal ownedInfo(infoHandle);
    UniqueLocal ownedBits(bitsHandle);
    LocalLockScope bitsLock(bitsHandle);
    LocalLockScope header(infoHandle);
    // No newline before the header: with -c it starts at column 0 of the
    // progress row.
    PrintBitmapHeader(header.data(), header.size());
}
