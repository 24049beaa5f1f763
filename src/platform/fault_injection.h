// Test-only: makes a chosen call into the system fail, so that tests can
// prove every failure path of the module. Nothing in the module calls this;
// it is compiled into the POSIX platform layer only and is never exported.
#pragma once

namespace platform::fault_injection {

enum class Call { block_allocation, module_load, entry_lookup, file_open, file_read };
inline constexpr int call_kinds = 5;

// Starts counting calls afresh; no call is made to fail.
void reset();
// From now on the `nth` call (1 is the next one) of `kind` fails as the
// system call would. Only one failure point is armed at a time.
void fail_nth(Call kind, long nth);
// How many calls of `kind` were made since the last reset.
long calls_made(Call kind);

}  // namespace platform::fault_injection
