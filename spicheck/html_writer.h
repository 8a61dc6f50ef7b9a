// The results of a run as one self-contained HTML page: the plug-in's
// identity and exports, the table of checks of the plug-in and of each
// file coloured by verdict, and per file the pictures as the plug-in
// decoded them (embedded as .bmp data, so a browser draws them at their
// real orientation and colours) or the archive's member table. The page
// refers to nothing outside itself.
#ifndef SPICHECK_HTML_WRITER_H
#define SPICHECK_HTML_WRITER_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "check_suites.h"
#include "file_context.h"
#include "report.h"

class SpiDllFile;

// A decoded picture as the page shows it.
struct PageFigure {
    std::string source;   // "file", "memory", "offset", "preview"
    std::string caption;  // what it is, or why it is not shown
    std::string bmp;      // the .bmp file, empty when not shown
    long width = 0, height = 0;  // as its header says
};

// What the page keeps of one file once its checks are done.
struct PageFile {
    std::string name;
    std::string description;  // GetPictureInfo's answer, when there is one
    std::vector<PageFigure> figures;
    bool listed = false;      // an archive list came back
    std::vector<fileInfo> members;
    size_t membersLeftOut = 0;
};

class HtmlPage {
public:
    // A picture larger than this as a .bmp file is named but not embedded,
    // and so is every picture that would take the page's pictures past
    // kMaxPageBytes.
    static constexpr size_t kMaxPictureBytes = 4u << 20;
    static constexpr size_t kMaxPageBytes = 32u << 20;
    // Member rows shown per archive.
    static constexpr size_t kMaxMembers = 1000;

    // The plug-in's identity, as loaded and as its own checks read it.
    void SetPlugin(const SpiDllFile& plugin, const std::string& version,
                   const std::vector<std::pair<std::string, std::string>>& filters);
    // Keeps the pictures (as .bmp files) or the member list of a file whose
    // checks are done; the plug-in's blocks are not kept.
    void AddFile(const FileContext& context);
    // The identity and the last file added as bytes, and taken back from
    // them: how a worker process hands them to spicheck. False when the
    // bytes are not such a record.
    std::string SavedIdentity() const;
    bool RestoreIdentity(const std::string& bytes);
    std::string SavedLastFile() const;
    std::string SavedFile(size_t index) const;
    size_t FileCount() const { return files_.size(); }
    bool RestoreFile(const std::string& bytes);
    // False when the file cannot be written.
    bool Write(const std::string& path, const std::string& plugin, const char* kind,
               const Report& report, const std::vector<FileSpan>& spans) const;

private:
    PageFigure MakeFigure(const char* source, const char* label, const Decoded& decoded);

    bool identified_ = false;
    std::string version_, about_;
    std::vector<std::pair<std::string, std::string>> filters_;
    std::vector<std::pair<const char*, bool>> exports_;
    std::vector<PageFile> files_;
    size_t embedded_ = 0;  // bytes of pictures held so far
};

// What BmpFileOf found.
struct BmpFacts {
    std::string why;  // empty when the file was made
    long width = 0, height = 0;
    int bitCount = 0;
    bool topDown = false;
    size_t bytes = 0;  // of the file, also when it was above the limit
    bool tooLarge = false;  // the file was not made for its size alone
};

// The .bmp file of a decoded picture: a file header, then the information
// block's header, masks and palette, then the pixels, read no further than
// each block's size. Empty, with the reason in facts->why, when the
// information block describes no bitmap, a block is shorter than the
// header says, or the file would be larger than limit bytes.
std::string BmpFileOf(HLOCAL info, HLOCAL bits, size_t limit, BmpFacts* facts);

// A verdict's class on the page ("pass", ... "skipped") and its text
// ("PASS", ... "left out").
const char* VerdictClass(CaseOutcome outcome);
const char* VerdictText(CaseOutcome outcome);

// A text field of a fixed size, up to its terminator when it has one.
std::string Field(const char* text, size_t size);

// Bytes as base64 (RFC 4648, with padding).
std::string Base64(const std::string& bytes);

#endif
