// The input a worker's fuzzing campaign is running, kept where spicheck can
// read it after the worker is gone: in the section of the worker's board,
// a page after the board. The campaign copies each input there before its
// first call and names each call as it starts, so that a worker ended by
// what a call did (a heap it damaged, found by the walk after the call;
// the process ended by the plug-in; an exception no guard caught; a call
// stuck in a wait of the system) still leaves the input behind, written
// by spicheck, which allocates on a heap of its own. spicheck minimises
// such an input with tries that each run alone in a fresh worker, handed
// over through the same room.
#ifndef SPICHECK_KEPT_INPUT_H
#define SPICHECK_KEPT_INPUT_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Options;

// Where the kept input starts in the board's section.
constexpr size_t kKeptInputOffset = 4096;

// The room the kept input needs beside the board for a run on these files
// (UTF-8 names): none without a campaign.
size_t KeptInputRoom(const Options& options, const std::vector<std::string>& files);
// Prepares the room spicheck made (`room` bytes at `area`) for the worker.
void PrepareKeptInput(void* area, size_t room);

// The worker's side: the room in its mapped view of the section (`view`,
// `viewSize` bytes); without room the calls below do nothing.
void UseKeptInput(void* view, size_t viewSize);
// An execution starts with these bytes (the campaign's execution number).
void KeepInput(const std::string& bytes, long long execution);
// A call of the execution starts ("GetPicture").
void KeepOperation(const char* operation);
// IsSupported answered for the input.
void KeepAccepted(bool accepted);
// The execution has ended: nothing is kept.
void ForgetInput();
// Whether an execution's input is kept for spicheck now (it writes the
// reproducer, the worker need not).
bool InputKept();
// A worker started to try one input: the bytes spicheck placed in the
// room (PlaceTry); false when there are none.
bool TakeTry(std::string* bytes);

// spicheck's side, once the worker is gone: the execution that was running.
struct KeptRun {
    bool running = false;
    std::string operation;
    long long execution = 0;
    bool accepted = false;  // IsSupported accepted it
    std::string bytes;
};
KeptRun ReadKeptInput(const void* area, size_t room);
// Puts the input a worker about to start is to try in the room PrepareKeptInput
// made; false when it does not fit.
bool PlaceTry(void* area, size_t room, const std::string& bytes);

// A try of a candidate, run alone in a fresh worker.
enum class TryOutcome { Shows, DoesNotShow, NoWorker };
// At most this many tries minimise a kept input: a count, so that two
// runs minimise alike; each costs a worker's start and one execution, and
// one that shows a hang the worker's hang limit, hence far fewer.
constexpr int kKeptTries = 128;
constexpr int kKeptHangTries = 8;

// The reproducer of an input whose execution ended the worker:
// "<operation> <what>" ("damages the heap", "ends the process",
// "uncaught c0000005", "hangs in a system wait"), written to the crashes
// folder as the campaign writes its own, minimised with `tryInput` (which
// tells whether a candidate ends a fresh worker the same way), at most
// `budget` times (0: not at all). Where no worker can be started the tries
// stop and what they reached is kept. Returns "SIGNATURE (PATH)", or empty
// when nothing was running or it could not be written.
std::string WriteKeptReproducer(const KeptRun& run, const std::string& what,
                                const Options& options, const std::string& file, int budget,
                                const std::function<TryOutcome(const std::string&)>& tryInput);

#endif
