// What one batch of a run's files left: its results, the spans of its
// files, what the HTML page keeps of them, and how the batch ended. The
// run's report is these put one after another in the order of the files;
// the resume journal keeps them as bytes.
#ifndef SPICHECK_BATCH_RESULT_H
#define SPICHECK_BATCH_RESULT_H

#include <string>
#include <vector>

#include "check_suites.h"
#include "report.h"

struct BatchResult {
    struct Entry {
        Verdict verdict;
        CheckId check;
        std::string file, reason;
    };
    int status = 0;           // 0, or 2: the run cannot go on (message says why)
    bool endsRun = false;     // nothing after this batch is checked
    std::string message;      // for standard error
    std::string releaseFailure;
    std::string header;       // the first batch's: the report's first line
    std::string kind, version, jsonExtra, identity;  // the first batch's
    std::vector<std::string> saveNames;
    std::vector<Entry> results, skips;  // a skip's verdict is unused
    std::vector<FileSpan> spans;        // indexes into results
    std::vector<std::string> pages;     // HtmlPage::SavedFile of each file kept

    std::string Bytes(size_t index) const;
    // False when the bytes are no batch's record; *index is the batch's.
    bool Restore(const std::string& bytes, size_t* index);
};

#endif
