// Checks of the callback and of resources, on the kind's sample call: the
// decode of the picture, or the extraction of the first member with data.
// Its progress must be sound, a null callback accepted, a stop obeyed
// without leaving memory behind, and a long series of the same call must
// leave no memory behind either.
#include "checker.h"

const ProgressLog* Checker::SampleCallLog(FileContext& context) {
    if (image_) {
        const PictureDecodes& d = Decodes(context);
        return d.decoded ? &d.disk.log : nullptr;
    }
    if (!Lists(context).listed) return nullptr;
    const Extractions& e = Extracted(context);
    return e.sample ? &e.sampleLog : nullptr;
}

void Checker::CallbackProgress(FileContext& context) {
    const ProgressLog* log = SampleCallLog(context);
    if (!log) return;
    if (log->count == 0) return Warn("the plug-in never calls back");
    std::string fault = ProgressFault(*log);
    if (fault.empty())
        Pass();
    else
        Fail(fault);
}

bool Checker::MemoryInputDeclined(FileContext& context) {
    if (image_) return NotImplemented(Decodes(context).memory.outcome);
    return NotImplemented(Lists(context).memory);
}

bool Checker::SkippedForMemoryInput(FileContext& context) {
    if (!MemoryInputDeclined(context)) return false;
    Skip("left out: the plug-in does not implement input from memory (it returned -1)");
    return true;
}

void Checker::CallbackNull(FileContext& context) {
    if (!SampleCallLog(context)) return;
    // The image calls are from memory: left out where that is not implemented.
    if (image_ && SkippedForMemoryInput(context)) return;
    Outcome o;
    std::string call;
    if (image_) {
        Decoded quiet;
        LPCSTR memory = context.MemorySource();
        int32_t size = context.MemorySize();
        o = Watch(plugin_, "GetPicture (no callback)", [&] {
            return plugin_.GetPicture(memory, size, SPI_INPUT_MEMORY, quiet.info.put(),
                                      quiet.bits.put(), nullptr, 0);
        });
        call = "GetPicture";
    } else {
        const fileInfo& record = *Extracted(context).sample;
        UniqueLocal quiet;
        o = Watch(plugin_, "GetFile (no callback)", [&] {
            return plugin_.GetFile(context.file.ansi.c_str(),
                                   static_cast<int32_t>(record.position),
                                   reinterpret_cast<LPSTR>(quiet.put()),
                                   SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, nullptr, 0);
        });
        call = "GetFile";
    }
    if (o.faulted || o.code != 0)
        Fail(call + " with a null callback " + Describe(o));
    else
        Pass();
}

void Checker::CallbackCancel(FileContext& context) {
    const ProgressLog* sampleLog = SampleCallLog(context);
    if (!sampleLog || sampleLog->count == 0 || (image_ && SkippedForMemoryInput(context))) return;
    ProgressLog log;
    log.stopAt = 0;
    log.calls.reserve(64);
    Outcome o;
    HeapCensus before, after;
    if (image_) {
        Decoded stopped;
        LPCSTR memory = context.MemorySource();
        int32_t size = context.MemorySize();
        before = TakeHeapCensus();
        o = Watch(plugin_, "GetPicture (cancelled)", [&] {
            return plugin_.GetPicture(memory, size, SPI_INPUT_MEMORY, stopped.info.put(),
                                      stopped.bits.put(), RecordProgress, LogData(&log));
        });
        after = TakeHeapCensus();
    } else {
        const fileInfo& record = *Extracted(context).sample;
        UniqueLocal stopped;
        before = TakeHeapCensus();
        o = Watch(plugin_, "GetFile (cancelled)", [&] {
            return plugin_.GetFile(context.file.ansi.c_str(),
                                   static_cast<int32_t>(record.position),
                                   reinterpret_cast<LPSTR>(stopped.put()),
                                   SPI_INPUT_FILE | SPI_OUTPUT_MEMORY, RecordProgress,
                                   LogData(&log));
        });
        after = TakeHeapCensus();
    }
    long blocks = after.blocks - before.blocks;
    long long bytes = after.bytes - before.bytes;
    if (o.faulted)
        Fail("the stopped call " + Describe(o));
    else if (o.code != SPI_ABORT)
        Fail(Format("the callback asked to stop; the plug-in returned %d after %d callbacks",
                    o.code, log.count));
    else if (blocks > 0)
        Fail(Format("the stopped call leaves %ld blocks (%lld bytes) behind", blocks, bytes));
    else
        Pass();
}

