// spicheck's fuzzing campaign on one file (--fuzz-time, --fuzz-execs),
// run by robust.fuzz after its fixed variants, in the process that holds
// the plug-in (the worker, or spicheck itself with --in-process). Each
// execution hands an input to the memory form of the plug-in's operations
// (image: IsSupported, GetPictureInfo, GetPicture; archive: IsSupported,
// GetArchiveInfo, then GetFile of the listed members to memory), the input
// ending right before an inaccessible page. With an instrumented plug-in
// (spicov.c) the inputs that reach new edges join the corpus and the
// operands of failed comparisons are written into inputs; without one the
// mutations work blind from the file (and --corpus).
#ifndef SPICHECK_FUZZ_CAMPAIGN_H
#define SPICHECK_FUZZ_CAMPAIGN_H

#include <string>
#include <vector>

#include "checker.h"

struct CampaignFinding {
    std::string signature;
    std::string path;  // the reproducer, empty when it could not be written
    long long hits = 0;  // executions that showed it
};

struct CampaignResult {
    long long executions = 0;  // the campaign's, minimising left out
    long long minimising = 0;  // executions spent minimising, looking for leaks and
                               // logging a kept input's comparisons
    DWORD ms = 0;
    bool instrumented = false;
    size_t edges = 0;
    size_t corpus = 0;
    std::vector<CampaignFinding> findings;  // in the order found
    std::string problem;  // a folder or dictionary that could not be used
};

// The largest input a campaign on a file of this size makes.
size_t CampaignInputLimit(size_t fileSize);

CampaignResult RunFuzzCampaign(Checker& checker, SpiDllFile& plugin, bool image,
                               const Options& options, const InputFile& file);

// For a worker started to try one input of a campaign's that ended a
// worker (kept_input.h): runs the input it was handed once, as the
// campaign's execution on `fileName` did, writing nothing anywhere.
void TryKeptInput(Checker& checker, SpiDllFile& plugin, bool image, const Options& options,
                  const std::string& fileName);

// For a worker about to end on an exception no guard caught, or with a
// call stuck in a system wait, in the middle of a campaign's execution:
// writes the input to the crashes folder as "<operation>_<what><extension>",
// with no allocation (the process is in no state for one). Nothing outside
// an execution, nor for an input kept for spicheck, which writes it once
// the worker is gone.
void SaveCampaignInputBeforeTheEnd(const char* what);

// "5000 executions, 41000/s, 312 edges, corpus 17", the edges left out
// for a plug-in without coverage.
std::string CampaignLine(const CampaignResult& result);
// "2 distinct faults: SIG (PATH); SIG (PATH)", up to 5, then a count.
std::string FindingsText(const CampaignResult& result);

#endif
