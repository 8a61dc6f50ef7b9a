// Checks of an archive plug-in on one file: the listing from both inputs,
// its end record, every member extracted to memory and to a folder, and
// lookup by name.
#include <cstring>

#include "checker.h"
#include "guarded_record.h"
#include "spi_input_stream.h"

namespace {

std::string FullName(const fileInfo& record) {
    return TextField(record.path, sizeof record.path) + TextField(record.filename, sizeof record.filename);
}

// Empty when the records describe the same member.
std::string RecordDifference(const fileInfo& a, const fileInfo& b) {
    if (TextField(a.method, sizeof a.method) != TextField(b.method, sizeof b.method))
        return "method \"" + TextField(a.method, sizeof a.method) + "\" against \"" +
               TextField(b.method, sizeof b.method) + "\"";
    const struct {
        const char* field;
        unsigned long long a, b;
    } numbers[] = {
        {"position", static_cast<unsigned long long>(a.position),
         static_cast<unsigned long long>(b.position)},
        {"compsize", static_cast<unsigned long long>(a.compsize),
         static_cast<unsigned long long>(b.compsize)},
        {"filesize", static_cast<unsigned long long>(a.filesize),
         static_cast<unsigned long long>(b.filesize)},
        {"timestamp", static_cast<unsigned long long>(a.timestamp),
         static_cast<unsigned long long>(b.timestamp)},
    };
    for (const auto& n : numbers)
        if (n.a != n.b) return Format("%s %llu against %llu", n.field, n.a, n.b);
    if (FullName(a) != FullName(b)) return "name \"" + FullName(a) + "\" against \"" +
                                           FullName(b) + "\"";
    if (a.crc != b.crc) return Format("crc %lu against %lu", static_cast<unsigned long>(a.crc),
                                      static_cast<unsigned long>(b.crc));
    return std::string();
}

// Finds a file called `name` in a folder tree; empty when there is none.
std::string FindFile(const std::string& folder, const std::string& name) {
    WIN32_FIND_DATAA found;
    UniqueFind find(FindFirstFileA((folder + "\\*").c_str(), &found));
    if (!find.valid()) return std::string();
    std::string result;
    do {
        std::string entry = found.cFileName;
        if (entry == "." || entry == "..") continue;
        std::string path = folder + "\\" + entry;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            result = FindFile(path, name);
        else if (_stricmp(entry.c_str(), name.c_str()) == 0)
            result = path;
    } while (result.empty() && FindNextFileA(find.get(), &found));
    return result;
}

void RemoveTree(const std::string& folder) {
    // The search is closed before the folder is removed.
    WIN32_FIND_DATAA found;
    if (UniqueFind find{FindFirstFileA((folder + "\\*").c_str(), &found)}; find.valid()) {
        do {
            std::string entry = found.cFileName;
            if (entry == "." || entry == "..") continue;
            std::string path = folder + "\\" + entry;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(find.get(), &found));
    }
    RemoveDirectoryA(folder.c_str());
}

std::string ReadFileBytes(const std::string& path) {
    std::string bytes;
    ReadBytes(path, &bytes);
    return bytes;
}

// The members checks extract: the first 64 records, those with a name.
constexpr size_t kMaxMembers = 64;

std::vector<const fileInfo*> Members(const ArchiveListing& listing) {
    std::vector<const fileInfo*> members;
    for (size_t i = 0; i < listing.records.size() && i < kMaxMembers; ++i)
        if (listing.records[i].filename[0]) members.push_back(&listing.records[i]);
    return members;
}

}  // namespace

std::string TextField(const void* text, size_t size) {
    const char* chars = static_cast<const char*>(text);
    return std::string(chars, strnlen(chars, size));
}

ArchiveListing ReadListing(HLOCAL handle) {
    ArchiveListing listing;
    LocalLockScope view(handle);
    listing.blockSize = view.size();
    const unsigned char* bytes = view.as<const unsigned char>();
    if (!bytes) return listing;
    listing.locked = true;
    size_t at = 0;
    while (at + 1 <= view.size()) {
        if (bytes[at] == 0) {
            listing.terminated = true;
            break;
        }
        if (at + sizeof(fileInfo) > view.size()) break;
        fileInfo record;
        memcpy(&record, bytes + at, sizeof record);
        listing.records.push_back(record);
        at += sizeof(fileInfo);
    }
    return listing;
}

