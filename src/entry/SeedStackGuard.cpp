// The MinGW build's stack-protector canary, seeded from the system's random generator.
//
// libssp's own constructor seeds __stack_chk_guard through CryptAcquireContext, which
// loads a cryptographic service provider with its DLLs and registry keys; under Wine it
// also attaches user32, whose window station, desktop and mutex stay for the life of
// the service. libssp skips all that when the guard is already non-zero, so a
// constructor that runs first fills it from RtlGenRandom, which needs no provider.
//
// This file is compiled into the executable itself: in the core library nothing would
// reference it and the linker would drop it, constructor and all.

#include <windows.h>
#include <ntsecapi.h>

extern "C" void* __stack_chk_guard;

namespace {

// Priority 101 runs before every constructor of default priority, libssp's among them.
// The guard changes under this function, so a check of its own would fail.
__attribute__((constructor(101), no_stack_protector)) void SeedStackGuard()
{
    // A failed call may have written part of the guard: zero leaves libssp's set-up,
    // with its own fallback, to run as before.
    if (!RtlGenRandom(&__stack_chk_guard, sizeof __stack_chk_guard))
        __stack_chk_guard = nullptr;
}

} // namespace
