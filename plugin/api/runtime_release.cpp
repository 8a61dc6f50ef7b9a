// Gives back, when a plug-in DLL is released, what the statically linked
// GCC runtime of MinGW-w64 (win32 threads) takes while the DLL is loaded
// and never returns. Linked into every plug-in by add_spi_plugin, with the
// linker options of cmake/SpiRuntimeRelease.cmake.
//
// Two runtime objects hold a mutex that has no static initialiser with
// win32 threads, so their first use creates a semaphore (CreateSemaphoreW)
// that nothing ever closes:
// - On 32-bit x86, libgcc's DWARF unwinder keeps the list of registered
//   .eh_frame sections behind one. crtbegin.o registers the DLL's frames in
//   its first constructor and deregisters them when the DLL is released,
//   but the semaphore stays: one kernel handle per load of any DLL with C++
//   exception handling in it. (x86-64 unwinds through the system's tables
//   and registers nothing.)
// - libgcc's emulated TLS, which holds libstdc++'s per-thread exception
//   state, creates a second semaphore and a TLS slot at the first throw.
//   A DLL that throws once per load loses a handle and a slot each time,
//   and after about a thousand loads TlsAlloc fails and the runtime aborts.
//
// The linker's --wrap routes the runtime's calls of CreateSemaphoreW,
// TlsAlloc and the C runtime's __mingwthr_key_dtor (and on x86 the frame
// registration) through this unit. Early in the DLL's start-up, on the
// loading thread and under the loader lock, it lets the frames be
// registered and brings emulated TLS up, so that both objects create what
// they need then, and it records what they create. After the DLL's last
// exit-time work (on x86 the frames' deregistration) it closes the
// semaphores and frees the slot. Both mutexes touch their semaphore only
// when two threads contend, so nothing uses the closed handles afterwards.
//
// It also hands back libstdc++'s emergency exception pool, a heap block the
// module would otherwise leave behind at every release.
//
// On the way it mends a use of freed memory: the C runtime destroys
// emulated TLS's per-thread block before the DLL's static destructors run,
// and one of them that throws would otherwise work on the freed block.
//
// Nothing else is recorded: a plug-in's own CreateSemaphoreW and TlsAlloc
// calls reach the system untouched and stay the plug-in's to release.
#include <windows.h>

#include <cstddef>
#include <cstdlib>

#include "win32_handles.h"

typedef HANDLE(WINAPI* CreateSemaphoreWProc)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR);
typedef DWORD(WINAPI* TlsAllocProc)(void);
typedef void (*SlotDestructor)(void* value);

// libstdc++'s release of its emergency exception pool (about 19 KB taken
// at load by every module that can throw, kept for the process's lifetime
// otherwise). Weak: a module without exceptions has no pool.
namespace __gnu_cxx {
void __freeres() __attribute__((weak));
}

// The import slots the runtime's objects call through, as --wrap renames
// them: __real_ is the system's entry, __wrap_ the one given here.
#if defined(__i386__)
#define IMPORT_SLOT(prefix, name) "___" prefix "__imp__" name
#define CREATE_SEMAPHORE_W "CreateSemaphoreW@16"
#define TLS_ALLOC "TlsAlloc@0"
#else
#define IMPORT_SLOT(prefix, name) "__" prefix "___imp_" name
#define CREATE_SEMAPHORE_W "CreateSemaphoreW"
#define TLS_ALLOC "TlsAlloc"
#endif
extern "C" CreateSemaphoreWProc real_create_semaphore __asm__(IMPORT_SLOT("real", CREATE_SEMAPHORE_W));
extern "C" TlsAllocProc real_tls_alloc __asm__(IMPORT_SLOT("real", TLS_ALLOC));

namespace {

constexpr size_t kMaxRecorded = 4;

// Written only by the loading thread during the DLL's start-up; read when
// the DLL is released.
DWORD capturing_thread = 0;
HANDLE semaphores[kMaxRecorded];
size_t semaphore_count = 0;
DWORD tls_slots[kMaxRecorded];
size_t tls_slot_count = 0;

bool Capturing() { return capturing_thread != 0 && capturing_thread == GetCurrentThreadId(); }

HANDLE WINAPI RecordingCreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial,
                                        LONG maximum, LPCWSTR name) {
    HANDLE semaphore = real_create_semaphore(attributes, initial, maximum, name);
    if (semaphore && Capturing() && semaphore_count < kMaxRecorded)
        semaphores[semaphore_count++] = semaphore;
    return semaphore;
}

