#include "kept_input.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"
#include "fuzz_campaign.h"
#include "fuzz_findings.h"
#include "options.h"

namespace {

constexpr uint32_t kKeptMagic = 0x4B505053;  // "SPPK"
// A run whose inputs may be larger keeps none: the section is address
// space in both processes.
constexpr size_t kMostKept = 64u << 20;

// The room's layout, the same in both bitnesses.
#pragma pack(push, 1)
struct KeptHeader {
    uint32_t magic;
    uint32_t capacity;       // bytes of input it holds
    volatile LONG running;   // 1 between an execution's start and end
    uint32_t size;
    int64_t execution;
    char operation[24];
    uint32_t accepted;  // IsSupported accepted the input
};
#pragma pack(pop)

KeptHeader* g_kept = nullptr;

}  // namespace

size_t KeptInputRoom(const Options& options, const std::vector<std::string>& files) {
    if (!CampaignAsked(options)) return 0;
    size_t largest = 0;
    for (const std::string& name : files) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        std::wstring wide = WideFromUtf8(name.c_str(), name.size());
        if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data) ||
            data.nFileSizeHigh)
            continue;
        largest = std::max(largest, CampaignInputLimit(data.nFileSizeLow));
    }
    if (largest > kMostKept) return 0;
    return sizeof(KeptHeader) + largest;
}

void PrepareKeptInput(void* area, size_t room) {
    if (room < sizeof(KeptHeader)) return;
    KeptHeader* header = static_cast<KeptHeader*>(area);
    memset(header, 0, sizeof *header);
    header->capacity = static_cast<uint32_t>(room - sizeof *header);
    header->magic = kKeptMagic;
}

void UseKeptInput(void* view, size_t viewSize) {
    if (viewSize < kKeptInputOffset + sizeof(KeptHeader)) return;
    KeptHeader* header = reinterpret_cast<KeptHeader*>(static_cast<char*>(view) + kKeptInputOffset);
    if (header->magic != kKeptMagic ||
        header->capacity > viewSize - kKeptInputOffset - sizeof(KeptHeader))
        return;
    g_kept = header;
}

void KeepInput(const std::string& bytes, long long execution) {
    if (!g_kept) return;
    g_kept->running = 0;
    if (bytes.size() > g_kept->capacity) return;
    memcpy(g_kept + 1, bytes.data(), bytes.size());
    g_kept->size = static_cast<uint32_t>(bytes.size());
    g_kept->execution = execution;
    g_kept->operation[0] = '\0';
    g_kept->accepted = 0;
    g_kept->running = 1;
}

void KeepOperation(const char* operation) {
    if (g_kept) lstrcpynA(g_kept->operation, operation, sizeof g_kept->operation);
}

void KeepAccepted(bool accepted) {
    if (g_kept) g_kept->accepted = accepted ? 1 : 0;
}

void ForgetInput() {
    if (g_kept) g_kept->running = 0;
}

bool InputKept() { return g_kept && g_kept->running; }

bool TakeTry(std::string* bytes) {
    if (!g_kept || g_kept->running || !g_kept->size || g_kept->size > g_kept->capacity)
        return false;
    bytes->assign(reinterpret_cast<const char*>(g_kept + 1), g_kept->size);
    return true;
}

bool PlaceTry(void* area, size_t room, const std::string& bytes) {
    if (room < sizeof(KeptHeader)) return false;
    KeptHeader* header = static_cast<KeptHeader*>(area);
    if (header->magic != kKeptMagic || bytes.size() > header->capacity) return false;
    memcpy(header + 1, bytes.data(), bytes.size());
    header->size = static_cast<uint32_t>(bytes.size());
    return true;
}

KeptRun ReadKeptInput(const void* area, size_t room) {
    KeptRun run;
    if (room < sizeof(KeptHeader)) return run;
    const KeptHeader* header = static_cast<const KeptHeader*>(area);
    if (header->magic != kKeptMagic || !header->running ||
        header->size > room - sizeof(KeptHeader) || !header->operation[0])
        return run;
    run.running = true;
    run.operation.assign(header->operation, strnlen(header->operation, sizeof header->operation));
    run.execution = header->execution;
    run.accepted = header->accepted != 0;
    run.bytes.assign(reinterpret_cast<const char*>(header + 1), header->size);
    return run;
}

std::string WriteKeptReproducer(const KeptRun& run, const std::string& what,
                                const Options& options, const std::string& file, int budget,
                                const std::function<TryOutcome(const std::string&)>& tryInput) {
    if (!run.running) return std::string();
    Reproducer about = ReproducerOf(options, run.operation + " " + what, file, run.execution,
                                    run.bytes.size(), run.accepted);
    about.triesInWorkers = true;
    // Once no worker can be started, the candidates left are not tried:
    // what the tries reached is kept, each step of it shown by a worker.
    int asked = 0;
    std::string smallest = Minimise(
        run.bytes,
        [&](const std::string& candidate) {
            if (about.workerMissing) return false;
            TryOutcome outcome = tryInput(candidate);
            if (outcome == TryOutcome::NoWorker) {
                about.workerMissing = true;
                return false;
            }
            ++about.minimiseCalls;
            return outcome == TryOutcome::Shows;
        },
        budget, &asked);
    about.minimised = budget > 0 && (!about.workerMissing || smallest != run.bytes);
    std::string path = ReproducerPath(options.crashesDir, about.signature, file);
    if (!WriteReproducer(path, smallest, about, options.crashesDir)) return std::string();
    return about.signature + " (" + path + ")";
}
