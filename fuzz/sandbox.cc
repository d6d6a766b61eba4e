#include "sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>

namespace vorlix::fuzz {

namespace {

std::string scratch;

void remove_scratch() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
}

}  // namespace

std::string enter_fuzz_sandbox() {
  if (getuid() == 0 || geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
      perror("fuzz sandbox: dropping root");
      abort();
    }
  }
  struct rlimit limit = {8 << 20, 8 << 20};
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, SIG_IGN);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  close(null);
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorlix-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    perror("fuzz sandbox: scratch directory");
    abort();
  }
  scratch = pattern;
  atexit(remove_scratch);
  return pattern;
}

}  // namespace vorlix::fuzz
