// Kernel handles a plug-in leaves behind: at each load and release of its
// module, and at each decode or extraction. They are counted in the
// system's handle table (kernel_handles.h), which works under Wine, where
// GetProcessHandleCount answers 0.
#include "checker.h"
#include "base/process_probes.h"

namespace {

constexpr int kLoadRounds = 300;
constexpr int kWarmUp = 5;

// "1.00 per load (300 handles after 300 loads and releases)"
std::string Rate(long growth, int rounds, const char* what, const char* after) {
    return Format("%.2f handles per %s (%ld left after %d %s)",
                  static_cast<double>(growth) / rounds, what, growth, rounds, after);
}

}  // namespace

void Checker::ResourceHandles(FileContext& context) {
    std::function<Outcome(SpiDllFile&)> call = SampleCall(context);
    if (!call) return;
    // Loads count only while no object holds the module (a load would
    // then just raise its reference count): the long-series object is
    // given back first, and made again below.
    ReleasePlugins();
    if (!loadsCounted_ && !plugin_.HoldsModule()) {
        loadsCounted_ = true;
        // Each round is what a host does to a plug-in it loads when needed:
        // load (DllMain, identification), release (detach).
        auto loadOnce = [&] {
            CallStarted("load and release (repeated)");
            {
                SpiDllFile probe(Resident);
                probe.Load(nullptr, plugin_.GetModulePath());
            }
            CallEnded();
        };
        for (int i = 0; i < kWarmUp; ++i) loadOnce();
        long before = KernelHandleCount();
        for (int i = 0; i < kLoadRounds; ++i) loadOnce();
        long after = KernelHandleCount();
        if (before >= 0 && after >= 0) loadHandleGrowth_ = after - before;
    }

    SpiDllFile& plugin = RoundsPlugin();
    for (int i = 0; i < kWarmUp; ++i)
        if (Outcome o = call(plugin); o.faulted) return Fail("a repeated call " + Describe(o));
    int rounds = options_.leakRounds;
    long before = KernelHandleCount();
    for (int i = 0; i < rounds; ++i)
        if (Outcome o = call(plugin); o.faulted)
            return Fail(Format("call %d of %d ", i + 1, rounds) + Describe(o));
    long after = KernelHandleCount();
    if (before < 0 || after < 0) return;  // no count to compare

    std::string fault;
    if (loadHandleGrowth_ >= kLoadRounds / 2)
        fault = Rate(loadHandleGrowth_, kLoadRounds, "load", "loads and releases");
    if (rounds > 0 && after - before >= rounds / 2)
        fault += (fault.empty() ? "" : "; ") + Rate(after - before, rounds, "call", "calls");
    if (fault.empty())
        Pass();
    else
        Fail(fault);
}
