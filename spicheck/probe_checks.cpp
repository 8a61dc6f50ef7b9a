// The probes: IsSupported on the file's sample, from memory and from a
// file handle, at its bounds and on zero bytes.
#include <cstring>

#include "checker.h"
#include "names.h"

SampleAnswer& Checker::Sample(FileContext& context) {
    if (context.sample) return *context.sample;
    context.sample.reset(new SampleAnswer);
    SampleAnswer& answer = *context.sample;
    const InputFile& file = context.file;
    EdgeBuffer sample(SPI_SAMPLE_SIZE);
    FillSample(sample, file.bytes);
    answer.outcome = Watch(plugin_, "IsSupported (memory)", [&] {
        return plugin_.IsSupported(file.ansi.c_str(), sample.data());
    });
    answer.address = reinterpret_cast<uintptr_t>(sample.data());
    answer.inGuardPage = answer.outcome.faulted && sample.InGuardPage(answer.outcome.address);
    answer.faultOffset = answer.outcome.address - reinterpret_cast<uintptr_t>(sample.data());
    return answer;
}

HandleAnswer& Checker::HandleForm(FileContext& context) {
    if (context.handleForm) return *context.handleForm;
    context.handleForm.reset(new HandleAnswer);
    HandleAnswer& answer = *context.handleForm;
    const char* name = context.file.ansi.c_str();
    UniqueFile file(CreateFileW(WideName(context.file.name).c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) return answer;
    answer.opened = true;
    answer.handle = reinterpret_cast<uintptr_t>(file.get());
    answer.outcome = Watch(plugin_, "IsSupported (file handle)", [&] {
        return plugin_.IsSupported(name, file.get());
    });
    return answer;
}

void Checker::ProbeSampleBounds(FileContext& context) {
    const SampleAnswer& sample = Sample(context);
    if (sample.inGuardPage)
        Fail(Format("IsSupported reads byte %u of the 2048-byte sample",
                    static_cast<unsigned>(sample.faultOffset)));
    else if (sample.outcome.faulted)
        Fail("IsSupported on the sample " + Describe(sample.outcome));
    else
        Pass();
}

void Checker::ProbeFormsAgree(FileContext& context) {
    const Outcome& memory = Sample(context).outcome;
    const HandleAnswer& handle = HandleForm(context);
    bool memoryAccepts = !memory.faulted && memory.code != 0;
    bool handleAccepts = !handle.outcome.faulted && handle.outcome.code != 0;
    if (!handle.opened)
        Fail("the file cannot be opened again");
    else if (handle.outcome.faulted)
        Fail("IsSupported with a file handle " + Describe(handle.outcome));
    else if (!memory.faulted && memoryAccepts != handleAccepts)
        Fail(Format("the file-handle form (handle 0x%lx) answers %d, the memory form %d",
                    static_cast<unsigned long>(handle.handle), handle.outcome.code, memory.code));
    else
        Pass();
}

void Checker::ProbeZeroSample(FileContext& context) {
    // Asked first under a name whose extension the plug-in does not list:
    // the API lets a plug-in fall back to the name when no signature
    // matches, and that is no broken sniffing. Inside a larger buffer:
    // reading past the sample is the concern of sample-bounds alone.
    std::string zeros(2 * SPI_SAMPLE_SIZE, '\0');
    const std::string& real = context.file.ansi;
    std::string neutral = real.substr(0, real.size() - BaseName(real).size()) + "zeros.spicheck";
    auto ask = [&](const std::string& name) {
        return Watch(plugin_, "IsSupported (zeros)", [&] {
            return plugin_.IsSupported(name.c_str(), &zeros[0]);
        });
    };
    Outcome zero = ask(neutral);
    if (zero.faulted) return Fail("IsSupported on 2048 zero bytes " + Describe(zero));
    if (zero.code != 0)
        return Fail(Format("2048 zero bytes are accepted (answer %d) under the name %s, whose "
                           "extension the plug-in does not list",
                           zero.code, BaseName(neutral).c_str()));
    Outcome named = ask(real);
    if (named.faulted)
        return Fail("IsSupported on 2048 zero bytes under the file's name " + Describe(named));
    if (named.code != 0)
        return Warn(Format("2048 zero bytes are declined under the name %s but accepted (answer "
                           "%d) under the file's own name: the name decided it, not the data",
                           BaseName(neutral).c_str(), named.code));
    Pass();
}

void Checker::ProbeAccepts(FileContext& context) {
    const Outcome& memory = Sample(context).outcome;
    // An x64 plug-in is asked with the sample only.
    const Outcome handle = kX64 ? Outcome() : HandleForm(context).outcome;
    // A plug-in that faults while probing is not taken to decline: the other
    // checks still run and report what they meet.
    if (memory.faulted || handle.faulted || memory.code != 0 || handle.code != 0) return;
    Warn("the plug-in declines this file; its other checks are skipped");
    context.stopped = true;
}

void Checker::ProbeLowAddress(FileContext& context) {
    const SampleAnswer& usual = Sample(context);
    // Asked again only about a file the usual sample has it accept.
    if (usual.outcome.faulted || usual.outcome.code == 0) return;
    std::unique_ptr<EdgeBuffer> high = EdgeBufferAboveFourGiB(SPI_SAMPLE_SIZE);
    if (!high) return Warn("no place above 4 GiB with low 32 bits below 0x10000 could be reserved");
    const std::string& bytes = context.file.bytes;
    memcpy(high->data(), bytes.data(),
           bytes.size() < SPI_SAMPLE_SIZE ? bytes.size() : SPI_SAMPLE_SIZE);
    Outcome o = Watch(plugin_, "IsSupported (sample above 4 GiB)", [&] {
        return plugin_.IsSupported(context.file.ansi.c_str(), high->data());
    });
    unsigned long long at = reinterpret_cast<uintptr_t>(high->data());
    if (o.faulted)
        Fail(Format("IsSupported on the sample at 0x%llx ", at) + Describe(o));
    else if (o.code == 0)
        Fail(Format("the sample at 0x%llx is declined (answer 0), at 0x%llx accepted (answer "
                    "%d): its low 32 bits, 0x%llx, are taken for a file handle",
                    at, static_cast<unsigned long long>(usual.address), usual.outcome.code,
                    at & 0xFFFFFFFFull));
    else
        Pass();
}
