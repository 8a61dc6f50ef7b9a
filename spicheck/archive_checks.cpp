// Checks of an archive plug-in on one file: the listing from both inputs,
// its end record, every member extracted to memory and to a folder, lookup
// by name, and the progress callback of an extraction.
#include <cstring>

#include "checker.h"
#include "spi_input_stream.h"

namespace {

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

std::string FullName(const fileInfo& record) {
    return Field(record.path, sizeof record.path) + Field(record.filename, sizeof record.filename);
}

// Empty when the records describe the same member.
std::string RecordDifference(const fileInfo& a, const fileInfo& b) {
    if (Field(reinterpret_cast<const char*>(a.method), 8) !=
        Field(reinterpret_cast<const char*>(b.method), 8))
        return "method";
    if (a.position != b.position) return Format("position %lu against %lu",
                                                static_cast<unsigned long>(a.position),
                                                static_cast<unsigned long>(b.position));
    if (a.compsize != b.compsize) return Format("compsize %lu against %lu",
                                                static_cast<unsigned long>(a.compsize),
                                                static_cast<unsigned long>(b.compsize));
    if (a.filesize != b.filesize) return Format("filesize %lu against %lu",
                                                static_cast<unsigned long>(a.filesize),
                                                static_cast<unsigned long>(b.filesize));
    if (a.timestamp != b.timestamp) return "timestamp";
    if (FullName(a) != FullName(b)) return "name \"" + FullName(a) + "\" against \"" +
                                           FullName(b) + "\"";
    if (a.crc != b.crc) return "crc";
    return std::string();
}

// Finds a file called `name` in a folder tree; empty when there is none.
std::string FindFile(const std::string& folder, const std::string& name) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return std::string();
    std::string result;
    do {
        std::string entry = found.cFileName;
        if (entry == "." || entry == "..") continue;
        std::string path = folder + "\\" + entry;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            result = FindFile(path, name);
        else if (_stricmp(entry.c_str(), name.c_str()) == 0)
            result = path;
    } while (result.empty() && FindNextFileA(find, &found));
    FindClose(find);
    return result;
}

void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string entry = found.cFileName;
            if (entry == "." || entry == "..") continue;
            std::string path = folder + "\\" + entry;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

std::string ReadFileBytes(const std::string& path) {
    std::string bytes;
    FILE* in = fopen(path.c_str(), "rb");
    if (!in) return bytes;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) bytes.append(chunk, n);
    fclose(in);
    return bytes;
}

constexpr size_t kMaxMembers = 64;

}  // namespace

ArchiveListing ReadListing(HLOCAL handle) {
    ArchiveListing listing;
    BlockView view(handle);
    listing.blockSize = view.size();
    if (!view.data()) return listing;
    listing.locked = true;
    size_t at = 0;
    while (at + 1 <= view.size()) {
        if (view.data()[at] == 0) {
            listing.terminated = true;
            break;
        }
        if (at + sizeof(fileInfo) > view.size()) break;
        fileInfo record;
        memcpy(&record, view.data() + at, sizeof record);
        listing.records.push_back(record);
        at += sizeof(fileInfo);
    }
    return listing;
}

