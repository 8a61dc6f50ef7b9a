#include "check_table.h"

#include <cstring>

#include "checker.h"

// The questions are README.md's table of checks, word for word (a test
// holds the two together), so they keep its `code` marks.
constexpr CheckRow kChecks[] = {
    {CheckId::IdentVersion, "ident.version", kEveryKind, kOfThePlugin,
     &Checker::IdentVersion,
     "Is the version text terminated within its 10-byte buffer? WARN when it is not of the "
     "usual form (two characters, the kind letter I/A/X, one more letter)"},
    {CheckId::IdentAbout, "ident.about", kEveryKind, kOfThePlugin,
     &Checker::IdentAbout,
     "Is the about text terminated within its 128-byte buffer, with nothing written past "
     "it?"},
    {CheckId::IdentFilters, "ident.filters", kEveryKind, kOfThePlugin,
     &Checker::IdentFilters,
     "Is there at least one filter, each `*.ext` patterns joined by `;`, terminated, with "
     "a format name, and nothing written past its buffer?"},
    {CheckId::IdentInfoBounds, "ident.info-bounds", kEveryKind, kOfThePlugin,
     &Checker::IdentInfoBounds,
     "Asked with buffers of 1 to 8 bytes followed by canary bytes, does `GetPluginInfo` never "
     "write past the size it is given?"},
    {CheckId::IdentExports, "ident.exports", kEveryKind, kOfThePlugin,
     &Checker::IdentExports,
     "Are the exports the kind needs there (image: `GetPluginInfo`, `IsSupported`, "
     "`GetPictureInfo`, `GetPicture`; archive: `GetPluginInfo`, `IsSupported`, "
     "`GetArchiveInfo`, `GetFileInfo`, `GetFile`)? Checks that need a missing export are left "
     "out"},
    {CheckId::WideExports, "wide.exports", kEveryKind, kOfThePlugin | kNeedsWideExports,
     &Checker::WideExports,
     "Where the plug-in has wide exports, are they the full set for its kind (`GetPluginInfoW`, "
     "`IsSupportedW`; image: `GetPictureInfoW`, `GetPictureW`, and `GetPreviewW` where "
     "`GetPreview` exists; archive: `GetArchiveInfoW`, `GetFileInfoW`, `GetFileW`)? WARN "
     "naming those it has and those it lacks. This and the other `wide.` checks are left out "
     "for a plug-in without wide exports"},
    {CheckId::WideInfoBounds, "wide.info-bounds", kEveryKind, kOfThePlugin | kNeedsWideExports,
     &Checker::WideInfoBounds,
     "Asked with buffers of 1 to 8 WCHARs followed by canary WCHARs, does `GetPluginInfoW` "
     "never write past the size it is given? A PASS means it counts `buflen` in WCHARs, as "
     "hosts do; one that counts bytes (it cuts a text to half the buffer) gets a WARN saying "
     "so"},
    {CheckId::FileRead, "file.read", kEveryKind, kNeverPasses,
     &Checker::FileRead,
     "Can the file named on the command line be read? Only a FAIL is reported; the file's "
     "other checks are skipped"},
    {CheckId::ProbeSampleBounds, "probe.sample-bounds", kEveryKind, 0,
     &Checker::ProbeSampleBounds,
     "Does `IsSupported` on the 2048-byte sample, placed so that the byte after it is an "
     "inaccessible page, never read past it?"},
    {CheckId::ProbeFormsAgree, "probe.forms-agree", kEveryKind, kX86Only,
     &Checker::ProbeFormsAgree,
     "Do the file-handle form and the memory form of `IsSupported` give the same answer? Left "
     "out for an x64 plug-in, which a 64-bit host never hands a file handle"},
    {CheckId::ProbeZeroSample, "probe.zero-sample", kEveryKind, 0,
     &Checker::ProbeZeroSample,
     "Are 2048 zero bytes declined?"},
    {CheckId::ProbeAccepts, "probe.accepts", kEveryKind, kNeverPasses,
     &Checker::ProbeAccepts,
     "Does the plug-in accept the file? Only a WARN is reported, when it declines; the file's "
     "other checks are skipped"},
    {CheckId::ProbeLowAddress, "probe.low-address", kEveryKind, kX64Only,
     &Checker::ProbeLowAddress,
     "x64 only: is the file still accepted when the 2048-byte sample lies above 4 GiB at an "
     "address whose low 32 bits are below 0x10000? A support check that cuts the address to "
     "32 bits takes it for a file handle"},
    {CheckId::PictureLayout, "picture.layout", kImageChecks, kNeedsKindExports | kX64Only,
     &Checker::PictureLayout,
     "x64 only: is the record `GetPictureInfo` fills the 32-byte x64 one, `hInfo` at offset 24 "
     "after a 2-byte pad? `hInfo` is filled with 0x7f bytes before the call: a top byte still "
     "0x7f after it means a 30-byte record without the pad (`hInfo` at offset 22), and that "
     "`hInfo` is never touched"},
    {CheckId::PictureInfoAgree, "picture.info-agree", kImageChecks, kNeedsKindExports,
     &Checker::PictureInfoAgree,
     "Do `GetPictureInfo` from the file and from memory agree, each writing nothing past "
     "its record?"},
    {CheckId::PictureComment, "picture.comment", kImageChecks, kNeedsKindExports,
     &Checker::PictureComment,
     "Where there is a comment handle, is it a live block holding a terminated text?"},
    {CheckId::PictureHeader, "picture.header", kImageChecks, kNeedsKindExports,
     &Checker::PictureHeader,
     "Do width and height of `GetPictureInfo` agree with the decoded BITMAPINFOHEADER (a "
     "negative `biHeight`, top-down, is fine), and has a palette bitmap the reported depth (a "
     "true-colour bitmap may be deeper than the file)?"},
    {CheckId::PictureBlocks, "picture.blocks", kImageChecks, kNeedsKindExports,
     &Checker::PictureBlocks,
     "Are both handles live local-memory blocks, large enough for the header, palette and "
     "pixels the header describes (and its `biSizeImage`)?"},
    {CheckId::PictureSources, "picture.sources", kImageChecks, kNeedsKindExports,
     &Checker::PictureSources,
     "Does decoding from the file, from memory and from a file where the data follow 128 bytes "
     "of padding give the same pixels?"},
    {CheckId::PicturePreview, "picture.preview", kImageChecks, kNeedsKindExports,
     &Checker::PicturePreview,
     "Where `GetPreview` exists and decodes, is its bitmap valid? Declining is fine"},
    {CheckId::PictureReference, "picture.reference", kImageChecks,
     kNeedsKindExports | kNeedsOption,
     &Checker::PictureReference,
     "With `--expect=DIR`, does the decoded picture match the reference picture of the same "
     "name in DIR, every channel of every pixel within `--tolerance`? The first differing "
     "pixel is named, and a picture that matches as a whole upside down or with red and blue "
     "swapped is said to. WARN when DIR holds no such picture"},
    {CheckId::ArchiveStride, "archive.stride", kArchiveChecks, kNeedsKindExports | kX64Only,
     &Checker::ArchiveStride,
     "x64 only: are the records of the member list 448 bytes apart? Records of 444 bytes (the "
     "x64 record without its pad) or of 428 bytes (the 32-bit record, its numbers 4 bytes "
     "wide) are named, and the member checks are left out"},
    {CheckId::ArchiveListEnd, "archive.list-end", kArchiveChecks, kNeedsKindExports,
     &Checker::ArchiveListEnd,
     "Does the member list end with an end record within its block?"},
    {CheckId::ArchiveListAgree, "archive.list-agree", kArchiveChecks, kNeedsKindExports,
     &Checker::ArchiveListAgree,
     "Do the lists from the file and from memory agree, record by record?"},
    {CheckId::ArchiveExtractMemory, "archive.extract-memory", kArchiveChecks, kNeedsKindExports,
     &Checker::ArchiveExtractMemory,
     "Does every member extract to memory with a block of its `filesize`? WARN for a "
     "larger block, and for a member `--save` had to save under a safe name"},
    {CheckId::ArchiveExtractDisk, "archive.extract-disk", kArchiveChecks, kNeedsKindExports,
     &Checker::ArchiveExtractDisk,
     "Does every member extract to a folder with the same bytes?"},
    {CheckId::ArchiveLookup, "archive.lookup", kArchiveChecks, kNeedsKindExports,
     &Checker::ArchiveLookup,
     "Does `GetFileInfo` find every member by its name, with the listed position and size, "
     "writing nothing past its record?"},
    {CheckId::WideAgree, "wide.agree", kEveryKind, kNeedsKindExports | kNeedsWideExports,
     &Checker::WideAgree,
     "Does each wide export, given the file's wide name, answer as its ANSI twin: "
     "`IsSupportedW`, `GetPictureInfoW`, `GetPictureW` (the same header and pixels), "
     "`GetArchiveInfoW` (the same records, each name converted to the ANSI code page where it "
     "has a spelling there) and `GetFileW` (the same bytes of each member)? The first "
     "difference is named with both values"},
    {CheckId::WideNames, "wide.names", kEveryKind, kNeedsKindExports | kNeedsWideExports,
     &Checker::WideNames,
     "Is a copy of the file in the temporary folder, under a name with Hangul letters (outside "
     "code pages 932 and 1252), accepted by `IsSupportedW`, described by `GetPictureInfoW`, "
     "decoded by `GetPictureW` or listed by `GetArchiveInfoW` (those of them that exist) as "
     "the file itself is?"},
    {CheckId::WidePairing, "wide.pairing", kArchiveChecks, kNeedsKindExports | kNeedsWideExports,
     &Checker::WidePairing,
     "Is every member `GetArchiveInfoW` lists found by `GetFileInfoW` under its wide name, "
     "with the listed position and size, and extracted by `GetFileW` to memory in a block of "
     "at least its `filesize`?"},
    {CheckId::CallbackProgress, "callback.progress", kEveryKind, kNeedsKindExports,
     &Checker::CallbackProgress,
     "Does progress start at 0, never go back, never exceed its total and end at it? WARN when "
     "the plug-in never calls back"},
    {CheckId::CallbackNull, "callback.null", kEveryKind, kNeedsKindExports,
     &Checker::CallbackNull,
     "Is a null callback accepted?"},
    {CheckId::CallbackCancel, "callback.cancel", kEveryKind, kNeedsKindExports,
     &Checker::CallbackCancel,
     "Does a callback that asks to stop make the plug-in return 1 and leave no local-memory "
     "block behind?"},
    {CheckId::ResourceLeak, "resource.leak", kEveryKind, kNeedsKindExports,
     &Checker::ResourceLeak,
     "Do repeated decodes or extractions leave the number of live heap blocks and the private "
     "memory flat? A leak is reported in bytes per call"},
    {CheckId::ResourceHandles, "resource.handles", kEveryKind, kNeedsKindExports,
     &Checker::ResourceHandles,
     "Do 300 loads and releases of the plug-in, and repeated decodes or extractions, leave "
     "the number of kernel handles flat? A leak is reported in handles per load or per call"},
    {CheckId::RobustPrefixes, "robust.prefixes", kEveryKind, 0,
     &Checker::RobustPrefixes,
     "Are truncated copies of the file (every prefix of a file of up to 64 bytes; of a larger "
     "one the first 40 and 40 lengths spread over the rest) refused with a return code, never "
     "a fault?"},
    {CheckId::RobustFuzz, "robust.fuzz", kEveryKind, 0,
     &Checker::RobustFuzz,
     "Are byte-flipped variants refused or decoded, never a fault?"},
    {CheckId::RobustReload, "robust.reload", kEveryKind, kNeedsKindExports,
     &Checker::RobustReload,
     "Are the answers the same when the module is unloaded and loaded again between the "
     "listing and the extraction of each member (image: between the description and the "
     "decode), as hosts that load a plug-in around each call do? WARN naming the first member "
     "that differs and both answers"},
    {CheckId::RobustTime, "robust.time", kEveryKind, 0,
     &Checker::RobustTime,
     "Does every call return within the time limit?"},
};

const size_t kCheckCount = sizeof kChecks / sizeof kChecks[0];

const CheckRow* CheckNamed(const char* name) {
    for (const CheckRow& row : kChecks)
        if (strcmp(row.name, name) == 0) return &row;
    return nullptr;
}

namespace {

constexpr bool RowsInIdOrder() {
    for (size_t i = 0; i < sizeof kChecks / sizeof kChecks[0]; ++i)
        if (static_cast<size_t>(kChecks[i].id) != i) return false;
    return true;
}
static_assert(RowsInIdOrder(), "kChecks must list the checks in the order of CheckId");
static_assert(sizeof kChecks / sizeof kChecks[0] == static_cast<size_t>(CheckId::RobustTime) + 1,
              "every CheckId needs its row");

}  // namespace
