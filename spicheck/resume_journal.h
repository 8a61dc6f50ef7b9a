// --resume=FILE: the journal of a run's finished batches of files, so that
// the same command started again after being stopped goes on after them
// and reports what an uninterrupted run reports. The file begins with what
// the run was (the plug-in's size, time and a hash of its bytes, the
// arguments, the files named); a journal of another run is begun afresh.
// Each finished batch is appended whole and flushed: a run stopped while
// one is written loses only that batch.
#ifndef SPICHECK_RESUME_JOURNAL_H
#define SPICHECK_RESUME_JOURNAL_H

#include <string>
#include <vector>

#include "win32_handles.h"

// What a journal belongs to.
struct RunKey {
    std::string plugin;     // "size time hash"
    std::string arguments;  // the command line's, but for --resume and -j
    std::string files;      // the files named, folders walked

    // The key of this run: the plug-in at pluginPath, the program's
    // arguments, the files it checks. False when the plug-in cannot be read.
    bool Make(const std::string& pluginPath, const std::vector<std::string>& files);
};

class ResumeJournal {
public:
    // Opens or creates path. Its records are taken when it was begun for
    // the same key; otherwise it is begun afresh and *note says why (empty
    // for a new file). False with *error when the file cannot be used.
    bool Open(const std::string& path, const RunKey& key, std::string* note, std::string* error);
    // The records of the batches finished before, as appended.
    const std::vector<std::string>& Records() const { return records_; }
    // Appends one record, flushed to the disk; false when it was not.
    bool Append(const std::string& record);

private:
    UniqueFile file_;
    std::vector<std::string> records_;
};

// 64-bit FNV-1a of bytes, in hex.
std::string HashText(const std::string& bytes);

#endif
