// Helpers for tests that run the real binaries as processes.
#ifndef VORLIX_TESTING_TEST_UTIL_H_
#define VORLIX_TESTING_TEST_UTIL_H_

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "format/launcher_config.h"
#include "format/package_writer.h"

namespace vorlix::testing {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

struct ProcessOptions {
  // Variables to set (name -> value) or, with std::nullopt, to remove.
  std::map<std::string, std::optional<std::string>> env;
  std::optional<mode_t> umask;
  std::string cwd;
  // Run as this uid/gid (and no supplementary groups); root ignores file
  // permissions, so permission cases drop to nobody.
  std::optional<uid_t> uid;
  // Start in a new process group (for signals sent to the whole group).
  bool new_process_group = false;
  // Signals the process starts with ignored (as under nohup, or as a shell's
  // background job).
  std::vector<int> ignored_signals;
  // Runs in the forked child just before exec (after |env| is applied); may
  // change the environment or the disk knowing the child's pid.
  std::function<void()> in_child;
  // argv as given, without making argv[0] the program path.
  bool empty_argv = false;
};

struct ProcessResult {
  int wait_status = 0;
  std::string out;
  std::string err;
  bool exited() const;
  int exit_code() const;    // -1 unless exited
  int term_signal() const;  // 0 unless killed by a signal
};

// A process whose standard output and error go to files.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  pid_t pid() const { return pid_; }
  // Waits for the end and collects the output.
  ProcessResult wait();
  // Reads what the process has written to standard output so far.
  std::string stdout_so_far() const;

 private:
  TempDir files_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Runs |program| with |argv| (argv[0] included) to its end.
ProcessResult run(const std::string& program, const std::vector<std::string>& argv,
                  const ProcessOptions& options = {});

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& data, mode_t mode = 0644);

// The bytes of the vorlix-launcher under test.
const std::string& launcher_image();
std::string launcher_path();

// Writes a package of |entries| (or of a ready compressed stream) as an
// executable file and returns its path.
std::string write_package(const fs::path& path, const std::vector<ArchiveEntry>& entries,
                          const CompressionOptions& options = {});
std::string write_package_stream(const fs::path& path, const std::string& compressed);

// Changes the launcher's configuration block inside the package at |path|,
// as a hand edit of its bytes would; throws when it has none.
void edit_launcher_config(const fs::path& path, const std::function<void(LauncherConfig&)>& edit);

// Sets the text field |field| (of |size| bytes) to |text|, zero-filled.
void set_config_text(char* field, size_t size, const std::string& text);

// A directory that every user can enter (mode 0755, below the system's
// temporary directory) with copies of vorlix-pack, vorlix-launcher and the
// probe. Tests that run a binary as another user run these copies: the build
// tree may lie below a directory that only its owner can enter.
const fs::path& binaries_for_other_users();

// Whether the fault shim (LD_PRELOAD) can be loaded into the binaries under
// test: not into a sanitizer build, whose runtime must come first. The plain
// build runs the tests that need it.
constexpr bool fault_shim_usable() {
#ifdef VORLIX_NO_FAULT_SHIM
  return false;
#else
  return true;
#endif
}

// What a forked child returned (its exit status, -1 when it did not exit)
// and wrote to standard error.
struct ChildOutcome {
  int exit_code;
  std::string err;
};

// Runs |body| in a forked child of the test process (for code that exits,
// or a child that changes its user or mount namespace) and returns its
// result as the exit status, with what it wrote to standard error.
ChildOutcome in_child(const std::function<int()>& body);

// Packs the directory |input| with vorlix-pack into |output| (compression
// level 1, quiet, and |options|), expecting success; returns the path.
std::string pack_directory(const fs::path& input, const fs::path& output, const std::vector<std::string>& options = {});

// The probe program (see probe.cc) as an executable file entry.
const std::string& probe_image();
ArchiveEntry probe(const std::string& name);

// A file entry with a /bin/sh script as content.
ArchiveEntry script(const std::string& name, const std::string& body);

// A relative name of exactly |length| characters made of |c| components:
// "n/n/.../nnn", so that long names stay within the file system's limit
// for one component.
std::string nested_name(size_t length, char c = 'n');

// The names in |dir|, sorted; none when it does not exist.
std::vector<std::string> names_in(const fs::path& dir);

// The value of the line "key=value" in |out| (the probe's report), or "".
std::string reported(const std::string& out, const std::string& key);

// The octal permission bits of |path| (not following links).
mode_t mode_of(const fs::path& path);

// Polls until |predicate| holds or |seconds| pass; true when it held.
bool eventually(double seconds, const std::function<bool()>& predicate);

}  // namespace vorlix::testing

#endif  // VORLIX_TESTING_TEST_UTIL_H_
