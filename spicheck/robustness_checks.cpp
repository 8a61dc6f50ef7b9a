// Robustness and resources: truncated and byte-flipped variants of a file
// must be refused with a return code, never a fault; a stopped call and a
// long series of calls must leave no memory behind.
#include <cstring>

#include "checker.h"

namespace {

// xorshift32: small, and the same sequence on every machine for a seed.
struct Random {
    uint32_t state;
    explicit Random(uint32_t seed) : state(seed ? seed : 0x9E3779B9u) {}
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

std::string Variant(const std::string& bytes, uint32_t seed, int index) {
    std::string variant = bytes;
    if (variant.empty()) return variant;
    // Each (seed, index) pair is mixed into its own start state, so a
    // variant can be rebuilt from the two numbers alone.
    uint32_t mixed = seed ^ (static_cast<uint32_t>(index) * 0x9E3779B9u);
    mixed = (mixed ^ (mixed >> 16)) * 0x85EBCA6Bu;
    mixed = (mixed ^ (mixed >> 13)) * 0xC2B2AE35u;
    Random random(mixed ^ (mixed >> 16));
    int flips = 1 + random.Next() % 4;
    for (int i = 0; i < flips; ++i) {
        size_t at = random.Next() % variant.size();
        variant[at] = static_cast<char>(variant[at] ^ (1 + random.Next() % 255));
    }
    return variant;
}

// Every prefix of a file up to this size; of a larger one the short
// prefixes (where headers are cut) and lengths spread over the rest.
constexpr size_t kAllPrefixesUpTo = 64;
constexpr size_t kShortPrefixes = 40;
constexpr size_t kSpreadPrefixes = 40;

}  // namespace

bool Checker::TryVariant(SpiDllFile& plugin, const std::string& name, const std::string& bytes,
                         std::string* what) {
    EdgeBuffer data(bytes.size());
    memcpy(data.data(), bytes.data(), bytes.size());
    LPCSTR source = reinterpret_cast<LPCSTR>(data.data());
    int32_t size = static_cast<int32_t>(bytes.size());

    // The sample sits in a larger buffer: reading past it is the concern of
    // the sample-bounds check, not of this one.
    std::string sample = bytes.substr(0, SPI_SAMPLE_SIZE);
    sample.resize(2 * SPI_SAMPLE_SIZE, '\0');
    Outcome o = Watch("IsSupported (variant)", [&] {
        return plugin.IsSupported(name.c_str(), &sample[0]);
    }, 0);
    if (o.faulted) {
        *what = "IsSupported " + Describe(o);
        return false;
    }
    if (image_) {
        PictureInfo info;
        o = Watch("GetPictureInfo (variant)", [&] {
            return plugin.GetPictureInfo(source, size, SPI_INPUT_MEMORY, &info);
        });
        if (o.faulted) {
            *what = "GetPictureInfo " + Describe(o);
            return false;
        }
        FreeBlock(info.hInfo);
        OwnedBlock header, bits;
        o = Watch("GetPicture (variant)", [&] {
            return plugin.GetPicture(source, size, SPI_INPUT_MEMORY, header.out(), bits.out(),
                                      NullProgress, 0);
        });
        if (o.faulted) {
            *what = "GetPicture " + Describe(o);
            return false;
        }
        return true;
    }
    OwnedBlock list;
    o = Watch("GetArchiveInfo (variant)", [&] {
        return plugin.GetArchiveInfo(source, size, SPI_INPUT_MEMORY, list.out());
    });
    if (o.faulted) {
        *what = "GetArchiveInfo " + Describe(o);
        return false;
    }
    if (o.code != 0 || !list.get()) return true;
    ArchiveListing listing = ReadListing(list.get());
    for (const fileInfo& record : listing.records) {
        if (record.position >= bytes.size()) continue;
        OwnedBlock member;
        o = Watch("GetFile (variant)", [&] {
            return plugin.GetFile(source + record.position,
                                   size - static_cast<int32_t>(record.position),
                                   reinterpret_cast<LPSTR>(member.out()),
                                   SPI_INPUT_MEMORY | SPI_OUTPUT_MEMORY, NullProgress, 0);
        });
        if (o.faulted) {
            *what = "GetFile " + Describe(o);
            return false;
        }
        break;  // one member per variant keeps the rounds cheap
    }
    return true;
}

void Checker::CheckRobustness(const TestFile& file) {
    CheckedPlugin& plugin = RoundsPlugin();
    size_t size = file.bytes.size();
    std::vector<size_t> lengths;
    if (size <= kAllPrefixesUpTo) {
        for (size_t n = 0; n < size; ++n) lengths.push_back(n);
    } else {
        for (size_t n = 0; n < kShortPrefixes; ++n) lengths.push_back(n);
        for (size_t i = 1; i <= kSpreadPrefixes; ++i) {
            size_t n = kShortPrefixes + (size - 1 - kShortPrefixes) * i / kSpreadPrefixes;
            if (n != lengths.back()) lengths.push_back(n);
        }
    }
    std::string first;
    int failed = 0;
    for (size_t n : lengths) {
        std::string what;
        if (!TryVariant(plugin, file.name, file.bytes.substr(0, n), &what)) {
            if (first.empty())
                first = Format("the first %u bytes: ", static_cast<unsigned>(n)) + what;
            ++failed;
        }
    }
    if (failed == 0)
        report_.Pass("robust.prefixes", file.name);
    else
        report_.Fail("robust.prefixes", file.name,
                     first + Format(" (%d of %u prefixes faulted)", failed,
                                    static_cast<unsigned>(lengths.size())));

    if (options_.fuzzRounds == 0 || size == 0) return;
    first.clear();
    failed = 0;
    for (int i = 0; i < options_.fuzzRounds; ++i) {
        std::string what;
        if (!TryVariant(plugin, file.name, Variant(file.bytes, options_.seed, i), &what)) {
            if (first.empty())
                first = Format("variant %d of seed %lu: ", i,
                               static_cast<unsigned long>(options_.seed)) + what;
            ++failed;
        }
    }
    if (failed == 0)
        report_.Pass("robust.fuzz", file.name);
    else
        report_.Fail("robust.fuzz", file.name,
                     first + Format(" (%d of %d variants faulted)", failed, options_.fuzzRounds));
}

void Checker::ReportCancel(const TestFile& file, const Outcome& outcome, const ProgressLog& log,
                           const HeapCensus& before, const HeapCensus& after) {
    long blocks = after.blocks - before.blocks;
    long long bytes = after.bytes - before.bytes;
    if (outcome.faulted)
        report_.Fail("callback.cancel", file.name, "the stopped call " + Describe(outcome));
    else if (outcome.code != SPI_ABORT)
        report_.Fail("callback.cancel", file.name,
                     Format("the callback asked to stop; the plug-in returned %d after %d "
                            "callbacks",
                            outcome.code, log.count));
    else if (blocks > 0)
        report_.Fail("callback.cancel", file.name,
                     Format("the stopped call leaves %ld blocks (%lld bytes) behind", blocks,
                            bytes));
    else
        report_.Pass("callback.cancel", file.name);
}

CheckedPlugin& Checker::RoundsPlugin() {
    if (!resident_) {
        resident_.reset(new CheckedPlugin(Resident));
        residentLoaded_ = resident_->Load(nullptr, plugin_.GetModulePath()) != 0;
    }
    return residentLoaded_ ? *resident_ : plugin_;
}

void Checker::CheckLeaks(const TestFile& file, const std::function<Outcome(SpiDllFile&)>& call) {
    CheckedPlugin& plugin = RoundsPlugin();
    const int warmUp = 3;
    for (int i = 0; i < warmUp; ++i) {
        Outcome o = call(plugin);
        if (o.faulted) {
            report_.Fail("resource.leak", file.name, "a repeated call " + Describe(o));
            return;
        }
    }
    HeapCensus before = TakeHeapCensus();
    size_t privateBefore = PrivateBytes();
    int rounds = options_.leakRounds;
    for (int i = 0; i < rounds; ++i) {
        Outcome o = call(plugin);
        if (o.faulted) {
            report_.Fail("resource.leak", file.name,
                         Format("call %d of %d ", i + 1, rounds) + Describe(o));
            return;
        }
    }
    HeapCensus after = TakeHeapCensus();
    size_t privateAfter = PrivateBytes();
    long blocks = after.blocks - before.blocks;
    long long heapBytes = after.bytes - before.bytes;
    long long privateGrowth = static_cast<long long>(privateAfter) -
                              static_cast<long long>(privateBefore);
    if (blocks >= rounds / 2)
        report_.Fail("resource.leak", file.name,
                     Format("%ld local-memory blocks left after %d calls: %lld bytes per call",
                            blocks, rounds, heapBytes / rounds));
    else if (privateBefore && privateGrowth >= 256 * 1024 && privateGrowth / rounds >= 1024)
        report_.Fail("resource.leak", file.name,
                     Format("private memory grew by %lld bytes in %d calls: %lld bytes per call",
                            privateGrowth, rounds, privateGrowth / rounds));
    else
        report_.Pass("resource.leak", file.name);
}
