// The end of an --in-process run that the plug-in brings about: a call
// past the hang limit, or what no guard caught (an exception raised
// outside a guard, a C++ exception that ends in abort, a heap too damaged
// to go on), ends spicheck's own process. The report so far is completed
// with one FAIL of the check that was running and the summary (or the
// JSON document) first.
#ifndef SPICHECK_IN_PROCESS_END_H
#define SPICHECK_IN_PROCESS_END_H

#include <string>

#include "checker.h"
#include "run_output.h"

struct InProcessRun {
    RunOutput* output;
    Checker* checker;
    bool identified;  // the header line is printed (text report)
};

struct PreparedEnd {
    InProcessRun* run = nullptr;
    std::string head;       // the JSON document's start
    std::string body;       // its results so far
    std::string file;       // the file of the checks running (UTF-8)
    std::string fileJson;   // ... as a JSON string
    std::string fileShown;  // ... as the text report shows it
    std::string unidentified;  // the text report's first line before identification
};

// Watches the run from its creation to its end: the watchdog, the texts
// the end needs kept up to date while the heap is sound, this process made
// the plug-in's helper with the end as its last chance, and abort.
class InProcessEnd {
public:
    explicit InProcessEnd(InProcessRun* run);
    // The run ends with it: what faults after ends quietly.
    ~InProcessEnd();
    InProcessEnd(const InProcessEnd&) = delete;
    InProcessEnd& operator=(const InProcessEnd&) = delete;

private:
    void Prepare();
    PreparedEnd prepared_;
};

#endif
