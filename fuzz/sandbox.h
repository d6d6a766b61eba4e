// Set-up for fuzz targets whose inputs write to disk. An input may make the
// code under test write anywhere its links point to (the launcher trusts its
// payload), so the process first gives up root, and files are capped in size.
#ifndef VORLIX_FUZZ_SANDBOX_H_
#define VORLIX_FUZZ_SANDBOX_H_

#include <string>

namespace vorlix::fuzz {

// Drops root to nobody, caps files at 8 MiB (writes past it fail with EFBIG
// instead of a signal), sends standard output to /dev/null, and returns a
// fresh scratch directory. Call once, before the first input.
std::string enter_fuzz_sandbox();

}  // namespace vorlix::fuzz

#endif  // VORLIX_FUZZ_SANDBOX_H_
