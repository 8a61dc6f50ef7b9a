// Checks of an image plug-in on one file: the description, the decoded
// bitmap and its blocks, the three input forms, the preview, the comment
// and the progress callback.
#include <cstring>

#include "bitmap.h"
#include "checker.h"
#include "spi_input_stream.h"

namespace {

// One decode: its outcome, the two blocks it returned and its callbacks.
struct Decoded {
    Outcome outcome;
    OwnedBlock info;
    OwnedBlock bits;
    ProgressLog log;
};

bool SameInfo(const PictureInfo& a, const PictureInfo& b) {
    return a.left == b.left && a.top == b.top && a.width == b.width && a.height == b.height &&
           a.x_density == b.x_density && a.y_density == b.y_density &&
           a.colorDepth == b.colorDepth;
}

bool KnownDepth(int depth) {
    return depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
}

std::string InfoText(const PictureInfo& p) {
    return Format("%ldx%ld, %d bits, at %ld,%ld, %u/%u dpi", static_cast<long>(p.width),
                  static_cast<long>(p.height), p.colorDepth, static_cast<long>(p.left),
                  static_cast<long>(p.top), p.x_density, p.y_density);
}

// Empty when both decodes describe and hold the same picture.
std::string CompareDecodes(const Decoded& a, const Decoded& b) {
    BlockView ai(a.info.get()), bi(b.info.get()), ab(a.bits.get()), bb(b.bits.get());
    BitmapShape as, bs;
    std::string fault = ReadBitmapShape(ai.data(), ai.size(), &as);
    if (fault.empty()) fault = ReadBitmapShape(bi.data(), bi.size(), &bs);
    if (!fault.empty()) return fault;
    if (as.width != bs.width || as.height != bs.height || as.bitCount != bs.bitCount ||
        as.topDown != bs.topDown)
        return Format("%ldx%ld %d bits%s against %ldx%ld %d bits%s", static_cast<long>(as.width),
                      static_cast<long>(as.height), as.bitCount, as.topDown ? " top-down" : "",
                      static_cast<long>(bs.width), static_cast<long>(bs.height), bs.bitCount,
                      bs.topDown ? " top-down" : "");
    size_t palette = as.headerBytes - sizeof(BITMAPINFOHEADER);
    if (ai.size() >= as.headerBytes && bi.size() >= as.headerBytes &&
        memcmp(ai.data() + sizeof(BITMAPINFOHEADER), bi.data() + sizeof(BITMAPINFOHEADER),
               palette) != 0)
        return "the palettes differ";
    if (!ab.data() || !bb.data()) return "a pixel block cannot be locked";
    // Row padding is not part of the picture; only the pixels are compared.
    for (int32_t row = 0; row < as.height; ++row) {
        size_t at = row * as.stride;
        if (at + as.rowBytes > ab.size() || at + as.rowBytes > bb.size()) break;
        if (memcmp(ab.data() + at, bb.data() + at, as.rowBytes) != 0)
            return Format("the pixels differ in row %ld", static_cast<long>(row));
    }
    return std::string();
}

}  // namespace

