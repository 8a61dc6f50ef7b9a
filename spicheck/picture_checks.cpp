// Checks of an image plug-in on one file: the description, its comment,
// the decoded bitmap and its blocks, the three input forms and the preview.
#include <cstddef>
#include <cstring>

#include "bitmap.h"
#include "checker.h"
#include "guarded_record.h"
#include "reference_picture.h"
#include "picture_record.h"
#include "spi_input_stream.h"

namespace {

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

}  // namespace

std::string CompareDecodes(const Decoded& a, const Decoded& b) {
    LocalLockScope ai(a.info.get()), bi(b.info.get()), ab(a.bits.get()), bb(b.bits.get());
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
        memcmp(ai.as<const char>() + sizeof(BITMAPINFOHEADER),
               bi.as<const char>() + sizeof(BITMAPINFOHEADER), palette) != 0)
        return "the palettes differ";
    if (!ab.data() || !bb.data()) return "a pixel block cannot be locked";
    PixelDifference differs = FirstPixelDifference(as, ab.data(), ab.size(), bb.data(), bb.size());
    if (differs.found) return Format("the pixels differ in row %ld", static_cast<long>(differs.row));
    return std::string();
}

namespace {

// Whether picture matches reference (of the same size) within tolerance,
// read upside down and/or with red and blue exchanged; *x, *y receive the
// first pixel that differs, in reading order from the top.
bool MatchesReference(const RgbPicture& picture, const RgbPicture& reference, int tolerance,
                      bool flipped, bool swapped, int32_t* x = nullptr, int32_t* y = nullptr) {
    for (int32_t row = 0; row < picture.height; ++row) {
        int32_t refRow = flipped ? picture.height - 1 - row : row;
        for (int32_t column = 0; column < picture.width; ++column) {
            const unsigned char* p = picture.Pixel(column, row);
            const unsigned char* r = reference.Pixel(column, refRow);
            for (int c = 0; c < 3; ++c) {
                int want = r[swapped ? 2 - c : c];
                if (p[c] > want + tolerance || p[c] + tolerance < want) {
                    if (x) *x = column;
                    if (y) *y = row;
                    return false;
                }
            }
        }
    }
    return true;
}

std::string Colour(const unsigned char* p) { return Format("#%02x%02x%02x", p[0], p[1], p[2]); }

// Empty when the record's hInfo was written where the x64 record has it.
std::string LayoutFault(const PictureInfo& record) {
    if (HInfoWritten(record)) return std::string();
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&record);
    const size_t hInfoAt = offsetof(PictureInfo, hInfo), padAt = hInfoAt - 2;
    unsigned long long hInfo = 0, atPad = 0;
    memcpy(&hInfo, bytes + hInfoAt, sizeof hInfo);
    memcpy(&atPad, bytes + padAt, sizeof atPad);
    if (bytes[hInfoAt] == kHInfoFill && bytes[hInfoAt + 1] == kHInfoFill &&
        bytes[hInfoAt + 5] == kHInfoFill && bytes[hInfoAt + 6] == kHInfoFill)
        return Format("hInfo is still 0x%016llx as filled before the call: it is not written",
                      hInfo);
    if (bytes[padAt] == kHInfoFill && bytes[padAt + 1] == kHInfoFill)
        return Format("hInfo's top byte is still 0x7f (hInfo 0x%016llx): it is written short",
                      hInfo);
    return Format("hInfo's top byte is still 0x7f (hInfo 0x%016llx): the record has no pad, "
                  "30 bytes with hInfo written at offset %u (0x%016llx)",
                  hInfo, static_cast<unsigned>(padAt), atPad);
}

}  // namespace

