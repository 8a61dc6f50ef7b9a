#include "resume_journal.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "file_bytes.h"
#include "journal.h"
#include "names.h"
#include "report.h"

namespace {

constexpr char kKeyRecord = 'J';
const char kJournalFormat[] = "spicheck resume journal 1";

}  // namespace

std::string HashText(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char text[20];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

bool RunKey::Make(const std::string& pluginPath, const std::vector<std::string>& names) {
    WIN32_FILE_ATTRIBUTE_DATA facts;
    std::string bytes;
    if (!GetFileAttributesExA(pluginPath.c_str(), GetFileExInfoStandard, &facts) ||
        !ReadBytes(pluginPath, &bytes))
        return false;
    char text[64];
    snprintf(text, sizeof text, "%lu:%lu %08lx%08lx ",
             static_cast<unsigned long>(facts.nFileSizeHigh),
             static_cast<unsigned long>(facts.nFileSizeLow),
             static_cast<unsigned long>(facts.ftLastWriteTime.dwHighDateTime),
             static_cast<unsigned long>(facts.ftLastWriteTime.dwLowDateTime));
    plugin = text + HashText(bytes);
    // Where the journal is kept and how many workers run change nothing
    // of the report.
    journal::Packet kept('a');
    std::vector<std::string> line = WideArguments();
    for (size_t i = 1; i < line.size(); ++i) {
        const std::string& a = line[i];
        if (a.compare(0, 9, "--resume=") == 0 || a.compare(0, 7, "--jobs=") == 0) continue;
        if (a.compare(0, 2, "-j") == 0) {
            if (a.size() == 2) ++i;
            continue;
        }
        kept.Add(a);
    }
    arguments = HashText(kept.Bytes());
    journal::Packet listed('f');
    for (const std::string& name : names) listed.Add(name);
    files = HashText(listed.Bytes());
    return true;
}

bool ResumeJournal::Open(const std::string& path, const RunKey& key, std::string* note,
                         std::string* error) {
    file_.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.valid()) {
        *error = Format("cannot open %s for --resume (error %lu)", ShownName(path).c_str(),
                        GetLastError());
        return false;
    }
    std::string bytes;
    char chunk[1 << 16];
    DWORD got = 0;
    while (ReadFile(file_.get(), chunk, sizeof chunk, &got, nullptr) && got)
        bytes.append(chunk, got);
    journal::Packet head(kKeyRecord);
    head.Add(kJournalFormat).Add(key.plugin).Add(key.arguments).Add(key.files);
    // The records after a key of this run, up to the first that was not
    // written whole.
    size_t at = 0, kept = 0;
    journal::Record r;
    note->clear();
    if (journal::ParseRecord(bytes, &at, &r)) {
        if (r.type != kKeyRecord || r.Text(0) != kJournalFormat)
            *note = "it is no journal of spicheck's";
        else if (r.Text(1) != key.plugin)
            *note = "the plug-in changed (its size, time or contents)";
        else if (r.Text(2) != key.arguments)
            *note = "the arguments changed";
        else if (r.Text(3) != key.files)
            *note = "the files named changed";
        if (note->empty()) {
            kept = at;
            size_t start = at;
            while (journal::ParseRecord(bytes, &at, &r)) {
                records_.push_back(bytes.substr(start, at - start));
                kept = start = at;
            }
        }
    } else if (!bytes.empty()) {
        *note = "it is no journal of spicheck's";
    }
    if (!note->empty()) *note += ": starting afresh";
    LONG high = static_cast<LONG>(static_cast<unsigned long long>(kept) >> 32);
    bool ok = SetFilePointer(file_.get(), static_cast<LONG>(kept & 0xFFFFFFFFu), &high,
                             FILE_BEGIN) != INVALID_SET_FILE_POINTER ||
              GetLastError() == NO_ERROR;
    ok = ok && SetEndOfFile(file_.get());
    if (ok && kept == 0) ok = Append(head.Bytes());
    if (!ok) {
        *error = Format("cannot write %s for --resume (error %lu)", ShownName(path).c_str(),
                        GetLastError());
        file_.reset();
    }
    return ok;
}

bool ResumeJournal::Append(const std::string& record) {
    if (!file_.valid()) return false;
    DWORD written = 0;
    return WriteFile(file_.get(), record.data(), static_cast<DWORD>(record.size()), &written,
                     nullptr) &&
           written == record.size() && FlushFileBuffers(file_.get());
}
