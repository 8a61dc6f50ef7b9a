#include "fault_guard.h"

#include <malloc.h>  // _resetstkoflw

#include "base/fault_record.h"

namespace {

// What a caught exception record says, in the terms of CaughtFault.
void Describe(const EXCEPTION_RECORD& record, CaughtFault* fault) {
    FaultRecord read = ReadFaultRecord(record);
    fault->code = read.code;
    fault->instruction = read.instruction;
    fault->access = read.access;
    fault->address = read.address;
}

}  // namespace

#if defined(_MSC_VER)

namespace {

int Filter(EXCEPTION_POINTERS* pointers, CaughtFault* fault) {
    Describe(*pointers->ExceptionRecord, fault);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool RunGuarded(GuardedBody body, void* context, CaughtFault* fault) {
    CaughtFault caught;
    __try {
        body(context);
        return true;
    } __except (Filter(GetExceptionInformation(), &caught)) {
    }
    if (caught.code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
    if (fault) *fault = caught;
    return false;
}

#elif defined(__GNUC__) && defined(__i386__)

namespace {

// Starts with the two fields of an EXCEPTION_REGISTRATION record (next,
// handler), as the system's dispatcher reads them from fs:[0].
struct GuardFrame {
    GuardFrame* next;
    void* handler;
    void* resume[5];  // __builtin_setjmp buffer
    CaughtFault caught;
};

// Our own accessors: mingw-w64's __readfsdword/__writefsdword carry no
// memory clobber, and GCC may move or drop them.
GuardFrame* ReadChainHead() {
    GuardFrame* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

void WriteChainHead(GuardFrame* head) {
    asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

extern "C" EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record,
                                                       void* establisherFrame, CONTEXT*,
                                                       void*) {
    // Unwind calls pass through while RtlUnwind below clears the frames
    // the module linked above ours.
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    GuardFrame* frame = static_cast<GuardFrame*>(establisherFrame);
    Describe(*record, &frame->caught);
    RtlUnwind(frame, nullptr, record, nullptr);
    WriteChainHead(frame->next);
    __builtin_longjmp(frame->resume, 1);
}

}  // namespace

// noinline keeps the frame and the receiver of the long jump in a function
// of their own; the body is called through a pointer, so no trapping code
// can be inlined after the setjmp point (GCC would then drop the receiver).
__attribute__((noinline)) bool RunGuarded(GuardedBody body, void* context,
                                          CaughtFault* fault) {
    GuardFrame frame;
    if (__builtin_setjmp(frame.resume)) {
        // Reached from GuardHandler; the chain no longer holds our frame.
        // Read through volatile: the handler wrote it behind the compiler's back.
        volatile CaughtFault& seen = frame.caught;
        CaughtFault caught;
        caught.code = seen.code;
        caught.instruction = seen.instruction;
        caught.access = seen.access;
        caught.address = seen.address;
        if (caught.code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
        if (fault) *fault = caught;
        return false;
    }
    frame.next = ReadChainHead();
    frame.handler = reinterpret_cast<void*>(&GuardHandler);
    WriteChainHead(&frame);
    GuardedBody volatile call = body;
    call(context);
    WriteChainHead(frame.next);
    return true;
}

#else
#error "no fault guard for this compiler and processor"
#endif