void Checker::CheckArchive(const TestFile& file) {
    const char* name = file.name.c_str();
    EdgeBuffer memory(file.bytes.size());
    memcpy(memory.data(), file.bytes.data(), file.bytes.size());
    LPCSTR memorySource = reinterpret_cast<LPCSTR>(memory.data());
    int32_t memorySize = static_cast<int32_t>(file.bytes.size());

    OwnedBlock fileList, memoryList;
    Outcome fromFile = Watch("GetArchiveInfo (file)", [&] {
        return plugin_.GetArchiveInfo(name, 0, SPI_INPUT_FILE, fileList.out());
    });
    Outcome fromMemory = Watch("GetArchiveInfo (memory)", [&] {
        return plugin_.GetArchiveInfo(memorySource, memorySize, SPI_INPUT_MEMORY,
                                      memoryList.out());
    });
    if (fromFile.faulted || fromFile.code != 0 || !fileList.get()) {
        report_.Fail("archive.list-end", file.name, "GetArchiveInfo from the file " +
                                                        Describe(fromFile));
        return;
    }
    ArchiveListing listing = ReadListing(fileList.get());
    if (!listing.locked)
        report_.Fail("archive.list-end", file.name, "the list's block cannot be locked");
    else if (!listing.terminated)
        report_.Fail("archive.list-end", file.name,
                     Format("the list's %u-byte block holds %u records and no end record",
                            static_cast<unsigned>(listing.blockSize),
                            static_cast<unsigned>(listing.records.size())));
    else
        report_.Pass("archive.list-end", file.name);

    std::string agreeFault;
    if (fromMemory.faulted || fromMemory.code != 0 || !memoryList.get()) {
        agreeFault = "GetArchiveInfo from memory " + Describe(fromMemory);
    } else {
        ArchiveListing other = ReadListing(memoryList.get());
        if (other.records.size() != listing.records.size())
            agreeFault = Format("%u members from the file, %u from memory",
                                static_cast<unsigned>(listing.records.size()),
                                static_cast<unsigned>(other.records.size()));
        for (size_t i = 0; agreeFault.empty() && i < listing.records.size(); ++i) {
            std::string differs = RecordDifference(listing.records[i], other.records[i]);
            if (!differs.empty())
                agreeFault = Format("member %u (%s): ", static_cast<unsigned>(i + 1),
                                    FullName(listing.records[i]).c_str()) +
                             differs + " (file against memory)";
        }
    }
    if (agreeFault.empty())
        report_.Pass("archive.list-agree", file.name);
    else
        report_.Fail("archive.list-agree", file.name, agreeFault);

    // Every member (up to a limit) to memory, to a folder, and by name.
    std::string memoryFault, memoryWarn, diskFault, lookupFault;
    const fileInfo* sample = nullptr;  // the first member with data
    ProgressLog sampleLog;
    sampleLog.calls.reserve(4096);
    SpiInputStream stream;
    stream.SetFile(name, 0);
    size_t count = listing.records.size() < kMaxMembers ? listing.records.size() : kMaxMembers;
    for (size_t i = 0; i < count; ++i) {
        const fileInfo& record = listing.records[i];
        std::string member = FullName(record);
        std::string filename = Field(record.filename, sizeof record.filename);
        if (filename.empty()) continue;

        ProgressLog log;
        log.calls.reserve(4096);
        OwnedBlock extracted;
        Outcome toMemory = Watch("GetFile (memory)", [&] {
            return plugin_.GetFileToMemory(stream, &record, extracted.out(), RecordProgress,
                                           static_cast<int32_t>(reinterpret_cast<intptr_t>(&log)));
        });
        std::string bytes;
        bool haveBytes = false;
        if (toMemory.faulted || toMemory.code != 0) {
            if (memoryFault.empty()) memoryFault = member + ": GetFile " + Describe(toMemory);
        } else {
            BlockView view(extracted.get());
            if (record.filesize > 0 && !view.data()) {
                if (memoryFault.empty()) memoryFault = member + ": the block cannot be locked";
            } else if (view.size() < record.filesize) {
                if (memoryFault.empty())
                    memoryFault = Format("%s: the block holds %u bytes, the list says %lu",
                                         member.c_str(), static_cast<unsigned>(view.size()),
                                         static_cast<unsigned long>(record.filesize));
            } else {
                if (view.size() > record.filesize && memoryWarn.empty())
                    memoryWarn = Format("%s: the block holds %u bytes, the list says %lu",
                                        member.c_str(), static_cast<unsigned>(view.size()),
                                        static_cast<unsigned long>(record.filesize));
                bytes.assign(reinterpret_cast<const char*>(view.data()), record.filesize);
                haveBytes = true;
                SaveFile(filename, bytes.data(), bytes.size());
            }
            if (!sample && record.filesize > 0) {
                sample = &record;
                sampleLog = log;
            }
        }

        std::string folder = TempPath("extract");
        CreateDirectoryA(folder.c_str(), nullptr);
        Outcome toDisk = Watch("GetFile (folder)", [&] {
            return plugin_.GetFileToDisk(stream, &record, folder.c_str(), NullProgress, 0);
        });
        if (toDisk.faulted || toDisk.code != 0) {
            if (diskFault.empty()) diskFault = member + ": GetFile to a folder " + Describe(toDisk);
        } else if (haveBytes) {
            std::string written = FindFile(folder, filename);
            if (written.empty()) {
                if (diskFault.empty()) diskFault = member + ": no file " + filename + " written";
            } else if (ReadFileBytes(written) != bytes) {
                if (diskFault.empty())
                    diskFault = member + ": the file written differs from the memory extraction";
            }
        }
        RemoveTree(folder);

        fileInfo found;
        memset(&found, 0, sizeof found);
        Outcome lookup = Watch("GetFileInfo", [&] {
            return plugin_.GetFileInfoStream(stream, member.c_str(), 0, &found);
        });
        if (lookupFault.empty()) {
            if (lookup.faulted || lookup.code != 0)
                lookupFault = member + ": GetFileInfo " + Describe(lookup);
            else if (found.position != record.position || found.filesize != record.filesize)
                lookupFault = member + ": GetFileInfo gives " + RecordDifference(found, record) +
                              " (lookup against list)";
        }
    }
    if (!memoryFault.empty())
        report_.Fail("archive.extract-memory", file.name, memoryFault);
    else if (!memoryWarn.empty())
        report_.Warn("archive.extract-memory", file.name, memoryWarn);
    else
        report_.Pass("archive.extract-memory", file.name);
    if (diskFault.empty())
        report_.Pass("archive.extract-disk", file.name);
    else
        report_.Fail("archive.extract-disk", file.name, diskFault);
    if (lookupFault.empty())
        report_.Pass("archive.lookup", file.name);
    else
        report_.Fail("archive.lookup", file.name, lookupFault);

    if (!sample) return;
    const fileInfo& record = *sample;
    ReportProgress(file, sampleLog);

    LPCSTR memberSource = memorySource + record.position;
    int32_t memberLength = memorySize - static_cast<int32_t>(record.position);
    bool inside = record.position < file.bytes.size();
    {
        OwnedBlock quiet;
        Outcome o = Watch("GetFile (no callback)", [&] {
            return plugin_.GetFile(name, static_cast<int32_t>(record.position),
                                   reinterpret_cast<LPSTR>(quiet.out()),
                                   SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, nullptr, 0);
        });
        if (o.faulted || o.code != 0)
            report_.Fail("callback.null", file.name, "GetFile with a null callback " + Describe(o));
        else
            report_.Pass("callback.null", file.name);
    }
    if (sampleLog.count > 0) {
        OwnedBlock stopped;
        ProgressLog log;
        log.stopAt = 0;
        log.calls.reserve(64);
        HeapCensus before = TakeHeapCensus();
        Outcome o = Watch("GetFile (cancelled)", [&] {
            return plugin_.GetFile(name, static_cast<int32_t>(record.position),
                                   reinterpret_cast<LPSTR>(stopped.out()),
                                   SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, RecordProgress,
                                   static_cast<int32_t>(reinterpret_cast<intptr_t>(&log)));
        });
        HeapCensus after = TakeHeapCensus();
        ReportCancel(file, o, log, before, after);
    }
    if (inside) {
        CheckLeaks(file, [&](SpiDllFile& plugin) {
            OwnedBlock again;
            return Watch("GetFile (repeated)", [&] {
                return plugin.GetFile(memberSource, memberLength,
                                       reinterpret_cast<LPSTR>(again.out()),
                                       SPI_INPUT_MEMORY | SPI_OUTPUT_MEMORY, NullProgress, 0);
            });
        });
    }
}