DWORD WINAPI RecordingTlsAlloc() {
    DWORD slot = real_tls_alloc();
    if (slot != TLS_OUT_OF_INDEXES && Capturing() && tls_slot_count < kMaxRecorded)
        tls_slots[tls_slot_count++] = slot;
    return slot;
}

// Any use of a thread_local variable goes through emulated TLS; the first
// one creates its mutex and its slot.
void StartEmulatedTls() {
    static thread_local int touched;
    touched = 1;
    __asm__ volatile("" : : "r"(&touched) : "memory");
}

bool IsRecordedSlot(DWORD slot) {
    for (size_t i = 0; i < tls_slot_count; ++i)
        if (tls_slots[i] == slot) return true;
    return false;
}

// Emulated TLS's slot and the destructor of its per-thread blocks. The C
// runtime runs that destructor when a thread ends and, for the releasing
// thread, before the DLL's static destructors; it leaves the slot's value
// in place, so a static destructor that throws would work on the freed
// block. Clearing the value lets that throw start a new one, which the
// release then destroys.
DWORD destroyed_slot = TLS_OUT_OF_INDEXES;
SlotDestructor slot_destructor = nullptr;

void DestroyAndClear(void* value) {
    slot_destructor(value);
    TlsSetValue(destroyed_slot, nullptr);
}

void ReleaseRecorded() {
    for (size_t i = 0; i < semaphore_count; ++i) UniqueKernelHandle{semaphores[i]}.reset();
    semaphore_count = 0;
    if (destroyed_slot != TLS_OUT_OF_INDEXES) {
        if (void* value = TlsGetValue(destroyed_slot)) slot_destructor(value);
        destroyed_slot = TLS_OUT_OF_INDEXES;
    }
    for (size_t i = 0; i < tls_slot_count; ++i) TlsFree(tls_slots[i]);
    tls_slot_count = 0;
    if (__gnu_cxx::__freeres) __gnu_cxx::__freeres();
}

}  // namespace

extern "C" {

CreateSemaphoreWProc wrapped_create_semaphore __asm__(IMPORT_SLOT("wrap", CREATE_SEMAPHORE_W)) =
    RecordingCreateSemaphoreW;
TlsAllocProc wrapped_tls_alloc __asm__(IMPORT_SLOT("wrap", TLS_ALLOC)) = RecordingTlsAlloc;

// The C runtime's list of destructors run for a TLS slot's per-thread
// values when a thread ends and when the DLL is released.
int __real___mingwthr_key_dtor(DWORD slot, SlotDestructor destructor);

int __wrap___mingwthr_key_dtor(DWORD slot, SlotDestructor destructor) {
    if (destructor && Capturing() && IsRecordedSlot(slot) && destroyed_slot == TLS_OUT_OF_INDEXES) {
        destroyed_slot = slot;
        slot_destructor = destructor;
        destructor = DestroyAndClear;
    }
    return __real___mingwthr_key_dtor(slot, destructor);
}

#if defined(__i386__)
// The runtime's own functions, reached through --wrap. Weak, so that a
// plug-in without C++ exception handling does not pull the unwinder in.
void __real___register_frame_info(const void* frames, void* object) __attribute__((weak));
void* __real___deregister_frame_info(const void* frames) __attribute__((weak));

// crtbegin.o's first constructor registers the frames, and the exit-time
// work it registers then deregisters them last of all.
void __wrap___register_frame_info(const void* frames, void* object) {
    capturing_thread = GetCurrentThreadId();
    if (__real___register_frame_info) __real___register_frame_info(frames, object);
    StartEmulatedTls();
    capturing_thread = 0;
}

void* __wrap___deregister_frame_info(const void* frames) {
    void* object = __real___deregister_frame_info ? __real___deregister_frame_info(frames) : nullptr;
    ReleaseRecorded();
    return object;
}
#endif

}  // extern "C"

#if !defined(__i386__)
namespace {

// Runs before the constructors of default priority, so the exit-time work
// registered here runs after that of every object they construct.
__attribute__((constructor(101))) void CaptureRuntimeStart() {
    capturing_thread = GetCurrentThreadId();
    StartEmulatedTls();
    capturing_thread = 0;
    atexit(ReleaseRecorded);
}

}  // namespace
#endif
