// Fuzz target over the package reader of vorlix-pack: verify, list and
// extract into a scratch directory. Every input must end in a result or a
// reported error; anything else (a crash, another exception) is a finding.
#include <stdint.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "format/package_reader.h"
#include "pack/commands.h"
#include "sandbox.h"

namespace {
std::string scratch;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch = vorlix::fuzz::enter_fuzz_sandbox();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view package(reinterpret_cast<const char*>(data), size);
  try {
    vorlix::verify_package(package);
  } catch (const vorlix::FormatError&) {
  }
  try {
    vorlix::pack::list_entries(package, true);
  } catch (const vorlix::FormatError&) {
  }
  std::string target = scratch + "/x";
  try {
    vorlix::pack::extract_entries(package, target);
  } catch (const std::runtime_error&) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(target, ignored);
  return 0;
}
