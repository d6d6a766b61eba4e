// Loaded with LD_PRELOAD by tests only: makes one chosen call fail, to reach
// failure paths that ordinary inputs cannot. Acts only in the process whose
// executable is VORLIX_FAIL_EXE (the package under test), not in the
// programs that it starts.
//   VORLIX_FAIL_MALLOC_SIZE=n   malloc(n) returns NULL (ENOMEM)
//   VORLIX_FAIL_CALL=name       the call to fail: fork, fopen, fwrite, fclose,
//                               fstat, fchmod, mkdir, symlink, waitpid or
//                               waitid
//   VORLIX_FAIL_NTH=n           fail the n-th such call only (default 1)
//   VORLIX_FAIL_ERRNO=n         the errno it fails with (default EIO)
// It also plays another user at a chosen point, so that tests of what the
// launcher does then need no race:
//   VORLIX_SWAP_AT=name         just before the first such call (munmap,
//                               fork, rename or execv), the directory
//                               VORLIX_SWAP_PATH (a glob pattern that must
//                               match one path; at rename, when it is unset:
//                               the directory being renamed) is renamed
//                               to "<path>.aside" and the directory
//                               VORLIX_SWAP_WITH is renamed into its place
//   VORLIX_REPLACE_PACKAGE_WITH=path
//                               at the first open, |path| is renamed over the
//                               package (VORLIX_FAIL_EXE), as a new version is
//                               installed while the old one starts
#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <stdarg.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" void* __libc_malloc(size_t size);

namespace {

// getenv and readlink do not allocate, so this is safe inside malloc.
bool in_target_process() {
  static int active = -1;
  if (active < 0) {
    const char* exe = getenv("VORLIX_FAIL_EXE");
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n < 0 ? 0 : n] = '\0';
    active = exe != nullptr && strcmp(exe, self) == 0;
  }
  return active == 1;
}

long number(const char* name, long fallback) {
  const char* text = getenv(name);
  return text != nullptr ? strtol(text, nullptr, 10) : fallback;
}

// True when this call of |name| is the one to fail; sets errno then.
bool should_fail(const char* name, long* count) {
  if (!in_target_process()) return false;
  const char* call = getenv("VORLIX_FAIL_CALL");
  if (call == nullptr || strcmp(call, name) != 0) return false;
  if (++*count != number("VORLIX_FAIL_NTH", 1)) return false;
  errno = static_cast<int>(number("VORLIX_FAIL_ERRNO", EIO));
  return true;
}

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Does the swap of VORLIX_SWAP_AT once, at the first call of |name|;
// |renamed| is the directory a rename is about to move.
void swap_before(const char* name, const char* renamed = nullptr) {
  static bool done = false;
  if (done || !in_target_process()) return;
  const char* at = getenv("VORLIX_SWAP_AT");
  if (at == nullptr || strcmp(at, name) != 0) return;
  done = true;
  const char* pattern = getenv("VORLIX_SWAP_PATH");
  const char* with = getenv("VORLIX_SWAP_WITH");
  glob_t found = {};
  if (pattern != nullptr && (glob(pattern, 0, nullptr, &found) != 0 || found.gl_pathc != 1)) {
    fprintf(stderr, "fault shim: '%s' matches no one path\n", pattern);
    return;
  }
  const char* path = pattern != nullptr ? found.gl_pathv[0] : renamed;
  if (path == nullptr || with == nullptr) return;
  char aside[4096];
  snprintf(aside, sizeof aside, "%s.aside", path);
  auto rename_file = real<int (*)(const char*, const char*)>("rename");
  if (rename_file(path, aside) != 0 || rename_file(with, path) != 0) perror("fault shim: swap");
  globfree(&found);
}

}  // namespace

#define FAULT_POINT(name, failure)   \
  static long count_##name = 0;      \
  if (should_fail(#name, &count_##name)) return failure

extern "C" {

void* malloc(size_t size) {
  if (size != 0 && in_target_process() && size == static_cast<size_t>(number("VORLIX_FAIL_MALLOC_SIZE", 0))) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  static bool replaced = false;
  const char* other = getenv("VORLIX_REPLACE_PACKAGE_WITH");
  if (!replaced && other != nullptr && in_target_process()) {
    replaced = true;
    if (real<int (*)(const char*, const char*)>("rename")(other, getenv("VORLIX_FAIL_EXE")) != 0)
      perror("fault shim: replace");
  }
  return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

int munmap(void* address, size_t length) {
  swap_before("munmap");
  return real<int (*)(void*, size_t)>("munmap")(address, length);
}

int rename(const char* from, const char* to) {
  swap_before("rename", from);
  return real<int (*)(const char*, const char*)>("rename")(from, to);
}

int execv(const char* path, char* const argv[]) {
  swap_before("execv");
  return real<int (*)(const char*, char* const*)>("execv")(path, argv);
}

pid_t fork() {
  swap_before("fork");
  FAULT_POINT(fork, -1);
  return real<pid_t (*)()>("fork")();
}

FILE* fopen(const char* path, const char* mode) {
  FAULT_POINT(fopen, nullptr);
  return real<FILE* (*)(const char*, const char*)>("fopen")(path, mode);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* file) {
  FAULT_POINT(fwrite, 0);
  return real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite")(data, size, count, file);
}

int fclose(FILE* file) {
  static long count_fclose = 0;
  if (should_fail("fclose", &count_fclose)) {
    int saved = errno;
    real<int (*)(FILE*)>("fclose")(file);  // the file is closed all the same
    errno = saved;
    return EOF;
  }
  return real<int (*)(FILE*)>("fclose")(file);
}

int fstat(int fd, struct stat* status) {
  FAULT_POINT(fstat, -1);
  return real<int (*)(int, struct stat*)>("fstat")(fd, status);
}

int fchmod(int fd, mode_t mode) {
  FAULT_POINT(fchmod, -1);
  return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int mkdir(const char* path, mode_t mode) {
  FAULT_POINT(mkdir, -1);
  return real<int (*)(const char*, mode_t)>("mkdir")(path, mode);
}

int symlink(const char* target, const char* path) {
  FAULT_POINT(symlink, -1);
  return real<int (*)(const char*, const char*)>("symlink")(target, path);
}

int waitid(idtype_t type, id_t id, siginfo_t* info, int options) {
  FAULT_POINT(waitid, -1);
  return real<int (*)(idtype_t, id_t, siginfo_t*, int)>("waitid")(type, id, info, options);
}

pid_t waitpid(pid_t pid, int* status, int options) {
  FAULT_POINT(waitpid, -1);
  return real<pid_t (*)(pid_t, int*, int)>("waitpid")(pid, status, options);
}

}  // extern "C"