PictureDescriptions& Checker::Descriptions(FileContext& context) {
    if (context.descriptions) return *context.descriptions;
    context.descriptions.reset(new PictureDescriptions);
    PictureDescriptions& d = *context.descriptions;
    LPCSTR memory = context.MemorySource();
    int32_t size = context.MemorySize();
    GuardedRecord<PictureInfo> fromFile, fromMemory;
    FillHInfo(fromFile.get());
    FillHInfo(fromMemory.get());
    d.file = Watch(plugin_, "GetPictureInfo (file)", [&] {
        return plugin_.GetPictureInfoAsGiven(context.file.ansi.c_str(), 0, SPI_INPUT_FILE,
                                             fromFile.get());
    });
    d.fromFile = fromFile.value();
    d.fileOverrun = fromFile.Overrun();
    if (!d.file.faulted) d.comment.reset(CommentHandle(d.fromFile));
    d.memory = Watch(plugin_, "GetPictureInfo (memory)", [&] {
        return plugin_.GetPictureInfoAsGiven(memory, size, SPI_INPUT_MEMORY, fromMemory.get());
    });
    d.fromMemory = fromMemory.value();
    d.memoryOverrun = fromMemory.Overrun();
    if (!d.memory.faulted) d.memoryComment.reset(CommentHandle(d.fromMemory));
    d.usable = hasPictureInfo_ && fromFile.get() && !d.file.faulted && d.file.code == 0;
    return d;
}

PictureDecodes& Checker::Decodes(FileContext& context) {
    if (context.decodes) return *context.decodes;
    context.decodes.reset(new PictureDecodes);
    PictureDecodes& d = *context.decodes;
    const InputFile& file = context.file;
    d.disk.log.calls.reserve(4096);
    {
        SpiInputStream stream;
        stream.SetFile(file.ansi.c_str(), 0);
        d.disk.outcome = Watch(plugin_, "GetPicture (file)", [&] {
            return plugin_.GetPictureStream(stream, d.disk.info.put(), d.disk.bits.put(),
                                            RecordProgress, LogData(&d.disk.log));
        });
    }
    LPCSTR memory = context.MemorySource();
    int32_t size = context.MemorySize();
    d.memory.outcome = Watch(plugin_, "GetPicture (memory)", [&] {
        return plugin_.GetPicture(memory, size, SPI_INPUT_MEMORY, d.memory.info.put(),
                                  d.memory.bits.put(), RecordProgress, LogData(&d.memory.log));
    });
    std::string padded = TempPath("offset.bin");
    if (SaveBytes(padded, std::string(128, '\0') + file.bytes)) {
        SpiInputStream stream;
        stream.SetFile(padded.c_str(), 128);
        d.offset.outcome = Watch(plugin_, "GetPicture (file at offset 128)", [&] {
            return plugin_.GetPictureStream(stream, d.offset.info.put(), d.offset.bits.put(),
                                            RecordProgress, LogData(&d.offset.log));
        });
        DeleteFileA(padded.c_str());
    } else {
        d.offset.outcome.code = -1;
    }

    d.decoded = !d.disk.outcome.faulted && d.disk.outcome.code == 0;
    d.shapeFault = "GetPicture from the file " + Describe(d.disk.outcome);
    if (d.decoded) {
        LocalLockScope info(d.disk.info.get());
        d.shapeFault = ReadBitmapShape(info.data(), info.size(), &d.shape);
    }
    return d;
}

void Checker::PictureLayout(FileContext& context) {
    const PictureDescriptions& d = Descriptions(context);
    struct Description {
        const char* from;
        const Outcome& call;
        const PictureInfo& record;
    };
    bool judged = false;
    for (const Description& each : {Description{"the file", d.file, d.fromFile},
                                    Description{"memory", d.memory, d.fromMemory}}) {
        // A failed call is picture.info-agree's to report.
        if (each.call.faulted || each.call.code != 0) continue;
        std::string fault = LayoutFault(each.record);
        if (!fault.empty())
            return Fail(std::string("GetPictureInfo from ") + each.from + ": " + fault);
        judged = true;
    }
    if (judged) Pass();
}

void Checker::PictureInfoAgree(FileContext& context) {
    const PictureDescriptions& d = Descriptions(context);
    if (!hasPictureInfo_)
        ;  // nothing to compare: ident.exports reports the missing export
    else if (d.fileOverrun || d.memoryOverrun)
        Fail(Format("GetPictureInfo from %s writes %u bytes past its %u-byte record",
                    d.fileOverrun ? "the file" : "memory",
                    static_cast<unsigned>(d.fileOverrun ? d.fileOverrun : d.memoryOverrun),
                    static_cast<unsigned>(sizeof(PictureInfo))));
    else if (!d.usable)
        Fail("GetPictureInfo from the file " + Describe(d.file));
    else if (NotImplemented(d.memory))
        Warn("input from memory is not implemented (GetPictureInfo from memory returned -1)");
    else if (d.memory.faulted || d.memory.code != 0)
        Fail("GetPictureInfo from memory " + Describe(d.memory));
    else if (!SameInfo(d.fromFile, d.fromMemory))
        Fail("from the file " + InfoText(d.fromFile) + "; from memory " + InfoText(d.fromMemory));
    else
        Pass();
}

