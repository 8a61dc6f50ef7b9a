// spicheck's checks: one row per check, in the order of the report. The
// checker runs the rows that apply to the plug-in's kind, the plug-in's own
// checks once and the file checks on each file; every result line names
// its check by the row's name.
#ifndef SPICHECK_CHECK_TABLE_H
#define SPICHECK_CHECK_TABLE_H

#include <cstddef>

// Indexes into kChecks, in the same order.
enum class CheckId {
    IdentVersion,
    IdentAbout,
    IdentFilters,
    IdentInfoBounds,
    IdentExports,
    WideExports,
    WideInfoBounds,
    FileRead,
    ProbeSampleBounds,
    ProbeFormsAgree,
    ProbeZeroSample,
    ProbeAccepts,
    ProbeLowAddress,
    PictureLayout,
    PictureInfoAgree,
    PictureComment,
    PictureHeader,
    PictureBlocks,
    PictureSources,
    PicturePreview,
    PictureReference,
    ArchiveStride,
    ArchiveListEnd,
    ArchiveListAgree,
    ArchiveExtractMemory,
    ArchiveExtractDisk,
    ArchiveLookup,
    WideAgree,
    WideNames,
    WidePairing,
    CallbackProgress,
    CallbackNull,
    CallbackCancel,
    ResourceLeak,
    ResourceHandles,
    RobustPrefixes,
    RobustFuzz,
    RobustReload,
    RobustTime,
};

// The kinds a check applies to (bits).
enum CheckKinds : unsigned {
    kImageChecks = 1,
    kArchiveChecks = 2,
    kEveryKind = kImageChecks | kArchiveChecks,
};

// What else a check is (bits; 0: a check of each file that passes or not).
enum CheckTraits : unsigned {
    kOfThePlugin = 1,  // once per run, of the plug-in itself, before any file
    // Reports only when it ends a file's checks (the file cannot be read,
    // the plug-in declines it): never a PASS.
    kNeverPasses = 2,
    // Left out when the plug-in lacks an export its kind needs (for an
    // image plug-in, GetPicture); ident.exports reports the missing one.
    kNeedsKindExports = 4,
    // Left out unless the command line asks for it (picture.reference:
    // --expect).
    kNeedsOption = 8,
    // Only for a plug-in of one bitness (spicheck's own: the 32-bit build
    // loads 32-bit plug-ins only, the x64 build x64 ones).
    kX64Only = 16,
    kX86Only = 32,
    // Left out unless the plug-in has the wide exports (GetPictureW, ...)
    // the check asks; all of them for a plug-in without wide exports.
    kNeedsWideExports = 64,
};

struct CheckRow {
    CheckId id;
    const char* name;
    unsigned kinds;
    unsigned traits;
    const char* question;
};

extern const CheckRow kChecks[];
extern const size_t kCheckCount;

inline const CheckRow& Check(CheckId id) { return kChecks[static_cast<size_t>(id)]; }

// Whether the check is made for a plug-in of this build's bitness.
inline bool ForThisBitness(const CheckRow& row) {
    constexpr bool x64 = sizeof(void*) == 8;
    return !(row.traits & (x64 ? kX86Only : kX64Only));
}

#endif