std::function<Outcome(SpiDllFile&)> Checker::SampleCall(FileContext& context) {
    if (!SampleCallLog(context) || MemoryInputDeclined(context)) return nullptr;
    LPCSTR memory = context.MemorySource();
    int32_t size = context.MemorySize();
    if (image_) {
        return [this, memory, size](SpiDllFile& plugin) {
            Decoded again;
            return Watch(plugin, "GetPicture (repeated)", [&] {
                return plugin.GetPicture(memory, size, SPI_INPUT_MEMORY, again.info.put(),
                                         again.bits.put(), NullProgress, 0);
            });
        };
    }
    const fileInfo& record = *Extracted(context).sample;
    // The member from memory: its data start at its position.
    if (record.position >= context.file.bytes.size()) return nullptr;
    LPCSTR start = memory + record.position;
    int32_t left = size - static_cast<int32_t>(record.position);
    return [this, start, left](SpiDllFile& plugin) {
        UniqueLocal again;
        return Watch(plugin, "GetFile (repeated)", [&] {
            return plugin.GetFile(start, left, reinterpret_cast<LPSTR>(again.put()),
                                  SPI_INPUT_MEMORY | SPI_OUTPUT_MEMORY, NullProgress, 0);
        });
    };
}

void Checker::ResourceLeak(FileContext& context) {
    if (SampleCallLog(context) && SkippedForMemoryInput(context)) return;
    std::function<Outcome(SpiDllFile&)> call = SampleCall(context);
    if (call) CheckLeaks(call);
}

SpiDllFile& Checker::RoundsPlugin() { return plugin_; }

void Checker::ReleasePlugins() {
    if (!plugin_.HoldsModule()) return;
    CallStarted("release (to load it again)");
    plugin_.Unload();
    CallEnded();
}

void Checker::CheckLeaks(const std::function<Outcome(SpiDllFile&)>& call) {
    SpiDllFile& plugin = RoundsPlugin();
    const int warmUp = 3;
    for (int i = 0; i < warmUp; ++i) {
        Outcome o = call(plugin);
        if (o.faulted) return Fail("a repeated call " + Describe(o));
    }
    HeapCensus before = TakeHeapCensus();
    size_t privateBefore = PrivateBytes();
    int rounds = options_.leakRounds;
    for (int i = 0; i < rounds; ++i) {
        Outcome o = call(plugin);
        if (o.faulted) return Fail(Format("call %d of %d ", i + 1, rounds) + Describe(o));
    }
    HeapCensus after = TakeHeapCensus();
    size_t privateAfter = PrivateBytes();
    long blocks = after.blocks - before.blocks;
    long long heapBytes = after.bytes - before.bytes;
    long long privateGrowth = static_cast<long long>(privateAfter) -
                              static_cast<long long>(privateBefore);
    if (blocks >= rounds / 2)
        Fail(Format("%ld local-memory blocks left after %d calls: %lld bytes per call", blocks,
                    rounds, heapBytes / rounds));
    else if (privateBefore && privateGrowth >= 256 * 1024 && privateGrowth / rounds >= 1024)
        Fail(Format("private memory grew by %lld bytes in %d calls: %lld bytes per call",
                    privateGrowth, rounds, privateGrowth / rounds));
    else
        Pass();
}
