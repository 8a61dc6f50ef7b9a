// spicheck: loads one plug-in with the access library, runs every check
// that applies to its kind on each file, and reports PASS, WARN or FAIL per
// check. Exit status 0 nothing failed, 1 something failed, 2 the plug-in
// could not be loaded or the command line is wrong.
//
// By default the plug-in runs in a worker process of its own bitness
// (supervisor.h, job_scheduler.h), which is spicheck itself started with --worker; with
// --in-process it runs here (in_process.h).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "in_process.h"
#include "names.h"
#include "options.h"
#include "save_variant.h"
#include "job_scheduler.h"

int main() {
    // A faulting plug-in must never stall a run on an error dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);

    // The arguments from the wide command line, so that a file name with
    // characters outside the ANSI code page arrives whole (as UTF-8).
    std::vector<std::string> arguments = WideArguments();
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    Options options;
    std::string error;
    if (!ParseOptions(static_cast<int>(arguments.size()), argv.data(), &options, &error) ||
        !SpellOptionPaths(&options, &error)) {
        fprintf(stderr, "spicheck: %s\n%s", error.c_str(), kUsageText);
        return 2;
    }
    if (options.help) {
        fputs(kUsageText, stdout);
        return 0;
    }
    if (options.version) {
        printf("%s\n", kVersionText);
        return 0;
    }
    if (options.saveVariant >= 0) return SaveVariants(options);
    return options.inProcess ? CheckInProcess(options) : CheckInWorkers(options);
}
