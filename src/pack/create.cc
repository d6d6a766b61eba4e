// vorlix-pack create: scans the input, refuses what a launcher could not
// recreate, and streams the package into a temporary file that is renamed
// into place only when complete.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/launcher_config.h"
#include "format/package_reader.h"
#include "format/package_writer.h"
#include "pack/commands.h"
#include "pack/display.h"
#include "pack/files.h"
#include "pack/launch_check.h"
#include "pack/payload_hash.h"
#include "pack/target_dir.h"
#include "platform/platform.h"

namespace vorlix::pack {
namespace {

namespace fs = std::filesystem;

struct InputEntry {
  std::string name;  // relative to the input, '/'-separated
  fs::path path;
  bool is_link = false;
  std::string target;
  uint64_t size = 0;
  bool executable = false;
};

struct Scan {
  std::vector<InputEntry> entries;
  std::vector<std::string> empty_directories;
  // OUTPUT, when it exists: no input may be that very file.
  std::optional<std::pair<dev_t, ino_t>> output;
};

void check_not_output(const Scan& scan, const fs::path& path, const struct stat& status, const std::string& output) {
  if (scan.output && scan.output->first == status.st_dev && scan.output->second == status.st_ino)
    fail(output, "is one of the inputs (" + path.string() + "); it would be packed into itself");
}

// Refuses, before any input is read, an OUTPUT that renaming the package
// over would harm: something other than a regular file (a device, a FIFO,
// a directory, a link to one of those), INPUT itself, or a place inside
// INPUT. Returns OUTPUT's identity when it exists.
std::optional<std::pair<dev_t, ino_t>> check_output(const CreateOptions& options) {
  const std::string& output = options.output;
  std::optional<std::pair<dev_t, ino_t>> identity;
  struct stat status;
  if (lstat(output.c_str(), &status) == 0) {
    bool link = S_ISLNK(status.st_mode);
    if (link && stat(output.c_str(), &status) != 0) status.st_mode = S_IFREG;  // a dangling link is replaced
    if (!S_ISREG(status.st_mode))
      fail(output, std::string("exists and is ") + (link ? "a link to " : "") + "a " + file_kind(status.st_mode) +
                       ", not a regular file; it is not replaced");
    identity = std::make_pair(status.st_dev, status.st_ino);
  }
  std::error_code error;
  fs::path input = fs::canonical(options.input, error);
  fs::path parent = fs::path(output).parent_path();
  fs::path where = fs::canonical(parent.empty() ? fs::path(".") : parent, error);
  if (!input.empty() && !where.empty()) {
    auto [end, unused] = std::mismatch(input.begin(), input.end(), where.begin(), where.end());
    if (end == input.end()) fail(output, "lies inside INPUT " + options.input + "; it would be packed into itself");
  }
  return identity;
}

void check_name(const std::string& name, const fs::path& path) {
  if (names_cache_complete_marker(name.data(), name.size()))
    fail(path.string(), "name kept for the cached directory's own record");
  if (name.size() > ENTRY_NAME_MAX)
    fail(path.string(), "name longer than " + std::to_string(ENTRY_NAME_MAX) + " bytes");
}

InputEntry scan_file(const fs::path& path, const std::string& name, const struct stat& status) {
  check_name(name, path);
  InputEntry entry;
  entry.name = name;
  entry.path = path;
  if (S_ISLNK(status.st_mode)) {
    entry.is_link = true;
    entry.target = read_link(path);
    if (entry.target.size() > ENTRY_NAME_MAX)
      fail(path.string(), "link target longer than " + std::to_string(ENTRY_NAME_MAX) + " bytes");
    return entry;
  }
  if (!S_ISREG(status.st_mode)) fail(path.string(), std::string("cannot pack a ") + file_kind(status.st_mode));
  // Refuse unreadable files now, before anything is written.
  close(open_for_reading(path));
  entry.size = static_cast<uint64_t>(status.st_size);
  entry.executable = (status.st_mode & S_IXUSR) != 0;
  return entry;
}

// Adds the entries below |directory|; returns how many it added.
size_t scan_directory(const fs::path& directory, const std::string& prefix, Scan& scan, const std::string& output_name) {
  size_t added = 0;
  std::vector<std::string> empty_below;
  for (const std::string& leaf : list_directory(directory)) {
    fs::path path = directory / leaf;
    std::string name = prefix + leaf;
    struct stat status = lstat_or_fail(path);
    check_not_output(scan, path, status, output_name);
    if (S_ISDIR(status.st_mode)) {
      check_name(name, path);
      size_t below = scan_directory(path, name + "/", scan, output_name);
      if (below == 0) empty_below.push_back(name);
      added += below;
    } else {
      scan.entries.push_back(scan_file(path, name, status));
      ++added;
    }
  }
  // A directory with nothing stored below is reported once, as a whole.
  if (added > 0) scan.empty_directories.insert(scan.empty_directories.end(), empty_below.begin(), empty_below.end());
  return added;
}

// Puts the program first and everything else in byte order, so that the
// same input always gives the same package.
void order_entries(std::vector<InputEntry>& entries, const std::string& exec) {
  std::sort(entries.begin(), entries.end(), [&](const InputEntry& a, const InputEntry& b) {
    if ((a.name == exec) != (b.name == exec)) return a.name == exec;
    return a.name < b.name;
  });
}

std::string choose_exec(const std::vector<InputEntry>& entries, const CreateOptions& options) {
  if (options.exec.empty()) {
    std::vector<std::string> candidates;
    for (const InputEntry& e : entries)
      if (!e.is_link && e.executable && e.name.find('/') == std::string::npos) candidates.push_back(e.name);
    std::sort(candidates.begin(), candidates.end());
    if (candidates.empty()) fail(options.input, "no executable file at the top; choose the program with --exec");
    if (candidates.size() > 1)
      fail(options.input, "several executable files at the top (" + candidates[0] + ", " + candidates[1] +
                              (candidates.size() > 2 ? ", ..." : "") + "); choose the program with --exec");
    return candidates[0];
  }
  std::string exec = fs::path(options.exec).lexically_normal().generic_string();
  if (exec.rfind("./", 0) == 0) exec = exec.substr(2);
  auto it = std::find_if(entries.begin(), entries.end(), [&](const InputEntry& e) { return e.name == exec; });
  if (it == entries.end()) fail("--exec " + options.exec, "no such file in " + options.input);
  if (it->is_link) fail("--exec " + options.exec, "not a regular file");
  if (!it->executable) fail("--exec " + options.exec, "not executable");
  return exec;
}

// INPUT itself is followed when it is a symbolic link, to a directory as to
// a file; links below it stay links.
Scan scan_input(const CreateOptions& options, std::string* exec) {
  Scan scan;
  scan.output = check_output(options);
  fs::path input(options.input);
  struct stat status = stat_or_fail(input);
  check_not_output(scan, input, status, options.output);
  if (S_ISDIR(status.st_mode)) {
    scan_directory(input, "", scan, options.output);
    *exec = choose_exec(scan.entries, options);
  } else if (S_ISREG(status.st_mode)) {
    std::string name = input.filename().string();
    if (!options.exec.empty() && options.exec != name)
      fail("--exec " + options.exec, "INPUT is a single file; the program is " + name);
    InputEntry entry = scan_file(fs::canonical(input), name, status);
    if (!entry.executable) fail(options.input, "not executable");
    scan.entries.push_back(entry);
    *exec = name;
  } else {
    fail(options.input, std::string("cannot pack a ") + file_kind(status.st_mode));
  }
  if (exec->size() > EXEC_NAME_MAX)
    fail(*exec, "program path longer than " + std::to_string(EXEC_NAME_MAX) + " bytes; launchers could not run it");
  order_entries(scan.entries, *exec);
  return scan;
}

// The launcher beside vorlix-pack (a build tree), else where the install
// puts helper programs, relative to vorlix-pack.
std::string default_launcher() {
  char self[PATH_MAX];
  if (!platform_own_executable_path(self, sizeof self))
    fail("vorlix-launcher", "cannot find the directory of vorlix-pack; use --launcher");
  fs::path directory = fs::path(self).parent_path();
  fs::path beside = directory / "vorlix-launcher";
  if (fs::exists(beside)) return beside.string();
  fs::path installed = (directory / VORLIX_LAUNCHER_DIR_FROM_BIN / "vorlix-launcher").lexically_normal();
  if (fs::exists(installed)) return installed.string();
  fail("vorlix-launcher", "not found beside vorlix-pack nor in " + installed.parent_path().string() + "; use --launcher");
}

struct Launcher {
  std::string path;
  std::string image;
  size_t config_offset = std::string::npos;
};

Launcher read_launcher(const CreateOptions& options) {
  Launcher launcher;
  launcher.path = options.launcher.empty() ? default_launcher() : options.launcher;
  launcher.image = read_whole_file(launcher.path);
  if (launcher.image.compare(0, 4, "\x7f" "ELF") != 0) fail(launcher.path, "not an executable launcher image");
  try {
    launcher.config_offset = find_launcher_config(launcher.image);
  } catch (const FormatError& e) {
    fail(launcher.path, e.what());
  }
  return launcher;
}

// Whether the package needs the launcher's configuration block filled in:
// without --target-dir, --cache and --grace-period the image stays as it
// is, byte for byte.
bool configured(const CreateOptions& options) {
  return options.cache || !options.target_spec.empty() || options.grace_period.has_value();
}

void check_configuration(const CreateOptions& options, const Launcher& launcher) {
  if (!configured(options)) return;
  if (launcher.config_offset == std::string::npos)
    fail(launcher.path, "launcher image has no configuration block; --target-dir, --cache and --grace-period need one");
}

// The package's name for the cached default: OUTPUT's last component
// without its extension.
std::string package_name(const std::string& output) { return fs::path(output).stem().string(); }

// The filled configuration block of a package whose payload hashes to
// |payload_hash|.
LauncherConfig make_configuration(const CreateOptions& options, const std::string& exec,
                                  const std::string& payload_hash) {
  LauncherConfig config;
  memset(&config, 0, sizeof config);
  memcpy(config.mark, LAUNCHER_CONFIG_MARK, sizeof config.mark);
  config.mode = options.cache ? LAUNCH_MODE_CACHED : LAUNCH_MODE_TEMPORARY;
  if (options.grace_period) config.grace_period = launcher_config_grace_period_field(*options.grace_period);
  std::string spec = options.target_spec;
  if (spec.empty() && options.cache) spec = default_cache_spec(package_name(options.output), payload_hash);
  if (spec.size() >= sizeof config.target_spec) fail("--target-dir '" + spec + "'", "too long");
  memcpy(config.target_spec, spec.data(), spec.size());
  memcpy(config.payload_hash, payload_hash.data(), std::min(payload_hash.size(), sizeof config.payload_hash - 1));
  memcpy(config.exec_name, exec.data(), std::min(exec.size(), sizeof config.exec_name - 1));
  // The options were checked by the rules the launcher applies; this holds
  // unless the packer itself is wrong.
  if (const char* problem = launcher_config_problem(config))
    fail(options.output, std::string("the configuration made for the launcher is refused by it: ") + problem);
  return config;
}

// The temporary output, removed again if anything stops the packing: a
// failure, or an interrupt from the terminal.
char pending_output[PATH_MAX];

// Every signal whose default action ends the packer.
constexpr int ENDING_SIGNALS[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGPIPE, SIGUSR1,
                                  SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

void remove_pending_output_and_die(int signal_number) {
  unlink(pending_output);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// Those inherited as ignored stay ignored: they would not end the packer.
void catch_ending_signals() {
  for (int s : ENDING_SIGNALS) {
    struct sigaction inherited;
    if (sigaction(s, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    signal(s, remove_pending_output_and_die);
  }
}

void restore_ending_signals() {
  for (int s : ENDING_SIGNALS) {
    struct sigaction current;
    if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == remove_pending_output_and_die)
      signal(s, SIG_DFL);
  }
}

class PendingOutput {
 public:
  explicit PendingOutput(const std::string& output) : output_(output) {
    fs::path target(output);
    fs::path directory = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    // Appended piece by piece: GCC 12 at -O3 takes "." + std::string for an
    // overlapping copy (a false -Wrestrict).
    std::string leaf = ".";
    leaf += target.filename().string();
    leaf += ".tmp-XXXXXX";
    std::string pattern = (directory / leaf).string();
    if (pattern.size() >= sizeof pending_output) fail(output, "path too long");
    // The file is made with the ending signals blocked and their handler
    // already in place, so that no signal finds it there unrecorded.
    sigset_t ending, previous;
    sigemptyset(&ending);
    for (int s : ENDING_SIGNALS) sigaddset(&ending, s);
    sigprocmask(SIG_BLOCK, &ending, &previous);
    catch_ending_signals();
    fd_ = mkstemp(pattern.data());
    int error = errno;
    if (fd_ >= 0) memcpy(pending_output, pattern.c_str(), pattern.size() + 1);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd_ < 0) {
      restore_ending_signals();
      fail(output, "cannot create a file beside it: " + errno_text(error));
    }
    path_ = pattern;
  }
  ~PendingOutput() {
    if (fd_ >= 0) close(fd_);
    if (!committed_) unlink(path_.c_str());
    restore_ending_signals();
  }
  int fd() const { return fd_; }
  void write_at(size_t offset, const void* data, size_t size) {
    if (pwrite(fd_, data, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
      fail(output_, "cannot write: " + errno_text(errno));
  }
  void commit() {
    if (fchmod(fd_, 0755) != 0) fail(output_, "cannot set its mode: " + errno_text(errno));
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) fail(output_, "cannot write: " + errno_text(errno));
    if (rename(path_.c_str(), output_.c_str()) != 0) fail(output_, "cannot move into place: " + errno_text(errno));
    committed_ = true;
  }

 private:
  std::string output_;
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

// The progress line, on a terminal only, at most ten times a second: the
// archive bytes the compressor has taken in, the compressed bytes out, the
// rate, and the share of the archive done. It moves while a large file is
// compressed, not only between files.
class Progress {
 public:
  Progress(bool shown, uint64_t total) : shown_(shown), total_(total), start_(std::chrono::steady_clock::now()) {}
  bool shown() const { return shown_; }
  void update(uint64_t in, uint64_t out) {
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    double seconds = std::chrono::duration<double>(now - start_).count();
    uint64_t rate = seconds > 0 ? static_cast<uint64_t>(static_cast<double>(in) / seconds) : 0;
    int percent = total_ > 0 ? static_cast<int>(100.0 * static_cast<double>(in) / static_cast<double>(total_)) : 100;
    fprintf(stderr, "\r\033[K%s in, %s out, %s/s, %3d%%", human_size(in).c_str(), human_size(out).c_str(),
            human_size(rate).c_str(), std::min(percent, 100));
    fflush(stderr);
    drawn_ = true;
  }
  void finish() {
    if (drawn_) fputs("\r\033[K", stderr);
  }

 private:
  bool shown_;
  uint64_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_{};
  bool drawn_ = false;
};

}  // namespace

int create_package(const CreateOptions& options) {
  std::string exec;
  Scan scan = scan_input(options, &exec);
  Launcher launcher = read_launcher(options);
  check_configuration(options, launcher);
  std::sort(scan.empty_directories.begin(), scan.empty_directories.end());
  for (const std::string& directory : scan.empty_directories)
    fprintf(stderr, "vorlix-pack: create: warning: %s: empty directory not stored\n", display_text(directory).c_str());

  uint64_t total = 0;
  uint64_t archive_size = 1;  // the end marker
  for (const InputEntry& e : scan.entries) {
    total += e.size;
    archive_size += archive_record_size(e.name, e.is_link, e.is_link ? e.target.size() : e.size);
  }

  PendingOutput output(options.output);
  // Everything after the launcher image is the payload, hashed on its way.
  PayloadHasher hasher;
  auto write_out = [&](const void* data, size_t size) {
    write_all(output.fd(), data, size, options.output);
    hasher.update(data, size);
  };
  write_all(output.fd(), launcher.image.data(), launcher.image.size(), options.output);
  write_payload_header(write_out);

  CompressionOptions compression;
  compression.level = options.level;
  // Always through worker threads, even one, so that the bytes do not
  // depend on the thread count.
  compression.threads = std::max(1, options.threads > 0 ? options.threads : online_cpus());
  compression.pledged_size = archive_size;
  StreamCompressor compressor(write_out, compression);
  ArchiveEncoder encoder([&](const void* data, size_t size) { compressor.write(data, size); });
  Progress progress(!options.quiet && isatty(STDERR_FILENO), archive_size);
  if (progress.shown())
    compressor.on_progress([&](uint64_t consumed, uint64_t produced) { progress.update(consumed, produced); });
  uint64_t done = 0;
  std::vector<char> buffer(1 << 17);
  for (const InputEntry& e : scan.entries) {
    if (e.is_link) {
      encoder.link(e.name, e.target);
      continue;
    }
    encoder.begin_file(e.name, e.executable ? ENTRY_FLAG_EXECUTABLE : 0, e.size);
    copy_file_exactly(e.path, e.size, buffer, [&](const void* data, size_t size) {
      encoder.content(data, size);
      done += size;
    });
  }
  encoder.end_marker();
  compressor.end_frame();
  std::string trailer = payload_trailer(PAYLOAD_HEADER_SIZE + compressor.bytes_out());
  write_all(output.fd(), trailer.data(), trailer.size(), options.output);
  if (configured(options)) {
    LauncherConfig config = make_configuration(options, exec, hasher.hex());
    output.write_at(launcher.config_offset, &config, sizeof config);
  }
  output.commit();
  progress.finish();

  if (!options.quiet) {
    uint64_t payload = PAYLOAD_HEADER_SIZE + compressor.bytes_out() + PAYLOAD_TRAILER_SIZE;
    fprintf(stderr, "vorlix-pack: create: %s: %zu %s, %s in, %s package (payload %s, ratio %.2f)\n",
            display_text(options.output).c_str(), scan.entries.size(), scan.entries.size() == 1 ? "entry" : "entries",
            human_size(total).c_str(),
            human_size(launcher.image.size() + payload).c_str(), human_size(payload).c_str(),
            static_cast<double>(total) / static_cast<double>(payload));
  }
  return 0;
}

}  // namespace vorlix::pack