namespace {

// A block read as records `stride` bytes apart, up to the first that
// begins with 0 (the end record).
struct StrideWalk {
    size_t records = 0;       // before the end record
    bool terminated = false;  // an end record was met
    bool exact = false;       // ...and fills the block's last stride bytes
    bool textual = true;      // every record begins with a printable character
};

StrideWalk WalkAt(const unsigned char* bytes, size_t size, size_t stride) {
    StrideWalk walk;
    for (size_t at = 0; at < size; at += stride) {
        if (bytes[at] == 0) {
            walk.terminated = true;
            walk.exact = at + stride == size;
            break;
        }
        if (bytes[at] <= 0x20 || bytes[at] >= 0x7f) walk.textual = false;
        ++walk.records;
    }
    return walk;
}

}  // namespace

ListStride FindListStride(HLOCAL handle) {
    ListStride found;
    LocalLockScope view(handle);
    const unsigned char* bytes = view.as<const unsigned char>();
    found.blockSize = view.size();
    if (!bytes) return found;
    StrideWalk ours = WalkAt(bytes, view.size(), sizeof(fileInfo));
    found.records = ours.records + 1;
    // A block that holds our records up to an end record in its last slot
    // is ours; one that holds records of another known size exactly so
    // (plug-ins allocate their list for its records) is of those.
    if (ours.exact || sizeof(fileInfo) != 448) return found;
    for (size_t other : {size_t(444), size_t(428)}) {
        StrideWalk walk = WalkAt(bytes, view.size(), other);
        if (walk.exact && walk.textual && walk.records >= ours.records) {
            found.stride = other;
            found.records = walk.records + 1;
            break;
        }
    }
    return found;
}

ArchiveLists& Checker::Lists(FileContext& context) {
    if (context.lists) return *context.lists;
    context.lists.reset(new ArchiveLists);
    ArchiveLists& l = *context.lists;
    LPCSTR memory = context.MemorySource();
    int32_t size = context.MemorySize();
    l.file = Watch(plugin_, "GetArchiveInfo (file)", [&] {
        return plugin_.GetArchiveInfo(context.file.ansi.c_str(), 0, SPI_INPUT_FILE,
                                      l.fileList.put());
    });
    l.memory = Watch(plugin_, "GetArchiveInfo (memory)", [&] {
        return plugin_.GetArchiveInfo(memory, size, SPI_INPUT_MEMORY, l.memoryList.put());
    });
    l.listed = !l.file.faulted && l.file.code == 0 && l.fileList.get();
    if (kX64 && l.listed) l.fileStride = FindListStride(l.fileList.get());
    if (kX64 && !l.memory.faulted && l.memory.code == 0 && l.memoryList.get())
        l.memoryStride = FindListStride(l.memoryList.get());
    if (l.StrideFault()) l.listed = false;
    if (l.listed) l.listing = ReadListing(l.fileList.get());
    return l;
}

