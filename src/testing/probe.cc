// The program that test packages run: reports what it was given and what it
// finds around it, then ends as the test asks through environment variables.
//   PROBE_LIST=1       list the extraction directory (the directory of the
//                      program's own path): kind, mode, size, hash, target
//   PROBE_READY=path   write our pid to |path| once running (signal tests)
//   PROBE_IGNORE=1     ignore SIGINT, SIGQUIT and SIGTERM
//   PROBE_SLEEP=s      sleep |s| seconds (fractions allowed)
//   PROBE_SIGNAL=n     end by signal |n|
//   PROBE_EXIT=n       exit with |n| (default 0)
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
  printf("argc=%d\n", argc);
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
  if (getenv("PROBE_LIST")) list(root, "");
  fflush(stdout);

  if (getenv("PROBE_IGNORE"))
    for (int s : {SIGINT, SIGQUIT, SIGTERM}) signal(s, SIG_IGN);
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
    while (nanosleep(&t, &t) != 0) {
    }
  }
  if (const char* sig = getenv("PROBE_SIGNAL")) {
    signal(atoi(sig), SIG_DFL);
    raise(atoi(sig));
  }
  const char* code = getenv("PROBE_EXIT");
  return code ? atoi(code) : 0;
}
