// How a helper process ends by its own decision or by its host's: one
// family of exit codes for every helper (the plug-in runner, spicheck's
// worker). Any other exit code is the helper's own (ExitProcess in a
// plug-in, say) and is reported as it is.
#ifndef SPIPROBE_PLUGIN_ISOLATION_EXIT_CODES_H
#define SPIPROBE_PLUGIN_ISOLATION_EXIT_CODES_H

#include <windows.h>

namespace isolation {

constexpr DWORD kExitUnhandledException = 0xE5A10001;  // the last-chance filter caught one
                                                      // (the board holds it)
constexpr DWORD kExitHeapDamage = 0xE5A10002;         // a call left a heap damaged
constexpr DWORD kExitHostGone = 0xE5A10003;           // the host ended (or closed its channel)
constexpr DWORD kExitBadStart = 0xE5A10004;           // wrong arguments, channel or board
constexpr DWORD kExitEndedByHost = 0xE5A10005;        // the host ended it (past a deadline)

}  // namespace isolation

#endif
