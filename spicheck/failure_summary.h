// What a person reads first at the end of a long text report: the files
// that failed, grouped by check, in the order of the table of checks
// (printed before the summary line of a run of more than one file).
#ifndef SPICHECK_FAILURE_SUMMARY_H
#define SPICHECK_FAILURE_SUMMARY_H

#include <string>

#include "report.h"

// Names shown per check; the others are counted.
constexpr size_t kFilesNamedPerCheck = 3;

// "Files that failed, by check:" and one line per check that failed on a
// file ("  picture.header: 12 files: a.bmp, b.bmp, c.bmp and 9 more"),
// each line ended by '\n'; empty when no file failed. A file that failed a
// check more than once counts once.
std::string FailureSummary(const Report& report);

#endif
