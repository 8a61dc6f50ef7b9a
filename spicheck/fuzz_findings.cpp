#include "fuzz_findings.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "file_bytes.h"
#include "options.h"
#include "report.h"

std::string ModuleOffset(uintptr_t address) {
    HMODULE module = nullptr;
    char path[MAX_PATH];
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(address), &module) &&
        GetModuleFileNameA(module, path, sizeof path)) {
        std::string name(path);
        size_t slash = name.find_last_of("\\/");
        if (slash != std::string::npos) name.erase(0, slash + 1);
        return name + Format("+0x%llx", static_cast<unsigned long long>(
                                            address - reinterpret_cast<uintptr_t>(module)));
    }
    return Format("0x%0*llx", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(address));
}

std::string FaultSignature(const char* operation, uint32_t code, uintptr_t instruction,
                           bool pastInput) {
    if (pastInput)
        return std::string(operation) + " reads past its input at " + ModuleOffset(instruction);
    return std::string(operation) + Format(" %08lx at ", static_cast<unsigned long>(code)) +
           ModuleOffset(instruction);
}

std::string Minimise(const std::string& input, const std::function<bool(const std::string&)>& shows,
                     int budget, int* calls) {
    std::string best = input;
    int used = 0;
    auto tryInput = [&](const std::string& candidate) {
        if (used >= budget) return false;
        ++used;
        if (!shows(candidate)) return false;
        best = candidate;
        return true;
    };
    // Shorter first: blocks taken out, from half the input down to a byte.
    for (size_t block = best.size() / 2; block >= 1 && used < budget; block /= 2) {
        for (size_t at = 0; at < best.size() && used < budget;) {
            std::string candidate = best;
            candidate.erase(at, block);
            if (candidate.empty() || !tryInput(candidate)) at += block;
        }
        if (block == 1) break;
    }
    // Then as many bytes zeroed as keep it (a single byte too).
    for (size_t block = std::max<size_t>(best.size() / 2, 1); block >= 1 && used < budget;
         block /= 2) {
        for (size_t at = 0; at < best.size() && used < budget; at += block) {
            size_t length = std::min(block, best.size() - at);
            if (best.find_first_not_of('\0', at) >= at + length) continue;
            std::string candidate = best;
            candidate.replace(at, length, length, '\0');
            tryInput(candidate);
        }
        if (block == 1) break;
    }
    *calls = used;
    return best;
}

std::string ReproducerPath(const std::string& folder, const std::string& signature,
                           const std::string& originalFile) {
    std::string name;
    for (char c : signature) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '+' || c == '-';
        if (plain)
            name += c;
        else if (name.empty() || name.back() != '_')
            name += '_';
    }
    std::string base = originalFile;
    size_t slash = base.find_last_of("\\/");
    if (slash != std::string::npos) base.erase(0, slash + 1);
    size_t dot = base.find_last_of('.');
    std::string extension = dot == std::string::npos ? std::string() : base.substr(dot);
    return folder + "\\" + name + extension;
}

namespace {

std::string Quoted(const std::string& text) {
    return text.find_first_of(" \t") == std::string::npos ? text : "\"" + text + "\"";
}

}  // namespace

Reproducer ReproducerOf(const Options& options, const std::string& signature,
                        const std::string& file, long long execution, size_t foundSize,
                        bool accepted) {
    Reproducer about;
    about.signature = signature;
    about.file = file;
    about.seed = options.seed;
    about.execution = execution;
    about.foundSize = foundSize;
    about.declined = !accepted;
    about.plugin = options.plugin;
    about.timeLimitMs = options.timeLimitMs;
    return about;
}

bool WriteReproducer(const std::string& path, const std::string& bytes, const Reproducer& about,
                     const std::string& crashesFolder) {
    CreateDirectoryA(crashesFolder.c_str(), nullptr);
    if (!SaveBytes(path, bytes)) return false;
    const char* spicheck = sizeof(void*) == 8 ? "spicheck64" : "spicheck";
    const char* spiprobe = sizeof(void*) == 8 ? "spiprobe64" : "spiprobe";
    std::string text;
    text += "signature: " + about.signature + "\r\n";
    text += "file: " + about.file + "\r\n";
    text += Format("seed %lu, execution %lld of the campaign on that file\r\n",
                   static_cast<unsigned long>(about.seed), about.execution);
    if (about.minimised) {
        text += Format("%u bytes, minimised from %u in %d executions",
                       static_cast<unsigned>(bytes.size()), static_cast<unsigned>(about.foundSize),
                       about.minimiseCalls);
        if (about.triesInWorkers) text += ", each alone in a fresh worker";
        if (about.workerMissing) text += "; stopped there: no further worker could be started";
        text += "\r\n";
    } else {
        text += Format("%u bytes, not minimised (%s)\r\n", static_cast<unsigned>(bytes.size()),
                       about.workerMissing ? "no worker could be started to try it"
                                           : "the worker it ran in could not be ended");
    }
    // What ended a worker is shown again by one: the heaps are walked
    // after each call in a worker only, and a plug-in that ends the
    // process would end spicheck's own.
    bool workerOnly = about.triesInWorkers;
    text += "shown again by:\r\n";
    // A hang is a call past the run's time limit: the replay keeps it.
    std::string timeLimit;
    if (about.timeLimitMs && about.timeLimitMs != Options().timeLimitMs)
        timeLimit = Format(" --time-limit=%lu", static_cast<unsigned long>(about.timeLimitMs));
    text += std::string("  ") + spicheck + (workerOnly ? "" : " --in-process") +
            " --only=robust.fuzz" + (about.declined ? " --skip=probe.accepts" : "") + timeLimit +
            " --fuzz=0 --fuzz-execs=1 --crashes=" +
            Quoted(crashesFolder + "\\again") + " " + Quoted(about.plugin) + " " + Quoted(path) +
            "\r\n";
    // The file form of the operation meets the same bytes, where the
    // plug-in reads the whole file; not a read past the input, which
    // needs the bytes placed at the end of a page.
    // A host that asks first never decodes what was declined.
    bool fileFormToo = !workerOnly && !about.declined &&
                       about.signature.find("reads past") == std::string::npos &&
                       about.signature.find("leaks") == std::string::npos &&
                       about.signature.find("writes past") == std::string::npos &&
                       about.signature.compare(0, 7, "GetFile") != 0 &&
                       about.signature.compare(0, 11, "IsSupported") != 0;
    if (fileFormToo)
        text += std::string("  ") + spiprobe + " " + Quoted(about.plugin) + " " + Quoted(path) +
                "   (through the plug-in's file interface; it may not show there)\r\n";
    return SaveBytes(path + ".txt", text);
}
