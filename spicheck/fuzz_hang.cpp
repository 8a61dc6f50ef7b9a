#include "fuzz_hang.h"

#include <cstdint>

#include "fuzz_campaign.h"

// The place a stopped thread is sent: it raises kHangException as a call
// from the instruction it was stopped at (that address is pushed as its
// return address), so the dispatcher walks from there through the
// plug-in's frames to the guard. On x64 the stub keeps a frame pointer, so
// that its unwind data holds whatever the stack's alignment was.
extern "C" void SpicheckHangStub();

#if defined(__x86_64__)
asm(".text\n"
    ".globl SpicheckHangStub\n"
    ".def SpicheckHangStub; .scl 2; .type 32; .endef\n"
    ".seh_proc SpicheckHangStub\n"
    "SpicheckHangStub:\n"
    "  pushq %rbp\n"
    "  .seh_pushreg %rbp\n"
    "  movq %rsp, %rbp\n"
    "  .seh_setframe %rbp, 0\n"
    "  .seh_endprologue\n"
    "  andq $-16, %rsp\n"
    "  subq $32, %rsp\n"
    "  movl $0xE5C1F00D, %ecx\n"
    "  xorl %edx, %edx\n"
    "  xorl %r8d, %r8d\n"
    "  xorl %r9d, %r9d\n"
    "  callq *__imp_RaiseException(%rip)\n"
    "  int3\n"
    "  .seh_endproc\n");
#elif defined(__i386__)
asm(".text\n"
    ".globl _SpicheckHangStub\n"
    "_SpicheckHangStub:\n"
    "  pushl $0\n"
    "  pushl $0\n"
    "  pushl $0\n"
    "  pushl $0xE5C1F00D\n"
    "  call *__imp__RaiseException@16\n"
    "  int3\n");
#else
#error "the hang breaker knows x86 and x86-64"
#endif


HangBreaker::HangBreaker(DWORD limitMs) : limitMs_(limitMs) {
    const unsigned char* image = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    ownBase_ = reinterpret_cast<uintptr_t>(image);
    ownSize_ = nt->OptionalHeader.SizeOfImage;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                         &mainThread_, THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT |
                                           THREAD_SET_CONTEXT | THREAD_QUERY_INFORMATION,
                         FALSE, 0)) {
        mainThread_ = nullptr;
        return;
    }
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stop_) thread_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
}

HangBreaker::~HangBreaker() {
    if (thread_) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    if (stop_) CloseHandle(stop_);
    if (mainThread_) CloseHandle(mainThread_);
}

void HangBreaker::CallBegins() {
    started_ = GetTickCount();
    InterlockedIncrement(&calls_);
    InterlockedExchange(&active_, 1);
}

void HangBreaker::CallEnds() { InterlockedExchange(&active_, 0); }

DWORD WINAPI HangBreaker::Watch(void* self) {
    HangBreaker& breaker = *static_cast<HangBreaker*>(self);
    DWORD step = breaker.limitMs_ / 4 < 5 ? 5 : breaker.limitMs_ / 4 > 50 ? 50 : breaker.limitMs_ / 4;
    while (WaitForSingleObject(breaker.stop_, step) == WAIT_TIMEOUT) {
        if (!breaker.active_) continue;
        DWORD running = GetTickCount() - breaker.started_;
        LONG call = breaker.calls_;
        if (running > breaker.limitMs_ && call != breaker.broken_) {
            breaker.Break();
        } else if (running > 3 * breaker.limitMs_ && call == breaker.broken_ &&
                   call != breaker.kept_) {
            // Redirected long ago and still in the call: the thread waits
            // in the system, where the redirection does not reach. The
            // worker will be ended; its input is kept first.
            breaker.kept_ = call;
            SaveCampaignInputBeforeTheEnd("hangs_in_a_system_wait");
        }
    }
    return 0;
}

void HangBreaker::Break() {
    LONG call = calls_;
    if (SuspendThread(mainThread_) == static_cast<DWORD>(-1)) return;
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    bool redirected = false;
    // Still the same call, still running, and stopped outside spicheck's
    // own code (between the guard and the end of the call it would not
    // be caught).
    if (active_ && calls_ == call && GetThreadContext(mainThread_, &context)) {
#if defined(__x86_64__)
        uintptr_t ip = context.Rip, sp = context.Rsp;
#else
        uintptr_t ip = context.Eip, sp = context.Esp;
#endif
        if (ip - ownBase_ >= ownSize_) {
            sp -= sizeof(uintptr_t);
            *reinterpret_cast<uintptr_t*>(sp) = ip;
            ip = reinterpret_cast<uintptr_t>(&SpicheckHangStub);
#if defined(__x86_64__)
            context.Rip = ip;
            context.Rsp = sp;
#else
            context.Eip = static_cast<DWORD>(ip);
            context.Esp = static_cast<DWORD>(sp);
#endif
            redirected = SetThreadContext(mainThread_, &context) != 0;
        }
    }
    if (redirected) broken_ = call;
    ResumeThread(mainThread_);
}
