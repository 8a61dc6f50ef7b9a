// Gives back, when a plug-in DLL is released, what the statically linked
// GCC runtime of 32-bit MinGW-w64 (win32 threads) takes at load and never
// returns. Linked into every plug-in by add_spi_plugin, with the linker
// options listed there (RUNTIME_RELEASE_LINK_OPTIONS).
//
// Two runtime objects hold a mutex that has no static initialiser with
// win32 threads, so their first use creates a semaphore (CreateSemaphoreW)
// that nothing ever closes:
// - libgcc's DWARF unwinder keeps the list of registered .eh_frame sections
//   behind one. crtbegin.o registers the DLL's frames in its first
//   constructor and deregisters them when the DLL is released, but the
//   semaphore stays: one kernel handle per load of any DLL with C++
//   exception handling in it.
// - libgcc's emulated TLS, which holds libstdc++'s per-thread exception
//   state, creates a second semaphore and a TLS slot at the first throw.
//   A DLL that throws once per load loses a handle and a slot each time,
//   and after about a thousand loads TlsAlloc fails and the runtime aborts.
//
// The linker's --wrap routes the frame registration, and the runtime's
// calls of CreateSemaphoreW and TlsAlloc, through this unit. While the
// frames are registered (the DLL's first constructor, under the loader
// lock) it also brings emulated TLS up, so both objects create what they
// need then, on that thread, and it records it. Once the frames are
// deregistered (the last of the DLL's exit-time work) it closes the
// semaphores and frees the slot. Both mutexes touch their semaphore only
// when two threads contend, so nothing uses the closed handles afterwards.
//
// Nothing else is recorded: a plug-in's own CreateSemaphoreW and TlsAlloc
// calls reach the system untouched and stay the plug-in's to release.
#include <windows.h>

#include <cstddef>

extern "C" {
// The runtime's own functions, reached through --wrap. Weak, so that a
// plug-in without C++ exception handling does not pull the unwinder in.
void __real___register_frame_info(const void* frames, void* object) __attribute__((weak));
void* __real___deregister_frame_info(const void* frames) __attribute__((weak));
}

typedef HANDLE(WINAPI* CreateSemaphoreWProc)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR);
typedef DWORD(WINAPI* TlsAllocProc)(void);

// The import slots as the runtime's objects reference them (__imp_ names
// of the stdcall functions, leading underscore included).
extern "C" CreateSemaphoreWProc real_create_semaphore __asm__("___real__imp__CreateSemaphoreW@16");
extern "C" TlsAllocProc real_tls_alloc __asm__("___real__imp__TlsAlloc@0");

namespace {

constexpr size_t kMaxRecorded = 4;

// Written only by the thread that loads the DLL, while it runs the first
// constructor; read when the DLL is released.
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

}  // namespace

extern "C" {

CreateSemaphoreWProc wrapped_create_semaphore __asm__("___wrap__imp__CreateSemaphoreW@16") =
    RecordingCreateSemaphoreW;
TlsAllocProc wrapped_tls_alloc __asm__("___wrap__imp__TlsAlloc@0") = RecordingTlsAlloc;

void __wrap___register_frame_info(const void* frames, void* object) {
    capturing_thread = GetCurrentThreadId();
    if (__real___register_frame_info) __real___register_frame_info(frames, object);
    StartEmulatedTls();
    capturing_thread = 0;
}

void* __wrap___deregister_frame_info(const void* frames) {
    void* object = __real___deregister_frame_info ? __real___deregister_frame_info(frames) : nullptr;
    for (size_t i = 0; i < semaphore_count; ++i) CloseHandle(semaphores[i]);
    semaphore_count = 0;
    for (size_t i = 0; i < tls_slot_count; ++i) TlsFree(tls_slots[i]);
    tls_slot_count = 0;
    return object;
}

}  // extern "C"
