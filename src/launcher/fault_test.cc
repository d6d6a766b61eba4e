// Failures that ordinary inputs cannot cause, made with the fault shim: each
// ends in its one line, on its stream, with its status, and leaves nothing
// on disk (what was written is removed).
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_estimateDCtxSize
#include <zstd.h>

#include <errno.h>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

constexpr char START[] = "1700000000_5";

struct Fault {
  const char* name;
  std::map<std::string, std::string> env;
  std::string out;
  std::string err;  // "<target>" stands for the target directory
  int status;
  const char* listing = nullptr;  // a line the program's listing must hold
};

std::string with_target(std::string text, const std::string& target) {
  for (size_t at; (at = text.find("<target>")) != std::string::npos;) text.replace(at, 8, target);
  return text;
}

TEST(FaultTest, EveryFailureRow) {
  const std::vector<Fault> faults = {
      {"window allocation", {{"VORLIX_FAIL_MALLOC_SIZE", "131072"}}, "Error, couldn't allocate memory.\n", "", 2},
      {"decoder allocation",
       {{"VORLIX_FAIL_MALLOC_SIZE", std::to_string(ZSTD_estimateDCtxSize())}},
       "Error, couldn't allocate memory.\n",
       "",
       2},
      {"fork",
       {{"VORLIX_FAIL_CALL", "fork"}, {"VORLIX_FAIL_ERRNO", std::to_string(EAGAIN)}},
       "",
       "Error, couldn't launch child (fork): Resource temporarily unavailable\n",
       2},
      {"fopen of the second file",
       {{"VORLIX_FAIL_CALL", "fopen"}, {"VORLIX_FAIL_NTH", "2"}, {"VORLIX_FAIL_ERRNO", std::to_string(EACCES)}},
       "",
       "Error, failed to open '<target>/data' for writing.\n",
       2},
      {"fwrite",
       {{"VORLIX_FAIL_CALL", "fwrite"}, {"VORLIX_FAIL_ERRNO", std::to_string(ENOSPC)}},
       "",
       "Error, couldn't unpack file to target path.: No space left on device\n",
       2},
      {"fclose",
       {{"VORLIX_FAIL_CALL", "fclose"}},
       "",
       "Error, couldn't unpack file to target path.: Input/output error\n",
       2},
      {"fstat goes on, mode unchanged",
       {{"VORLIX_FAIL_CALL", "fstat"}, {"VORLIX_FAIL_NTH", "3"}},
       "",
       "fstat: Input/output error\n",
       0,
       "file tool 0644 "},
      {"fchmod goes on",
       {{"VORLIX_FAIL_CALL", "fchmod"}, {"VORLIX_FAIL_NTH", "2"}, {"VORLIX_FAIL_ERRNO", std::to_string(EPERM)}},
       "",
       "fchmod: Operation not permitted\n",
       0,
       "file tool 0644 "},
      {"mkdir of the target directory",
       {{"VORLIX_FAIL_CALL", "mkdir"}, {"VORLIX_FAIL_ERRNO", std::to_string(EACCES)}},
       "",
       "Error, failed to open '<target>/run' for writing.\n",
       2},
      {"symlink",
       {{"VORLIX_FAIL_CALL", "symlink"}, {"VORLIX_FAIL_ERRNO", std::to_string(EACCES)}},
       "",
       "Error, failed to open '<target>/link' for writing.\n",
       2},
  };
  TempDir work;
  fs::path tmp = work / "tmp";
  fs::create_directory(tmp);
  std::string package = write_package(work / "pkg", {probe("run"),
                                                     {"data", 0, "x"},
                                                     {"tool", ENTRY_FLAG_EXECUTABLE, "#!/bin/sh\n"},
                                                     {"link", ENTRY_FLAG_SYMLINK, "data"}});
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    ProcessOptions options;
    options.umask = 022;
    options.env["TMPDIR"] = tmp.string();
    options.env["VORLIX_ONEFILE_START"] = START;
    options.env["LD_PRELOAD"] = VORLIX_FAULT_SHIM_PATH;
    options.env["VORLIX_FAIL_EXE"] = package;
    options.env["PROBE_LIST"] = "1";
    for (const auto& [name, value] : f.env) options.env[name] = value;
    Process process(package, {package}, options);
    ProcessResult r = process.wait();
    std::string target = tmp.string() + "/onefile_" + std::to_string(process.pid()) + "_" + START;

    EXPECT_EQ(r.exit_code(), f.status);
    EXPECT_EQ(r.err, with_target(f.err, target));
    if (f.listing) {
      EXPECT_NE(r.out.find(f.listing), std::string::npos) << r.out;
    } else {
      EXPECT_EQ(r.out, f.out);
    }
    EXPECT_FALSE(fs::exists(target));
    fs::remove_all(target);
  }
}

}  // namespace
}  // namespace vorlix::testing