Extractions& Checker::Extracted(FileContext& context) {
    if (context.extractions) return *context.extractions;
    context.extractions.reset(new Extractions);
    Extractions& e = *context.extractions;
    e.sampleLog.calls.reserve(4096);
    SpiInputStream stream;
    stream.SetFile(context.file.ansi.c_str(), 0);
    for (const fileInfo* each : Members(Lists(context).listing)) {
        const fileInfo& record = *each;
        std::string member = FullName(record);
        e.members.emplace_back();
        MemberExtraction& m = e.members.back();
        m.record = &record;
        ProgressLog log;
        log.calls.reserve(4096);
        UniqueLocal block;
        Outcome o = Watch(plugin_, "GetFile (memory)", [&] {
            return plugin_.GetFileToMemory(stream, &record, block.put(), RecordProgress,
                                           LogData(&log));
        });
        std::string fault;
        m.outcome = o;
        if (e.members.size() == 1 && NotImplemented(o)) e.notImplemented = true;
        if (o.faulted || o.code != 0) {
            fault = member + ": GetFile " + Describe(o);
        } else {
            LocalLockScope view(block.get());
            if (record.filesize > 0 && !view.data()) {
                fault = member + ": the block cannot be locked";
            } else if (view.size() < record.filesize) {
                fault = Format("%s: the block holds %u bytes, the list says %llu", member.c_str(),
                               static_cast<unsigned>(view.size()),
                               static_cast<unsigned long long>(record.filesize));
            } else {
                if (view.size() > record.filesize && e.warning.empty())
                    e.warning = Format("%s: the block holds %u bytes, the list says %llu",
                                       member.c_str(), static_cast<unsigned>(view.size()),
                                       static_cast<unsigned long long>(record.filesize));
                m.bytes.assign(view.as<const char>(), record.filesize);
                m.extracted = true;
                std::string name = TextField(record.filename, sizeof record.filename), savedAs;
                SaveFile(name, m.bytes.data(), m.bytes.size(), &savedAs);
                if (savedAs != name && e.renamed.empty())
                    e.renamed = "member \"" + name + "\" saved as \"" + savedAs + "\"";
            }
            if (!e.sample && record.filesize > 0) {
                e.sample = &record;
                e.sampleLog = log;
            }
        }
        if (e.fault.empty()) e.fault = fault;
    }
    return e;
}

void Checker::ArchiveStride(FileContext& context) {
    const ArchiveLists& l = Lists(context);
    for (const auto* each : {&l.fileStride, &l.memoryStride}) {
        const ListStride& s = *each;
        if (s.stride == sizeof(fileInfo)) continue;
        const char* what = s.stride == 444 ? "the x64 record without its 4-byte pad"
                                           : "the 32-bit record, its four numbers 4 bytes each";
        return Fail(Format("the list from %s: its %u-byte block holds %u records %u bytes apart "
                           "(the last the end record), not %u: %s",
                           each == &l.fileStride ? "the file" : "memory",
                           static_cast<unsigned>(s.blockSize), static_cast<unsigned>(s.records),
                           static_cast<unsigned>(s.stride),
                           static_cast<unsigned>(sizeof(fileInfo)), what));
    }
    if (l.listed) Pass();  // otherwise archive.list-end reports the list
}

void Checker::ArchiveListEnd(FileContext& context) {
    const ArchiveLists& l = Lists(context);
    if (!l.listed && l.StrideFault()) {
        return;  // archive.stride reports it; the records cannot be read
    } else if (!l.listed) {
        // The other archive checks are left out: there are no members.
        Fail("GetArchiveInfo from the file " + Describe(l.file));
    } else if (!l.listing.locked) {
        Fail("the list's block cannot be locked");
    } else if (!l.listing.terminated) {
        Fail(Format("the list's %u-byte block holds %u records and no end record",
                    static_cast<unsigned>(l.listing.blockSize),
                    static_cast<unsigned>(l.listing.records.size())));
    } else {
        Pass();
    }
}

void Checker::ArchiveListAgree(FileContext& context) {
    const ArchiveLists& l = Lists(context);
    if (!l.listed) return;
    const std::vector<fileInfo>& records = l.listing.records;
    std::string fault;
    if (NotImplemented(l.memory)) {
        return Warn("input from memory is not implemented (GetArchiveInfo from memory returned "
                    "-1); the checks that need it are left out");
    } else if (l.memory.faulted || l.memory.code != 0 || !l.memoryList.get()) {
        fault = "GetArchiveInfo from memory " + Describe(l.memory);
    } else {
        ArchiveListing other = ReadListing(l.memoryList.get());
        if (other.records.size() != records.size())
            fault = Format("%u members from the file, %u from memory",
                           static_cast<unsigned>(records.size()),
                           static_cast<unsigned>(other.records.size()));
        for (size_t i = 0; fault.empty() && i < records.size(); ++i) {
            std::string differs = RecordDifference(records[i], other.records[i]);
            if (!differs.empty())
                fault = Format("member %u (%s): ", static_cast<unsigned>(i + 1),
                               FullName(records[i]).c_str()) +
                        differs + " (file against memory)";
        }
    }
    if (fault.empty())
        Pass();
    else
        Fail(fault);
}

