// What spicheck's fuzzing campaign finds: each fault, hang, read past the
// input, write past a record or leak becomes a signature (the operation, the
// kind, and for a fault its exception code and the faulting instruction
// relative to its module), and each distinct signature one minimised
// reproducer file in the crashes folder, with a text file beside it.
#ifndef SPICHECK_FUZZ_FINDINGS_H
#define SPICHECK_FUZZ_FINDINGS_H

#include <cstdint>
#include <functional>
#include <string>

// "GetPicture c0000005 at fuzz_target.spi+0x1a2b",
// "GetPicture reads past its input at fuzz_target.spi+0x1a40",
// "GetPictureInfo writes past its record", "GetPicture hangs",
// "GetPicture leaks memory"; "GetPicture damages the heap",
// "GetPicture ends the process", "GetPicture uncaught c0000005" and
// "GetPicture hangs in a system wait" come from spicheck (kept_input.h).
std::string FaultSignature(const char* operation, uint32_t code, uintptr_t instruction,
                           bool pastInput);
// "module+0x1a2b" for an address inside a loaded module, else the address.
std::string ModuleOffset(uintptr_t address);

// The shortest input, with the most bytes zeroed, for which `shows` still
// holds: blocks removed, then blocks and single bytes zeroed, halving the
// block each round; never down to nothing (an empty file is not checked).
// At most `budget` calls of shows; *calls: how many.
std::string Minimise(const std::string& input, const std::function<bool(const std::string&)>& shows,
                     int budget, int* calls);

// What the text file beside a reproducer says.
struct Reproducer {
    std::string signature;
    std::string file;       // the file the campaign started from, as named
    uint32_t seed = 0;
    long long execution = 0;  // the campaign's execution that found it (1-based)
    size_t foundSize = 0;     // the input's size before minimising
    int minimiseCalls = 0;
    // Each try ran alone in a worker of its own (an input that ends the
    // worker it runs in).
    bool triesInWorkers = false;
    // A worker to try in could not be started: the tries stopped there.
    bool workerMissing = false;
    // False when not one try was made: no worker could be started, or the
    // one the input ended could not be ended, and none was started beside it.
    bool minimised = true;
    // IsSupported declined the input: a check of the file would stop at
    // probe.accepts, so the command that shows it again skips that check.
    bool declined = false;
    std::string plugin;     // as named on the command line
    uint32_t timeLimitMs = 0;  // the run's --time-limit (a slow input is a hang within it)
};

struct Options;
// What the text beside a reproducer of the run's says of an input found at
// the campaign's execution on the file (as named); the rest is filled by
// its minimising.
Reproducer ReproducerOf(const Options& options, const std::string& signature,
                        const std::string& file, long long execution, size_t foundSize,
                        bool accepted);

// The reproducer's name in `folder`: the signature made safe for a file
// name, with the extension of the original file.
std::string ReproducerPath(const std::string& folder, const std::string& signature,
                           const std::string& originalFile);
// Writes the reproducer and the text beside it (its name and .txt),
// creating the folder; false when either cannot be written.
bool WriteReproducer(const std::string& path, const std::string& bytes, const Reproducer& about,
                     const std::string& crashesFolder);

#endif