void Checker::PictureComment(FileContext& context) {
    const PictureDescriptions& d = Descriptions(context);
    if (!d.usable || !d.comment.get()) return;
    LocalLockScope text(d.comment.get());
    if (!text.live())
        Fail("hInfo is no live local-memory block");
    else if (!text.data())
        Fail("hInfo cannot be locked");
    else if (!memchr(text.data(), 0, text.size()))
        Fail(Format("the comment's %u-byte block holds no terminator",
                    static_cast<unsigned>(text.size())));
    else
        Pass();
}

void Checker::PictureHeader(FileContext& context) {
    const PictureDescriptions& d = Descriptions(context);
    const PictureDecodes& decodes = Decodes(context);
    const BitmapShape& shape = decodes.shape;
    const PictureInfo& info = d.fromFile;
    if (!decodes.shapeFault.empty())
        Fail(decodes.shapeFault);
    // A true-colour bitmap may come from a file of any depth (plug-ins
    // commonly decode everything to 24 bits and report the file's depth);
    // a palette bitmap has exactly the depth of the picture.
    else if (d.usable && (info.width != shape.width || info.height != shape.height ||
                          (shape.bitCount <= 8 && info.colorDepth != shape.bitCount) ||
                          !KnownDepth(info.colorDepth)))
        Fail(Format("GetPictureInfo says %ldx%ld, %d bits; the bitmap header %ldx%ld, %d bits",
                    static_cast<long>(info.width), static_cast<long>(info.height),
                    info.colorDepth, static_cast<long>(shape.width),
                    static_cast<long>(shape.height), shape.bitCount));
    else
        Pass();
}

void Checker::PictureBlocks(FileContext& context) {
    const PictureDecodes& d = Decodes(context);
    if (!d.shapeFault.empty()) return;  // picture.header reports it
    const BitmapShape& shape = d.shape;
    LocalLockScope info(d.disk.info.get()), bits(d.disk.bits.get());
    if (!bits.live())
        Fail("the pixel handle is no live block");
    else if (!bits.data())
        Fail("the pixel block cannot be locked");
    else if (info.size() < shape.headerBytes)
        Fail(Format("the information block holds %u bytes; header and palette need %u",
                    static_cast<unsigned>(info.size()),
                    static_cast<unsigned>(shape.headerBytes)));
    else if (bits.size() < shape.imageBytes)
        Fail(Format("the pixel block holds %u bytes; %ldx%ld at %d bits need %u",
                    static_cast<unsigned>(bits.size()), static_cast<long>(shape.width),
                    static_cast<long>(shape.height), shape.bitCount,
                    static_cast<unsigned>(shape.imageBytes)));
    else if (bits.size() < shape.sizeImage)
        Fail(Format("the pixel block holds %u bytes; biSizeImage says %u",
                    static_cast<unsigned>(bits.size()),
                    static_cast<unsigned>(shape.sizeImage)));
    else {
        Pass();
        if (!options_.saveDir.empty()) {
            std::string savedAs;
            WriteBmpFile(SavePath(context.file.ansiBase + ".bmp", &savedAs), shape,
                         info.data(), bits.data());
        }
    }
}

void Checker::PictureSources(FileContext& context) {
    const PictureDecodes& d = Decodes(context);
    std::string fault;
    // Input from memory and from a file at an offset are forms a plug-in
    // may leave out (-1); each left out is compared no further.
    const bool noMemory = NotImplemented(d.memory.outcome);
    const bool noOffset = NotImplemented(d.offset.outcome);
    if (!d.decoded)
        fault = "GetPicture from the file " + Describe(d.disk.outcome);
    else if (!noMemory && (d.memory.outcome.faulted || d.memory.outcome.code != 0))
        fault = "GetPicture from memory " + Describe(d.memory.outcome);
    else if (!noOffset && (d.offset.outcome.faulted || d.offset.outcome.code != 0))
        fault = "GetPicture from the file at offset 128 " + Describe(d.offset.outcome);
    else {
        std::string differs = noMemory ? std::string() : CompareDecodes(d.disk, d.memory);
        if (!differs.empty()) fault = "file and memory: " + differs;
        differs = fault.empty() && !noOffset ? CompareDecodes(d.disk, d.offset) : std::string();
        if (!differs.empty()) fault = "offset 0 and offset 128: " + differs;
    }
    if (!fault.empty())
        Fail(fault);
    else if (noMemory || noOffset)
        Warn(std::string(noMemory && noOffset ? "input from memory and from a file at an offset are"
                         : noMemory           ? "input from memory is"
                                              : "input from a file at an offset is") +
             " not implemented (GetPicture returned -1)");
    else
        Pass();
}