void Checker::ArchiveExtractMemory(FileContext& context) {
    if (!Lists(context).listed) return;
    const Extractions& e = Extracted(context);
    if (e.notImplemented) {
        // Output to memory may be left out where output to a folder works.
        Outcome disk = e.members.empty() ? Outcome() : ExtractToFolder(context, *e.members[0].record);
        if (NotImplemented(disk))
            return Fail(e.fault + "; to a folder as well: GetFile declines every output");
        return Warn("output to memory is not implemented (" + e.fault +
                    "); the checks that need it are left out");
    }
    if (!e.fault.empty())
        Fail(e.fault);
    else if (!e.warning.empty())
        Warn(e.warning);
    else if (!e.renamed.empty())
        Warn(e.renamed);
    else
        Pass();
}

Outcome Checker::ExtractToFolder(FileContext& context, const fileInfo& record,
                                 std::string* folderOut) {
    SpiInputStream stream;
    stream.SetFile(context.file.ansi.c_str(), 0);
    std::string folder = TempPath("extract");
    CreateDirectoryA(folder.c_str(), nullptr);
    Outcome o = Watch(plugin_, "GetFile (folder)", [&] {
        return plugin_.GetFileToDisk(stream, &record, folder.c_str(), NullProgress, 0);
    });
    if (folderOut)
        *folderOut = folder;
    else
        RemoveTree(folder);
    return o;
}

void Checker::ArchiveExtractDisk(FileContext& context) {
    if (!Lists(context).listed) return;
    std::string fault;
    for (const MemberExtraction& m : Extracted(context).members) {
        const fileInfo& record = *m.record;
        std::string member = FullName(record);
        std::string filename = TextField(record.filename, sizeof record.filename);
        std::string folder;
        Outcome o = ExtractToFolder(context, record, &folder);
        std::string memberFault;
        if (NotImplemented(o) && &m == &Extracted(context).members.front()) {
            RemoveTree(folder);
            if (Extracted(context).notImplemented)
                return Fail(member + ": GetFile to a folder " + Describe(o) +
                            ", to memory as well: GetFile declines every output");
            return Warn("output to a folder is not implemented (GetFile to a folder returned "
                        "-1)");
        }
        if (o.faulted || o.code != 0) {
            memberFault = member + ": GetFile to a folder " + Describe(o);
        } else if (m.extracted) {
            // A name with folders in it is looked for by its last part.
            std::string written = FindFile(folder, BaseName(filename));
            if (written.empty())
                memberFault = member + ": no file " + filename + " written";
            else if (ReadFileBytes(written) != m.bytes)
                memberFault = member + ": the file written differs from the memory extraction";
        }
        RemoveTree(folder);
        if (fault.empty()) fault = memberFault;
    }
    if (fault.empty())
        Pass();
    else
        Fail(fault);
}

void Checker::ArchiveLookup(FileContext& context) {
    const ArchiveLists& l = Lists(context);
    if (!l.listed) return;
    SpiInputStream stream;
    stream.SetFile(context.file.ansi.c_str(), 0);
    std::string fault;
    for (const fileInfo* each : Members(l.listing)) {
        const fileInfo& record = *each;
        std::string member = FullName(record);
        GuardedRecord<fileInfo> guarded;
        if (!guarded.get()) continue;
        Outcome o = Watch(plugin_, "GetFileInfo", [&] {
            return plugin_.GetFileInfoStream(stream, member.c_str(), 0, guarded.get());
        });
        fileInfo found = guarded.value();
        if (!fault.empty()) continue;  // every member is still asked for
        if (guarded.Overrun())
            fault = Format("%s: GetFileInfo writes %u bytes past its %u-byte record",
                           member.c_str(), static_cast<unsigned>(guarded.Overrun()),
                           static_cast<unsigned>(sizeof(fileInfo)));
        else if (o.faulted || o.code != 0)
            fault = member + ": GetFileInfo " + Describe(o);
        else if (found.position != record.position || found.filesize != record.filesize)
            fault = member + ": GetFileInfo gives " + RecordDifference(found, record) +
                    " (lookup against list)";
    }
    if (fault.empty())
        Pass();
    else
        Fail(fault);
}

