// The results of a run as JUnit XML, as CI systems read it: one test suite
// for the plug-in's own checks and one per file, one test case per check
// of the plug-in's kind, a failure with the reason, a check left out
// (a file's checks skipped after it could not be read or was declined, a
// check the plug-in's exports or answers leave nothing to ask) as skipped.
// A warning is a passing case whose output holds the reason.
#ifndef SPICHECK_JUNIT_WRITER_H
#define SPICHECK_JUNIT_WRITER_H

#include <string>
#include <vector>

#include "check_suites.h"
#include "report.h"

// The run's results: those of the plug-in itself before spans' first, and
// each file's span. imageKind picks the checks that apply. False when the
// file cannot be written.
bool WriteJunit(const std::string& path, const std::string& plugin, bool imageKind,
                const Report& report, const std::vector<FileSpan>& spans);

// Bytes of the ANSI code page (file names, plug-in texts) as UTF-8, with
// what XML cannot hold (control characters, <, &, quotes) escaped or
// replaced: text for an attribute or an element of an XML or HTML page.
std::string XmlText(const std::string& text);

#endif
