// Robustness: truncated and byte-flipped variants of a file must be
// refused with a return code, never a fault.
#include <cstring>

#include "checker.h"
#include "fuzz_campaign.h"
#include "guarded_record.h"
#include "picture_record.h"

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

}  // namespace

std::string FuzzVariant(const std::string& bytes, uint32_t seed, int index) {
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

namespace {

// Every prefix of a file up to this size; of a larger one the short
// prefixes (where headers are cut) and lengths spread over the rest.
constexpr size_t kAllPrefixesUpTo = 64;
constexpr size_t kShortPrefixes = 40;
constexpr size_t kSpreadPrefixes = 40;

}  // namespace

const char* Checker::SeriesLabel(const char* label) {
    if (seriesNote_.empty()) return label;
    std::string call = label;
    size_t open = call.find(" (variant)");
    if (open != std::string::npos) call.erase(open);
    lstrcpynA(seriesLabel_, (call + " (" + seriesNote_ + ")").c_str(), sizeof seriesLabel_);
    return seriesLabel_;
}

bool Checker::TryVariant(SpiDllFile& plugin, const std::string& name, const std::string& bytes,
                         std::string* what) {
    // The sample sits in a larger buffer: reading past it is the concern of
    // the sample-bounds check, not of this one.
    std::string sample = bytes.substr(0, SPI_SAMPLE_SIZE);
    sample.resize(2 * SPI_SAMPLE_SIZE, '\0');
    Outcome o = Watch(plugin, "IsSupported (variant)", [&] {
        return plugin.IsSupported(name.c_str(), &sample[0]);
    });
    if (o.faulted) {
        *what = "IsSupported " + Describe(o);
        return false;
    }
    // Hosts that ask first never make the later calls on what was declined.
    const std::string declined = o.code == 0 ? "; IsSupported had declined it" : "";
    if (!TryCalls(plugin, bytes, what)) {
        *what += declined;
        return false;
    }
    return true;
}

bool Checker::TryCalls(SpiDllFile& plugin, const std::string& bytes, std::string* what) {
    EdgeBuffer data(bytes.size());
    memcpy(data.data(), bytes.data(), bytes.size());
    LPCSTR source = reinterpret_cast<LPCSTR>(data.data());
    int32_t size = static_cast<int32_t>(bytes.size());
    Outcome o;
    if (image_) {
        GuardedRecord<PictureInfo> info;
        FillHInfo(info.get());
        o = Watch(plugin, "GetPictureInfo (variant)", [&] {
            return plugin.GetPictureInfoAsGiven(source, size, SPI_INPUT_MEMORY, info.get());
        });
        if (o.faulted) {
            *what = "GetPictureInfo " + Describe(o);
            return false;
        }
        if (info.Overrun()) {
            *what = Format("GetPictureInfo writes %u bytes past its record",
                           static_cast<unsigned>(info.Overrun()));
            return false;
        }
        UniqueLocal comment(CommentHandle(info.value()));
        UniqueLocal header, bits;
        o = Watch(plugin, "GetPicture (variant)", [&] {
            return plugin.GetPicture(source, size, SPI_INPUT_MEMORY, header.put(), bits.put(),
                                      NullProgress, 0);
        });
        if (o.faulted) {
            *what = "GetPicture " + Describe(o);
            return false;
        }
        return true;
    }
    UniqueLocal list;
    o = Watch(plugin, "GetArchiveInfo (variant)", [&] {
        return plugin.GetArchiveInfo(source, size, SPI_INPUT_MEMORY, list.put());
    });
    if (o.faulted) {
        *what = "GetArchiveInfo " + Describe(o);
        return false;
    }
    if (o.code != 0 || !list.get()) return true;
    ArchiveListing listing = ReadListing(list.get());
    for (const fileInfo& record : listing.records) {
        if (record.position >= bytes.size()) continue;
        UniqueLocal member;
        o = Watch(plugin, "GetFile (variant)", [&] {
            return plugin.GetFile(source + record.position,
                                   size - static_cast<int32_t>(record.position),
                                   reinterpret_cast<LPSTR>(member.put()),
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

void Checker::RobustPrefixes(FileContext& context) {
    const InputFile& file = context.file;
    SpiDllFile& plugin = RoundsPlugin();
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
        seriesNote_ = Format("the first %u bytes", static_cast<unsigned>(n));
        bool refused = TryVariant(plugin, file.ansi, file.bytes.substr(0, n), &what);
        seriesNote_.clear();
        if (!refused) {
            if (first.empty())
                first = Format("the first %u bytes: ", static_cast<unsigned>(n)) + what;
            ++failed;
        }
    }
    if (failed == 0)
        Pass();
    else
        Fail(first + Format(" (%d of %u prefixes faulted)", failed,
                            static_cast<unsigned>(lengths.size())));
}

void Checker::RobustFuzz(FileContext& context) {
    const InputFile& file = context.file;
    const bool campaign = CampaignAsked(options_);
    if ((options_.fuzzRounds == 0 && !campaign) || file.bytes.empty()) return;
    SpiDllFile& plugin = RoundsPlugin();
    std::string first;
    int failed = 0;
    for (int i = 0; i < options_.fuzzRounds; ++i) {
        std::string what;
        seriesNote_ = Format("variant %d of seed %lu", i, static_cast<unsigned long>(options_.seed));
        bool refused = TryVariant(plugin, file.ansi, FuzzVariant(file.bytes, options_.seed, i), &what);
        seriesNote_.clear();
        if (!refused) {
            if (first.empty())
                first = Format("variant %d of seed %lu: ", i,
                               static_cast<unsigned long>(options_.seed)) + what;
            ++failed;
        }
    }
    std::string variants;
    if (failed) variants = first + Format(" (%d of %d variants faulted)", failed, options_.fuzzRounds);
    if (!campaign) {
        if (failed == 0)
            Pass();
        else
            Fail(variants);
        return;
    }
    // The campaign's line stands in a PASS too.
    CampaignResult result = RunFuzzCampaign(*this, plugin, image_, options_, file);
    std::string reason = FindingsText(result);
    if (!variants.empty()) reason = variants + (reason.empty() ? "" : "; ") + reason;
    reason += (reason.empty() ? "" : "; ") + CampaignLine(result);
    if (failed || !result.findings.empty())
        Fail(reason);
    else if (!result.problem.empty())
        Warn(reason);  // a dictionary or folder it could not use
    else
        report_.Add(Verdict::Pass, current_, currentFile_, reason);
}

void Checker::RobustTime(FileContext&) {
    if (!unreturnedCall_.empty())
        Fail(Format("%s did not return within %lu ms (limit %lu ms)", unreturnedCall_.c_str(),
                    static_cast<unsigned long>(options_.timeLimitMs * 10),
                    static_cast<unsigned long>(options_.timeLimitMs)));
    else if (slowestMs_ > options_.timeLimitMs)
        Fail(Format("%s took %lu ms (limit %lu ms)", slowestCall_.c_str(),
                    static_cast<unsigned long>(slowestMs_),
                    static_cast<unsigned long>(options_.timeLimitMs)));
    else
        Pass();
}
