// The fault guard for x86-64 GCC builds (the declaration and the rules of
// use are in fault_guard.h).
//
// x64 has no handler chain in fs:[0]: the dispatcher walks the stack
// through each function's unwind data and asks the language handler it
// finds there. So the guard is a small call trampoline, written here in
// assembly so that its frame is known exactly, whose unwind data names
// __C_specific_handler with one scope entry around the call and
// GuardFilter as the scope's filter. The dispatcher reaches that entry only
// for exceptions that nothing inside the module handled.
//
// GuardFilter never asks for the unwind (it would have to answer
// EXCEPTION_EXECUTE_HANDLER): it records the fault and leaves by a long
// jump straight back into RunGuarded, abandoning the module's frames, as
// the 32-bit guard does. Letting the system unwind instead never finishes
// under Wine for a C++ exception escaping a GCC-built module (the unwind
// calls that module's personality routine again and again).
//
// The trampoline keeps a pointer to the guard's state at a fixed place in
// its own frame (32 bytes above its stack pointer, past the argument home
// area), and the dispatcher gives the filter exactly that stack pointer as
// the establisher frame; so nested guards (a module that guards its own
// calls) each find their own state, with no thread-local storage.
#include "fault_guard.h"

#include <malloc.h>  // _resetstkoflw

#include "base/fault_record.h"

#if !defined(__GNUC__) || !defined(__x86_64__)
#error "fault_guard_x64.cpp is the guard for x86-64 GCC builds"
#endif

namespace {

struct GuardState {
    void* resume[5];  // __builtin_setjmp buffer
    void* handlerList;  // the thread's frame list when the guard began
    CaughtFault fault;
};

// The frame list at gs:[0] (NT_TIB.ExceptionList) is unused by Windows on
// x64, but Wine's dispatcher links a frame of its own there while it calls
// a language handler and unlinks it when the handler returns. The filter
// never returns, so the guard puts the list back itself; a stale entry
// would send the next exception into a dead frame. Our own asm, with a
// memory clobber, so GCC cannot move or drop the accesses.
void* ReadHandlerList() {
    void* list;
    asm volatile("movq %%gs:0, %0" : "=r"(list) : : "memory");
    return list;
}

void WriteHandlerList(void* list) {
    asm volatile("movq %0, %%gs:0" : : "r"(list) : "memory");
}

}  // namespace

extern "C" {

// Calls body(context) with the scope record around the call.
void SpiGuardTrampoline(GuardedBody body, void* context, GuardState* state);

// The scope's filter, called by __C_specific_handler with the exception and
// the trampoline's stack pointer.
__attribute__((used)) static LONG SpiGuardFilter(EXCEPTION_POINTERS* pointers,
                                                 void* establisherFrame) {
    GuardState* state = *reinterpret_cast<GuardState**>(static_cast<char*>(establisherFrame) + 32);
    FaultRecord read = ReadFaultRecord(*pointers->ExceptionRecord);
    CaughtFault& fault = state->fault;
    fault.code = read.code;
    fault.instruction = read.instruction;
    fault.access = read.access;
    fault.address = read.address;
    __builtin_longjmp(state->resume, 1);
}

}  // extern "C"

// rcx body, rdx context, r8 state. The 40 bytes keep the stack aligned for
// the call and hold the 32-byte home area the callee may use, then the
// state pointer. The nop after the call keeps its return address inside
// the scope, where the dispatcher looks for it.
asm(R"(
    .text
    .p2align 4
    .globl SpiGuardTrampoline
    .def SpiGuardTrampoline; .scl 2; .type 32; .endef
    .seh_proc SpiGuardTrampoline
SpiGuardTrampoline:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
.LSpiGuardScopeBegin:
    call *%rax
    nop
.LSpiGuardScopeEnd:
    addq $40, %rsp
    ret
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1
    .rva .LSpiGuardScopeBegin, .LSpiGuardScopeEnd, SpiGuardFilter, .LSpiGuardScopeEnd
    .text
    .seh_endproc
)");

// noinline keeps the receiver of the long jump in a function of its own,
// whose prologue saves every callee-saved register (GCC saves them all in
// a function that calls __builtin_setjmp), so the module may have left
// them in any state.
__attribute__((noinline)) bool RunGuarded(GuardedBody body, void* context, CaughtFault* fault) {
    GuardState state;
    state.fault = CaughtFault();
    state.handlerList = ReadHandlerList();
    if (__builtin_setjmp(state.resume)) {
        // Reached from SpiGuardFilter, which filled state.fault in memory.
        asm volatile("" : : : "memory");
        WriteHandlerList(state.handlerList);
        CaughtFault caught = state.fault;
        if (caught.code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
        if (fault) *fault = caught;
        return false;
    }
    SpiGuardTrampoline(body, context, &state);
    return true;
}
