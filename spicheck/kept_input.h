// The input a worker's fuzzing campaign is running, kept where spicheck can
// read it after the worker is gone: in the section of the worker's board,
// a page after the board. The campaign copies each input there before its
// first call and names each call as it starts, so that a worker ended by
// what a call did (a heap it damaged, found by the walk after the call;
// the process ended by the plug-in) still leaves the input behind, written
// by spicheck, which allocates on a heap of its own.
#ifndef SPICHECK_KEPT_INPUT_H
#define SPICHECK_KEPT_INPUT_H

#include <windows.h>

#include <cstdint>
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
// The execution has ended: nothing is kept.
void ForgetInput();

// spicheck's side, once the worker is gone: the execution that was running.
struct KeptRun {
    bool running = false;
    std::string operation;
    long long execution = 0;
    std::string bytes;
};
KeptRun ReadKeptInput(const void* area, size_t room);

// The reproducer of an input whose execution ended the worker where the
// worker could not keep it itself: "<operation> <what>" ("damages the
// heap", "ends the process"), written to the crashes folder as the
// campaign writes its own (not minimised: every try would need a worker of
// its own). Returns "SIGNATURE (PATH)", or empty when nothing was running
// or it could not be written.
std::string WriteKeptReproducer(const KeptRun& run, const char* what, const Options& options,
                                const std::string& file);

#endif
