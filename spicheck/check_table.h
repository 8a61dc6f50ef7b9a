// spicheck's checks: one row per check, in the order of the report. The
// checker runs the rows that apply to the plug-in's kind, the plug-in's own
// checks once and the file checks on each file; every result line names
// its check by the row's name.
#ifndef SPICHECK_CHECK_TABLE_H
#define SPICHECK_CHECK_TABLE_H

#include <cstddef>

// The checks by the name of their function (a member of Checker's), in
// the order of the table. The ids and the functions' declarations are made
// from this list; a row carries its function.
#define SPICHECK_CHECK_LIST(X) \
    X(IdentVersion) \
    X(IdentAbout) \
    X(IdentFilters) \
    X(IdentInfoBounds) \
    X(IdentExports) \
    X(WideExports) \
    X(WideInfoBounds) \
    X(FileRead) \
    X(ProbeSampleBounds) \
    X(ProbeFormsAgree) \
    X(ProbeZeroSample) \
    X(ProbeAccepts) \
    X(ProbeLowAddress) \
    X(PictureLayout) \
    X(PictureInfoAgree) \
    X(PictureComment) \
    X(PictureHeader) \
    X(PictureBlocks) \
    X(PictureSources) \
    X(PicturePreview) \
    X(PictureReference) \
    X(ArchiveStride) \
    X(ArchiveListEnd) \
    X(ArchiveListAgree) \
    X(ArchiveExtractMemory) \
    X(ArchiveExtractDisk) \
    X(ArchiveLookup) \
    X(WideAgree) \
    X(WideNames) \
    X(WidePairing) \
    X(CallbackProgress) \
    X(CallbackNull) \
    X(CallbackCancel) \
    X(ResourceLeak) \
    X(ResourceHandles) \
    X(RobustPrefixes) \
    X(RobustFuzz) \
    X(RobustReload) \
    X(RobustTime)

// Indexes into kChecks, in the same order.
enum class CheckId {
#define SPICHECK_CHECK_ID(function) function,
    SPICHECK_CHECK_LIST(SPICHECK_CHECK_ID)
#undef SPICHECK_CHECK_ID
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

class Checker;
struct FileContext;
// A check: on a file, or (kOfThePlugin) on a context without one.
using CheckFunction = void (Checker::*)(FileContext&);

struct CheckRow {
    CheckId id;
    const char* name;
    unsigned kinds;
    unsigned traits;
    CheckFunction run;
    const char* question;
};

extern const CheckRow kChecks[];
extern const size_t kCheckCount;

inline const CheckRow& Check(CheckId id) { return kChecks[static_cast<size_t>(id)]; }
// The row of the check of this name ("picture.header"); null when none.
const CheckRow* CheckNamed(const char* name);

// Whether the check is made for a plug-in of this build's bitness.
inline bool ForThisBitness(const CheckRow& row) {
    constexpr bool x64 = sizeof(void*) == 8;
    return !(row.traits & (x64 ? kX86Only : kX64Only));
}

#endif
