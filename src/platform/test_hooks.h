// Test-only switches in the POSIX platform layer, compiled only into the
// libraries that tests and fuzz targets link (QB_TEST_HOOKS); the shipped
// module has none of this.
#pragma once

#include <cstddef>

namespace platform {

// Switches between the two lead-byte rules, as a test on a platform without
// an ANSI code page needs to.
enum class LeadByteRule { code_page_932, single_byte };
void use_lead_byte_rule(LeadByteRule rule);

// Makes a chosen call into the system fail, so that tests can prove every
// failure path of the module.
namespace fault_injection {

enum class Call { block_allocation, module_load, entry_lookup, file_open, file_read };
inline constexpr int call_kinds = 5;

// Starts counting calls afresh; no call is made to fail and reads are not
// shortened.
void reset();
// From now on the `nth` call (1 is the next one) of `kind` fails as the
// system call would. Only one failure point is armed at a time.
void fail_nth(Call kind, long nth);
// How many calls of `kind` were made since the last reset.
long calls_made(Call kind);
// Every file read from now on returns at most `bytes` bytes, as the system
// may; 0 lifts the limit.
void shorten_reads(std::size_t bytes);

}  // namespace fault_injection
}  // namespace platform