void Checker::PicturePreview(FileContext& context) {
    if (!plugin_.HasExport("GetPreview")) return;
    context.preview.reset(new Decoded);
    Decoded& preview = *context.preview;
    preview.outcome = Watch(plugin_, "GetPreview", [&] {
        return plugin_.GetPreview(context.file.ansi.c_str(), 0, SPI_INPUT_FILE,
                                  preview.info.put(), preview.bits.put(), NullProgress, 0);
    });
    const Outcome& o = preview.outcome;
    // A plug-in may decline previews (not implemented, unsupported).
    if (o.faulted) return Fail("GetPreview " + Describe(o));
    if (NotImplemented(o)) return Warn("GetPreview is not implemented (it returned -1)");
    if (o.code != 0) return Pass();
    LocalLockScope info(preview.info.get()), bits(preview.bits.get());
    BitmapShape shape;
    std::string fault = ReadBitmapShape(info.data(), info.size(), &shape);
    if (fault.empty() && info.size() < shape.headerBytes)
        fault = "the information block is shorter than header and palette";
    else if (fault.empty() && (!bits.data() || bits.size() < shape.imageBytes))
        fault = Format("the pixel block holds %u bytes of %u", static_cast<unsigned>(bits.size()),
                       static_cast<unsigned>(shape.imageBytes));
    if (fault.empty())
        Pass();
    else
        Fail("GetPreview: " + fault);
}

void Checker::PictureReference(FileContext& context) {
    if (options_.expectDir.empty()) return;
    const PictureDecodes& d = Decodes(context);
    if (!d.shapeFault.empty()) return;  // picture.header reports it
    LocalLockScope info(d.disk.info.get()), bits(d.disk.bits.get());
    // Blocks too small for what their header describes: picture.blocks.
    if (!bits.data() || info.size() < d.shape.headerBytes || bits.size() < d.shape.imageBytes)
        return;
    RgbPicture picture;
    std::string fault =
        BitmapToRgb(info.data(), info.size(), bits.data(), bits.size(), &picture);
    if (!fault.empty()) return Fail("the decoded picture cannot be compared: " + fault);

    std::string path = options_.expectDir;
    if (path.back() != '\\' && path.back() != '/') path += '\\';
    path += context.file.ansiBase;
    RgbPicture reference;
    std::string reason;
    switch (ReadReferencePicture(path, &reference, &reason)) {
        case ReferenceRead::Missing: return Warn("there is no reference picture " + path);
        case ReferenceRead::Refused: return Fail("the reference " + path + ": " + reason);
        case ReferenceRead::Read: break;
    }
    if (picture.width != reference.width || picture.height != reference.height)
        return Fail(Format("the picture is %ldx%ld, the reference %ldx%ld",
                           static_cast<long>(picture.width), static_cast<long>(picture.height),
                           static_cast<long>(reference.width),
                           static_cast<long>(reference.height)));
    int tolerance = options_.tolerance;
    int32_t x = 0, y = 0;
    if (MatchesReference(picture, reference, tolerance, false, false, &x, &y)) return Pass();

    std::string text = Format("pixel %ld,%ld (from the top left) is %s, the reference %s",
                              static_cast<long>(x), static_cast<long>(y),
                              Colour(picture.Pixel(x, y)).c_str(),
                              Colour(reference.Pixel(x, y)).c_str());
    if (tolerance) text += Format(" (tolerance %d)", tolerance);
    bool flipped = MatchesReference(picture, reference, tolerance, true, false);
    bool swapped = MatchesReference(picture, reference, tolerance, false, true);
    bool both = !flipped && !swapped && MatchesReference(picture, reference, tolerance, true, true);
    if (flipped || both) text += "; the picture is upside down";
    if (swapped || both)
        text += both ? ", with red and blue swapped" : "; the picture has red and blue swapped";
    Fail(text);
}
