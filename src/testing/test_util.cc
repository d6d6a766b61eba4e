#include "testing/test_util.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vorlix::testing {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "vorlix-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests make read-only directories; give write access back first.
  for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

bool ProcessResult::exited() const { return WIFEXITED(wait_status); }
int ProcessResult::exit_code() const { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }
int ProcessResult::term_signal() const { return WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0; }

Process::Process(const std::string& program, const std::vector<std::string>& argv, const ProcessOptions& options) {
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);
  std::string out_path = (files_.path() / "out").string();
  std::string err_path = (files_.path() / "err").string();

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (options.new_process_group) setpgid(0, 0);
    if (options.umask) umask(*options.umask);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    // Signals that the test runner may have set aside must not leak into the
    // program under test.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGPIPE}) signal(s, SIG_DFL);
    for (int s : options.ignored_signals) signal(s, SIG_IGN);
    for (const auto& [name, value] : options.env) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    if (options.in_child) options.in_child();
    if (options.uid) {
      if (setgroups(0, nullptr) != 0 || setgid(*options.uid) != 0 || setuid(*options.uid) != 0) _exit(126);
    }
    if (options.empty_argv) {
      char* no_args[] = {nullptr};
      execve(program.c_str(), no_args, environ);
    } else {
      execve(program.c_str(), argp.data(), environ);
    }
    _exit(127);
  }
}

Process::~Process() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

ProcessResult Process::wait() {
  ProcessResult result;
  while (waitpid(pid_, &result.wait_status, 0) == -1) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  reaped_ = true;
  result.out = read_file(files_.path() / "out");
  result.err = read_file(files_.path() / "err");
  return result;
}

std::string Process::stdout_so_far() const { return read_file(files_.path() / "out"); }

ProcessResult run(const std::string& program, const std::vector<std::string>& argv, const ProcessOptions& options) {
  Process process(program, argv, options);
  return process.wait();
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void write_file(const fs::path& path, const std::string& data, mode_t mode) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
  if (chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + path.string());
}

std::string launcher_path() { return VORLIX_LAUNCHER_PATH; }

const fs::path& binaries_for_other_users() {
  static TempDir directory;
  static const bool copied = [] {
    if (chmod(directory.path().c_str(), 0755) != 0) throw std::runtime_error("cannot chmod " + directory.path().string());
    for (const char* binary : {VORLIX_PACK_PATH, VORLIX_LAUNCHER_PATH, VORLIX_PROBE_PATH})
      fs::copy_file(binary, directory / fs::path(binary).filename());
    return true;
  }();
  (void)copied;
  return directory.path();
}

ChildOutcome in_child(const std::function<int()>& body) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {-1, "pipe failed"};
  pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    dup2(pipe_fds[1], STDERR_FILENO);
    close(pipe_fds[1]);
    _exit(body());
  }
  close(pipe_fds[1]);
  std::string err;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) err.append(buffer, static_cast<size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
}

std::string pack_directory(const fs::path& input, const fs::path& output, const std::vector<std::string>& options) {
  std::vector<std::string> args = {"vorlix-pack", "create", "-q", "--level", "1", "-o", output.string()};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(input.string());
  ProcessResult r = run(VORLIX_PACK_PATH, args);
  if (r.exit_code() != 0) throw std::runtime_error("vorlix-pack create failed: " + r.err);
  return output.string();
}

const std::string& probe_image() {
  static const std::string image = read_file(VORLIX_PROBE_PATH);
  return image;
}

ArchiveEntry probe(const std::string& name) { return ArchiveEntry{name, ENTRY_FLAG_EXECUTABLE, probe_image()}; }

const std::string& launcher_image() {
  static const std::string image = read_file(launcher_path());
  return image;
}

std::string write_package_stream(const fs::path& path, const std::string& compressed) {
  write_file(path, frame_package(launcher_image(), compressed), 0755);
  return path.string();
}

std::string write_package(const fs::path& path, const std::vector<ArchiveEntry>& entries,
                          const CompressionOptions& options) {
  return write_package_stream(path, compress(encode_archive(entries), options));
}

void edit_launcher_config(const fs::path& path, const std::function<void(LauncherConfig&)>& edit) {
  std::string bytes = read_file(path);
  size_t at = bytes.find(std::string(LAUNCHER_CONFIG_MARK, sizeof LAUNCHER_CONFIG_MARK));
  if (at == std::string::npos || bytes.size() - at < sizeof(LauncherConfig))
    throw std::runtime_error(path.string() + ": no launcher configuration block");
  LauncherConfig config;
  memcpy(&config, bytes.data() + at, sizeof config);
  edit(config);
  memcpy(bytes.data() + at, &config, sizeof config);
  write_file(path, bytes, 0755);
}

void set_config_text(char* field, size_t size, const std::string& text) {
  memset(field, 0, size);
  memcpy(field, text.data(), std::min(text.size(), size));
}

ArchiveEntry script(const std::string& name, const std::string& body) {
  return ArchiveEntry{name, ENTRY_FLAG_EXECUTABLE, "#!/bin/sh\n" + body + "\n"};
}

std::string nested_name(size_t length, char c) {
  std::string name;
  while (name.size() + 2 < length) name += std::string(1, c) + "/";
  return name + std::string(length - name.size(), c);
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = fs::directory_iterator(dir, error); !error && it != fs::directory_iterator(); it.increment(error))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string reported(const std::string& out, const std::string& key) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

mode_t mode_of(const fs::path& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return static_cast<mode_t>(-1);
  return status.st_mode & 07777;
}

bool eventually(double seconds, const std::function<bool()>& predicate) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return predicate();
}

}  // namespace vorlix::testing