void Checker::Reload() {
    ReleasePlugins();
    CallStarted("loading and identification (reload)");
    plugin_.Load(nullptr, plugin_.GetModulePath());
    CallEnded();
}

namespace {

const char kReloadNote[] = ": hosts that load a plug-in around each call will see this";

}  // namespace

void Checker::RobustReload(FileContext& context) {
    const std::string& name = context.file.ansi;
    if (image_) {
        const PictureDecodes& d = Decodes(context);
        if (!d.decoded) return;  // the decode from the file is reported elsewhere
        if (hasPictureInfo_) {
            PictureInfo info = {};
            Outcome described = Watch(plugin_, "GetPictureInfo (file)", [&] {
                return plugin_.GetPictureInfo(name.c_str(), 0, SPI_INPUT_FILE, &info);
            });
            if (!described.faulted) LocalFree(info.hInfo);
        }
        Reload();
        Decoded again;
        again.outcome = Watch(plugin_, "GetPicture (file, after a reload)", [&] {
            return plugin_.GetPicture(name.c_str(), 0, SPI_INPUT_FILE, again.info.put(),
                                      again.bits.put(), NullProgress, 0);
        });
        std::string differs;
        if (again.outcome.faulted || again.outcome.code != 0)
            differs = "GetPicture " + Describe(again.outcome) + ", kept loaded it returned 0";
        else if (!(differs = CompareDecodes(d.disk, again)).empty())
            differs = "GetPicture gives another picture than kept loaded: " + differs;
        if (differs.empty()) return Pass();
        return Warn("with the module unloaded and loaded again between GetPictureInfo and "
                    "GetPicture, " + differs + kReloadNote);
    }
    const ArchiveLists& l = Lists(context);
    if (!l.listed) return;
    const Extractions& e = Extracted(context);
    {
        UniqueLocal list;
        Watch(plugin_, "GetArchiveInfo (file)", [&] {
            return plugin_.GetArchiveInfo(name.c_str(), 0, SPI_INPUT_FILE, list.put());
        });
    }
    Reload();
    std::string first;
    int differing = 0, asked = 0;
    for (const MemberExtraction& m : e.members) {
        const fileInfo& record = *m.record;
        UniqueLocal block;
        Outcome o = Watch(plugin_, "GetFile (memory, after a reload)", [&] {
            return plugin_.GetFile(name.c_str(), static_cast<intptr_t>(record.position),
                                   reinterpret_cast<LPSTR>(block.put()),
                                   SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, NullProgress, 0);
        });
        ++asked;
        std::string differs;
        if (o.faulted != m.outcome.faulted || o.code != m.outcome.code) {
            differs = "GetFile " + Describe(o) + ", kept loaded it " + Describe(m.outcome);
        } else if (m.extracted) {
            LocalLockScope view(block.get());
            std::string bytes;
            if (view.data()) bytes.assign(view.as<const char>(), view.size());
            if (bytes.size() < m.bytes.size() || bytes.compare(0, m.bytes.size(), m.bytes) != 0)
                differs = Format("GetFile gives %u other bytes, kept loaded %u",
                                 static_cast<unsigned>(bytes.size()),
                                 static_cast<unsigned>(m.bytes.size()));
        }
        if (differs.empty()) continue;
        if (first.empty()) first = "member \"" + FullName(record) + "\": " + differs;
        ++differing;
    }
    if (differing == 0) return Pass();
    Warn("with the module unloaded and loaded again between GetArchiveInfo and GetFile, " + first +
         Format(" (%d of %d members differ)", differing, asked) + kReloadNote);
}
