// The program that test packages run: reports what it was given and what it
// finds around it, then ends as the test asks through environment variables.
//   PROBE_LIST=1       list the extraction directory (the directory of the
//                      program's own path): kind, mode, size, hash, target
//   PROBE_READY=path   write our pid to |path| once running (signal tests)
//   PROBE_IGNORE=n,m   ignore these signals
//   PROBE_HANDLE=n,m   count these signals; after the first, wait
//                      PROBE_LINGER seconds (default 0.4) for more, print
//                      "caught=<n>:<count>,..." and exit with 10
//   PROBE_SLEEP=s      sleep |s| seconds (fractions allowed)
//   PROBE_CHECK=name   before ending, print "files=ok" if |name| is still
//                      beside the program, else "files=missing"
//   PROBE_SIGNAL=n     end by signal |n|
//   PROBE_EXIT=n       exit with |n| (default 0)
// It always reports the signals it started with blocked and ignored.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/fnv.h"

namespace {

volatile sig_atomic_t caught_count[NSIG];
volatile sig_atomic_t caught_any;

void count_signal(int signal_number) {
  caught_count[signal_number] = caught_count[signal_number] + 1;
  caught_any = 1;
}

std::vector<int> signal_list(const char* text) {
  std::vector<int> numbers;
  for (const char* p = text; p != nullptr && *p != '\0';) {
    numbers.push_back(atoi(p));
    p = strchr(p, ',');
    if (p != nullptr) ++p;
  }
  return numbers;
}

void nap(double seconds) {
  struct timespec t = {static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<long>(seconds)) * 1e9)};
  nanosleep(&t, nullptr);
}

// Appends |item| to the comma-separated |list|. (Piece by piece: GCC 12 at
// -O3 takes "," + std::string for an overlapping copy.)
void append_item(std::string& list, const std::string& item) {
  if (!list.empty()) list += ',';
  list += item;
}

// "blocked=..." and "ignored=...": the signals 1 to 31 the program started with
// blocked or ignored.
void report_start_signals() {
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  std::string blocked, ignored;
  for (int s = 1; s < 32; ++s) {
    struct sigaction action;
    sigaction(s, nullptr, &action);
    if (sigismember(&mask, s)) append_item(blocked, std::to_string(s));
    if (action.sa_handler == SIG_IGN) append_item(ignored, std::to_string(s));
  }
  printf("blocked=%s\nignored=%s\n", blocked.c_str(), ignored.c_str());
}

void list(const std::string& root, const std::string& relative) {
  std::string dir = relative.empty() ? root : root + "/" + relative;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string rel = relative.empty() ? name : relative + "/" + name;
    std::string path = root + "/" + rel;
    struct stat st;
    lstat(path.c_str(), &st);
    unsigned mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) {
      printf("dir %s %04o\n", rel.c_str(), mode);
      list(root, rel);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
      target[n < 0 ? 0 : n] = '\0';
      printf("link %s -> %s\n", rel.c_str(), target);
    } else {
      uint64_t hash = vorlix::testing::fnv1a_file(path.c_str());
      printf("file %s %04o %lld %016llx\n", rel.c_str(), mode, static_cast<long long>(st.st_size),
             static_cast<unsigned long long>(hash));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  printf("pid=%d\nargc=%d\n", static_cast<int>(getpid()), argc);
  for (int i = 0; i < argc; ++i) printf("argv[%d]=%s\n", i, argv[i]);
  for (const char* name : {"VORLIX_ONEFILE_PARENT", "VORLIX_ONEFILE_DIRECTORY", "VORLIX_ORIGINAL_ARGV0",
                           "VORLIX_ONEFILE_START"}) {
    const char* value = getenv(name);
    printf("%s%s%s\n", name, value ? "=" : " unset", value ? value : "");
  }
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n < 0 ? 0 : n] = '\0';
  std::string root(self);
  root = root.substr(0, root.rfind('/'));
  printf("root=%s\n", root.c_str());
  report_start_signals();
  if (getenv("PROBE_LIST")) list(root, "");
  fflush(stdout);

  for (int s : signal_list(getenv("PROBE_IGNORE"))) signal(s, SIG_IGN);
  for (int s : signal_list(getenv("PROBE_HANDLE"))) signal(s, count_signal);
  if (const char* ready = getenv("PROBE_READY")) {
    // Written under another name and renamed, so a reader sees it whole.
    std::string partial = std::string(ready) + ".partial";
    FILE* f = fopen(partial.c_str(), "w");
    fprintf(f, "%d\n", static_cast<int>(getpid()));
    fclose(f);
    rename(partial.c_str(), ready);
  }
  if (const char* sleep_s = getenv("PROBE_SLEEP")) {
    double seconds = atof(sleep_s);
    struct timespec t = {static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<long>(seconds)) * 1e9)};
    while (nanosleep(&t, &t) != 0 && !caught_any) {
    }
  }
  if (caught_any) {
    const char* linger = getenv("PROBE_LINGER");
    nap(linger != nullptr ? atof(linger) : 0.4);  // a second delivery would arrive meanwhile
  }
  if (const char* check = getenv("PROBE_CHECK")) {
    struct stat st;
    printf("files=%s\n", lstat((root + "/" + check).c_str(), &st) == 0 ? "ok" : "missing");
  }
  if (caught_any) {
    std::string caught;
    for (int s = 1; s < NSIG; ++s)
      if (caught_count[s] > 0) append_item(caught, std::to_string(s) + ":" + std::to_string(caught_count[s]));
    printf("caught=%s\n", caught.c_str());
    return 10;
  }
  if (const char* sig = getenv("PROBE_SIGNAL")) {
    signal(atoi(sig), SIG_DFL);
    raise(atoi(sig));
  }
  const char* code = getenv("PROBE_EXIT");
  return code ? atoi(code) : 0;
}