void Checker::CheckPicture(const TestFile& file) {
    const char* name = file.name.c_str();
    EdgeBuffer memory(file.bytes.size());
    memcpy(memory.data(), file.bytes.data(), file.bytes.size());
    LPCSTR memorySource = reinterpret_cast<LPCSTR>(memory.data());
    int32_t memorySize = static_cast<int32_t>(file.bytes.size());

    // Description from the file and from memory.
    PictureInfo fromFile, fromMemory;
    Outcome fileInfo = Watch("GetPictureInfo (file)", [&] {
        return plugin_.GetPictureInfo(name, 0, SPI_INPUT_FILE, &fromFile);
    });
    OwnedBlock comment;
    if (!fileInfo.faulted) *comment.out() = fromFile.hInfo;
    Outcome memoryInfo = Watch("GetPictureInfo (memory)", [&] {
        return plugin_.GetPictureInfo(memorySource, memorySize, SPI_INPUT_MEMORY, &fromMemory);
    });
    if (!memoryInfo.faulted) FreeBlock(fromMemory.hInfo);
    bool haveInfo = hasPictureInfo_ && !fileInfo.faulted && fileInfo.code == 0;
    if (!hasPictureInfo_)
        ;  // nothing to compare: ident.exports reports the missing export
    else if (!haveInfo)
        report_.Fail("picture.info-agree", file.name, "GetPictureInfo from the file " +
                                                          Describe(fileInfo));
    else if (memoryInfo.faulted || memoryInfo.code != 0)
        report_.Fail("picture.info-agree", file.name,
                     "GetPictureInfo from memory " + Describe(memoryInfo));
    else if (!SameInfo(fromFile, fromMemory))
        report_.Fail("picture.info-agree", file.name,
                     "from the file " + InfoText(fromFile) + "; from memory " +
                         InfoText(fromMemory));
    else
        report_.Pass("picture.info-agree", file.name);

    if (haveInfo && comment.get()) {
        BlockView text(comment.get());
        if (!text.live())
            report_.Fail("picture.comment", file.name, "hInfo is no live local-memory block");
        else if (!text.data())
            report_.Fail("picture.comment", file.name, "hInfo cannot be locked");
        else if (!memchr(text.data(), 0, text.size()))
            report_.Fail("picture.comment", file.name,
                         Format("the comment's %u-byte block holds no terminator",
                                static_cast<unsigned>(text.size())));
        else
            report_.Pass("picture.comment", file.name);
    }

    // Three decodes of the same data: from the file, from memory, and from
    // a file where the data start after 128 bytes of padding.
    Decoded fromDisk, fromMem, fromOffset;
    fromDisk.log.calls.reserve(4096);
    {
        SpiInputStream stream;
        stream.SetFile(name, 0);
        fromDisk.outcome = Watch("GetPicture (file)", [&] {
            return plugin_.GetPictureStream(stream, fromDisk.info.out(), fromDisk.bits.out(),
                                            RecordProgress,
                                            static_cast<int32_t>(reinterpret_cast<intptr_t>(
                                                &fromDisk.log)));
        });
    }
    fromMem.outcome = Watch("GetPicture (memory)", [&] {
        return plugin_.GetPicture(memorySource, memorySize, SPI_INPUT_MEMORY, fromMem.info.out(),
                                  fromMem.bits.out(), RecordProgress,
                                  static_cast<int32_t>(reinterpret_cast<intptr_t>(&fromMem.log)));
    });
    std::string padded = TempPath("offset.bin");
    if (SaveBytes(padded, std::string(128, '\0') + file.bytes)) {
        SpiInputStream stream;
        stream.SetFile(padded.c_str(), 128);
        fromOffset.outcome = Watch("GetPicture (file at offset 128)", [&] {
            return plugin_.GetPictureStream(stream, fromOffset.info.out(),
                                            fromOffset.bits.out(), RecordProgress,
                                            static_cast<int32_t>(reinterpret_cast<intptr_t>(
                                                &fromOffset.log)));
        });
        DeleteFileA(padded.c_str());
    } else {
        fromOffset.outcome.code = -1;
    }

    bool decoded = !fromDisk.outcome.faulted && fromDisk.outcome.code == 0;
    BitmapShape shape;
    std::string shapeFault = "GetPicture from the file " + Describe(fromDisk.outcome);
    if (decoded) {
        BlockView info(fromDisk.info.get());
        shapeFault = ReadBitmapShape(info.data(), info.size(), &shape);
    }

    if (!shapeFault.empty())
        report_.Fail("picture.header", file.name, shapeFault);
    // A true-colour bitmap may come from a file of any depth (plug-ins
    // commonly decode everything to 24 bits and report the file's depth);
    // a palette bitmap has exactly the depth of the picture.
    else if (haveInfo && (fromFile.width != shape.width || fromFile.height != shape.height ||
                          (shape.bitCount <= 8 && fromFile.colorDepth != shape.bitCount) ||
                          !KnownDepth(fromFile.colorDepth)))
        report_.Fail("picture.header", file.name,
                     Format("GetPictureInfo says %ldx%ld, %d bits; the bitmap header %ldx%ld, "
                            "%d bits",
                            static_cast<long>(fromFile.width), static_cast<long>(fromFile.height),
                            fromFile.colorDepth, static_cast<long>(shape.width),
                            static_cast<long>(shape.height), shape.bitCount));
    else
        report_.Pass("picture.header", file.name);

    if (shapeFault.empty()) {
        BlockView info(fromDisk.info.get()), bits(fromDisk.bits.get());
        if (!bits.live())
            report_.Fail("picture.blocks", file.name, "the pixel handle is no live block");
        else if (!bits.data())
            report_.Fail("picture.blocks", file.name, "the pixel block cannot be locked");
        else if (info.size() < shape.headerBytes)
            report_.Fail("picture.blocks", file.name,
                         Format("the information block holds %u bytes; header and palette "
                                "need %u",
                                static_cast<unsigned>(info.size()),
                                static_cast<unsigned>(shape.headerBytes)));
        else if (bits.size() < shape.imageBytes)
            report_.Fail("picture.blocks", file.name,
                         Format("the pixel block holds %u bytes; %ldx%ld at %d bits need %u",
                                static_cast<unsigned>(bits.size()),
                                static_cast<long>(shape.width), static_cast<long>(shape.height),
                                shape.bitCount, static_cast<unsigned>(shape.imageBytes)));
        else {
            report_.Pass("picture.blocks", file.name);
            if (!options_.saveDir.empty()) {
                CreateDirectoryA(options_.saveDir.c_str(), nullptr);
                WriteBmpFile(options_.saveDir + "\\" + BaseName(file.name) + ".bmp", shape,
                             info.data(), bits.data());
            }
        }
    }

    std::string sourcesFault;
    if (!decoded)
        sourcesFault = "GetPicture from the file " + Describe(fromDisk.outcome);
    else if (fromMem.outcome.faulted || fromMem.outcome.code != 0)
        sourcesFault = "GetPicture from memory " + Describe(fromMem.outcome);
    else if (fromOffset.outcome.faulted || fromOffset.outcome.code != 0)
        sourcesFault = "GetPicture from the file at offset 128 " + Describe(fromOffset.outcome);
    else {
        std::string differs = CompareDecodes(fromDisk, fromMem);
        if (!differs.empty()) sourcesFault = "file and memory: " + differs;
        differs = sourcesFault.empty() ? CompareDecodes(fromDisk, fromOffset) : std::string();
        if (!differs.empty()) sourcesFault = "offset 0 and offset 128: " + differs;
    }
    if (sourcesFault.empty())
        report_.Pass("picture.sources", file.name);
    else
        report_.Fail("picture.sources", file.name, sourcesFault);

    if (plugin_.HasExport("GetPreview")) {
        Decoded preview;
        preview.outcome = Watch("GetPreview", [&] {
            return plugin_.GetPreview(name, 0, SPI_INPUT_FILE, preview.info.out(),
                                      preview.bits.out(), NullProgress, 0);
        });
        const Outcome& o = preview.outcome;
        if (o.faulted)
            report_.Fail("picture.preview", file.name, "GetPreview " + Describe(o));
        else if (o.code == 0) {
            BlockView info(preview.info.get()), bits(preview.bits.get());
            BitmapShape previewShape;
            std::string fault = ReadBitmapShape(info.data(), info.size(), &previewShape);
            if (fault.empty() && info.size() < previewShape.headerBytes)
                fault = "the information block is shorter than header and palette";
            else if (fault.empty() && (!bits.data() || bits.size() < previewShape.imageBytes))
                fault = Format("the pixel block holds %u bytes of %u",
                               static_cast<unsigned>(bits.size()),
                               static_cast<unsigned>(previewShape.imageBytes));
            if (fault.empty())
                report_.Pass("picture.preview", file.name);
            else
                report_.Fail("picture.preview", file.name, "GetPreview: " + fault);
        } else {
            // A plug-in may decline previews (not implemented, unsupported).
            report_.Pass("picture.preview", file.name);
        }
    }

    if (!decoded) return;
    ReportProgress(file, fromDisk.log);

    Decoded quiet;
    quiet.outcome = Watch("GetPicture (no callback)", [&] {
        return plugin_.GetPicture(memorySource, memorySize, SPI_INPUT_MEMORY, quiet.info.out(),
                                  quiet.bits.out(), nullptr, 0);
    });
    if (quiet.outcome.faulted || quiet.outcome.code != 0)
        report_.Fail("callback.null", file.name,
                     "GetPicture with a null callback " + Describe(quiet.outcome));
    else
        report_.Pass("callback.null", file.name);

    if (fromDisk.log.count > 0) {
        Decoded stopped;
        stopped.log.stopAt = 0;
        stopped.log.calls.reserve(64);
        HeapCensus before = TakeHeapCensus();
        stopped.outcome = Watch("GetPicture (cancelled)", [&] {
            return plugin_.GetPicture(memorySource, memorySize, SPI_INPUT_MEMORY,
                                      stopped.info.out(), stopped.bits.out(), RecordProgress,
                                      static_cast<int32_t>(reinterpret_cast<intptr_t>(
                                          &stopped.log)));
        });
        HeapCensus after = TakeHeapCensus();
        ReportCancel(file, stopped.outcome, stopped.log, before, after);
    }

    CheckLeaks(file, [&](SpiDllFile& plugin) {
        Decoded again;
        again.outcome = Watch("GetPicture (repeated)", [&] {
            return plugin.GetPicture(memorySource, memorySize, SPI_INPUT_MEMORY,
                                      again.info.out(), again.bits.out(), NullProgress, 0);
        });
        return again.outcome;
    });
}
