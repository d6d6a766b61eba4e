// Signals sent to a running package: what reaches the program, how often,
// how the launcher ends, and that nothing is left behind. Real signals, real
// processes; times are asserted with slack.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// How often the program saw |signal_number|, from its "caught=" line.
int times_caught(const std::string& out, int signal_number) {
  std::string caught = "," + reported(out, "caught") + ",";
  std::string key = "," + std::to_string(signal_number) + ":";
  size_t at = caught.find(key);
  return at == std::string::npos ? 0 : std::stoi(caught.substr(at + key.size()));
}

bool process_exists(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

class InterruptTest : public ::testing::Test {
 protected:
  InterruptTest() { fs::create_directory(tmp()); }
  fs::path tmp() const { return work_ / "tmp"; }
  fs::path ready() const { return work_ / "ready"; }

  ProcessOptions options(std::map<std::string, std::optional<std::string>> env) const {
    ProcessOptions o;
    o.env = std::move(env);
    o.env["TMPDIR"] = tmp().string();
    o.env["PROBE_READY"] = ready().string();
    return o;
  }

  std::string package() {
    return write_package(work_ / "pkg", {probe("run"), {"data", 0, "beside the program"}});
  }

  // Starts |package| and waits until its program runs; returns the program's pid.
  std::unique_ptr<Process> start(const std::string& package, const ProcessOptions& o, pid_t* program = nullptr) {
    fs::remove(ready());
    auto process = std::make_unique<Process>(package, std::vector<std::string>{package}, o);
    EXPECT_TRUE(eventually(20, [&] { return fs::exists(ready()); })) << "the program never started";
    if (program != nullptr) *program = std::stoi(read_file(ready()));
    return process;
  }

  TempDir work_;
};

// --- The table: signal x how it is sent x what the program does -----------

enum class Sender {
  kLauncherPid,    // kill(launcher, sig), as docker stop or a service manager
  kProcessGroup,   // kill(-group, sig), as timeout(1) or a killed control group
  kTerminal,       // the terminal's own: a control character, or a hang-up
};

enum class Program { kHandles, kIgnores, kDies };

struct SignalCase {
  const char* name;
  int signal_number;
  Sender sender;
  Program program;
  int min_seen, max_seen;  // how often a handling program saw the signal
  int status;              // the launcher's exit status
  double min_seconds, max_seconds;
};

constexpr double kGraceMin = 4.5, kGraceMax = 8.0, kQuick = 3.0;

// A pseudo-terminal that becomes the controlling terminal of the process
// started with its in_child, which then leads a new session and is the
// terminal's foreground process group.
class Terminal {
 public:
  Terminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
    // The package must not hold the master open, or it would never hang up.
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    slave_ = ptsname(master_);
  }
  ~Terminal() { hang_up(); }
  std::function<void()> attach() const {
    std::string slave = slave_;
    return [slave] {
      setsid();
      int fd = open(slave.c_str(), O_RDWR);
      ioctl(fd, TIOCSCTTY, 0);
      dup2(fd, STDIN_FILENO);
      close(fd);
    };
  }
  void type(char c) { (void)!write(master_, &c, 1); }
  // Closing the master side hangs the terminal up.
  void hang_up() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class SignalTableTest : public InterruptTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalTableTest, ProgramHearsItOnceAndNothingIsLeft) {
  const SignalCase& c = GetParam();
  std::string sig = std::to_string(c.signal_number);
  std::map<std::string, std::optional<std::string>> env = {{"PROBE_SLEEP", "60"}};
  if (c.program == Program::kHandles) env["PROBE_HANDLE"] = sig;
  if (c.program == Program::kIgnores) env["PROBE_IGNORE"] = sig;
  // A program that ignores a signal that is not a request to stop ends by
  // itself.
  if (c.program == Program::kIgnores && c.status == 0) env["PROBE_SLEEP"] = "1.5";
  ProcessOptions o = options(env);
  Terminal terminal;
  if (c.sender == Sender::kProcessGroup) o.new_process_group = true;
  if (c.sender == Sender::kTerminal) o.in_child = terminal.attach();

  pid_t program = 0;
  auto process = start(package(), o, &program);
  Clock::time_point sent = Clock::now();
  switch (c.sender) {
    case Sender::kLauncherPid: kill(process->pid(), c.signal_number); break;
    case Sender::kProcessGroup: kill(-process->pid(), c.signal_number); break;
    case Sender::kTerminal:
      if (c.signal_number == SIGHUP)
        terminal.hang_up();
      else
        terminal.type(c.signal_number == SIGINT ? '\x03' : '\x1c');
      break;
  }
  ProcessResult r = process->wait();
  double elapsed = seconds_since(sent);

  EXPECT_EQ(r.exited() ? r.exit_code() : 128 + r.term_signal(), c.status) << r.out << r.err;
  if (c.program == Program::kHandles) {
    int seen = times_caught(r.out, c.signal_number);
    EXPECT_GE(seen, c.min_seen) << r.out;
    EXPECT_LE(seen, c.max_seen) << r.out;
  }
  EXPECT_GE(elapsed, c.min_seconds);
  EXPECT_LE(elapsed, c.max_seconds);
  EXPECT_TRUE(fs::is_empty(tmp()));
  EXPECT_TRUE(eventually(2, [&] { return !process_exists(program); })) << "the program outlived the launcher";
  if (process_exists(program)) kill(program, SIGKILL);
}

const SignalCase kSignalCases[] = {
    // Sent to the launcher alone: the program hears it exactly once.
    {"HupToPidHandled", SIGHUP, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"IntToPidHandled", SIGINT, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"QuitToPidHandled", SIGQUIT, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"TermToPidHandled", SIGTERM, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"Usr1ToPidHandled", SIGUSR1, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"Usr2ToPidHandled", SIGUSR2, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"AlrmToPidHandled", SIGALRM, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"WinchToPidHandled", SIGWINCH, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 0, kQuick},
    // Ignored: a termination signal still ends the program after the grace
    // period; one that is only sent on leaves the launcher waiting.
    {"TermToPidIgnored", SIGTERM, Sender::kLauncherPid, Program::kIgnores, 0, 0, 137, kGraceMin, kGraceMax},
    {"HupToPidIgnored", SIGHUP, Sender::kLauncherPid, Program::kIgnores, 0, 0, 0, 1.0, kQuick},
    {"Usr1ToPidIgnored", SIGUSR1, Sender::kLauncherPid, Program::kIgnores, 0, 0, 0, 1.0, kQuick},
    // Default actions: the launcher ends as the program did.
    {"TermToPidDies", SIGTERM, Sender::kLauncherPid, Program::kDies, 0, 0, 128 + SIGTERM, 0, kQuick},
    {"HupToPidDies", SIGHUP, Sender::kLauncherPid, Program::kDies, 0, 0, 128 + SIGHUP, 0, kQuick},
    {"Usr1ToPidDies", SIGUSR1, Sender::kLauncherPid, Program::kDies, 0, 0, 128 + SIGUSR1, 0, kQuick},
    {"AlrmToPidDies", SIGALRM, Sender::kLauncherPid, Program::kDies, 0, 0, 128 + SIGALRM, 0, kQuick},
    // Sent to the whole group: the program's own copy and the one sent on
    // may both arrive (the README advises signalling the launcher alone).
    {"TermToGroupHandled", SIGTERM, Sender::kProcessGroup, Program::kHandles, 1, 2, 10, 0, kQuick},
    {"IntToGroupHandled", SIGINT, Sender::kProcessGroup, Program::kHandles, 1, 2, 10, 0, kQuick},
    {"Usr1ToGroupHandled", SIGUSR1, Sender::kProcessGroup, Program::kHandles, 1, 2, 10, 0, kQuick},
    {"TermToGroupDies", SIGTERM, Sender::kProcessGroup, Program::kDies, 0, 0, 128 + SIGTERM, 0, kQuick},
    // From the terminal: the kernel signals the whole foreground group, so
    // nothing is sent on. A hang-up signals the session's leader alone (here
    // the launcher), which tells the program.
    {"CtrlCHandled", SIGINT, Sender::kTerminal, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"CtrlBackslashHandled", SIGQUIT, Sender::kTerminal, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"HangUpHandled", SIGHUP, Sender::kTerminal, Program::kHandles, 1, 1, 10, 0, kQuick},
    {"CtrlCDies", SIGINT, Sender::kTerminal, Program::kDies, 0, 0, 128 + SIGINT, 0, kQuick},
    {"CtrlCIgnored", SIGINT, Sender::kTerminal, Program::kIgnores, 0, 0, 0, 1.0, kQuick},
};

INSTANTIATE_TEST_SUITE_P(Signals, SignalTableTest, ::testing::ValuesIn(kSignalCases),
                         [](const ::testing::TestParamInfo<SignalCase>& info) { return info.param.name; });

// --- Around the table ------------------------------------------------------

TEST_F(InterruptTest, ChildThatEndsWithinTheGracePeriodKeepsItsStatus) {
  auto process = start(package(), options({{"PROBE_IGNORE", "15"}, {"PROBE_SLEEP", "1"}, {"PROBE_EXIT", "3"}}));
  Clock::time_point sent = Clock::now();
  kill(process->pid(), SIGTERM);
  ProcessResult r = process->wait();
  EXPECT_EQ(r.exit_code(), 3);
  EXPECT_LT(seconds_since(sent), 4.0);
  EXPECT_TRUE(fs::is_empty(tmp()));
}

TEST_F(InterruptTest, ChildKilledFromOutside) {
  pid_t program = 0;
  auto process = start(package(), options({{"PROBE_SLEEP", "60"}}), &program);
  kill(program, SIGKILL);
  ProcessResult r = process->wait();
  EXPECT_EQ(r.term_signal(), SIGKILL);
  EXPECT_TRUE(fs::is_empty(tmp()));
}

// The state letter of /proc/PID/stat: 'T' when stopped.
char process_state(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

// A job stopped as a shell stops it (SIGTSTP to its process group, as Ctrl-Z
// does) stops launcher and program alike; continuing the group continues
// both, and the program then ends as it would have.
TEST_F(InterruptTest, JobControlIsUntouched) {
  ProcessOptions o = options({{"PROBE_SLEEP", "1"}, {"PROBE_EXIT", "4"}});
  o.new_process_group = true;
  pid_t program = 0;
  auto process = start(package(), o, &program);
  kill(-process->pid(), SIGTSTP);
  EXPECT_TRUE(eventually(5, [&] { return process_state(process->pid()) == 'T' && process_state(program) == 'T'; }));
  kill(-process->pid(), SIGCONT);
  ProcessResult r = process->wait();
  EXPECT_EQ(r.exit_code(), 4) << r.err;
  EXPECT_TRUE(fs::is_empty(tmp()));
}

// Inherited as ignored (nohup; a shell's background job): the launcher leaves
// the signal alone and the program starts with it ignored, so a hang-up
// changes nothing.
TEST_F(InterruptTest, IgnoredSignalsStayIgnored) {
  ProcessOptions o = options({{"PROBE_SLEEP", "1"}});
  o.ignored_signals = {SIGHUP, SIGINT, SIGQUIT};
  auto process = start(package(), o);
  kill(process->pid(), SIGHUP);
  kill(process->pid(), SIGINT);
  ProcessResult r = process->wait();
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(reported(r.out, "ignored"), "1,2,3");
  EXPECT_EQ(reported(r.out, "blocked"), "");
  EXPECT_TRUE(fs::is_empty(tmp()));
}

// With SIGCHLD inherited as ignored the kernel would reap the child: the
// launcher still reports the program's status, and the program still starts
// with SIGCHLD ignored and nothing blocked.
TEST_F(InterruptTest, IgnoredSigchldKeepsTheStatus) {
  ProcessOptions o = options({{"PROBE_EXIT", "3"}});
  o.ignored_signals = {SIGCHLD};
  ProcessResult r = run(package(), {"pkg"}, o);
  EXPECT_EQ(r.exit_code(), 3) << r.err;
  EXPECT_EQ(reported(r.out, "ignored"), std::to_string(SIGCHLD));
  EXPECT_EQ(reported(r.out, "blocked"), "");
  EXPECT_TRUE(fs::is_empty(tmp()));
}

// While files are being written: a termination signal stops the extraction
// within a piece, what was written is removed, and the launcher ends by that
// signal without a word; a signal that is only sent on is held back and
// reaches the program when it starts (here it dies of it, and so does the
// launcher). Nothing is left either way.
TEST_F(InterruptTest, SignalDuringExtraction) {
  std::vector<ArchiveEntry> entries = {probe("run")};
  for (int i = 0; i < 40000; ++i) entries.push_back({"d/f" + std::to_string(i), 0, "x"});
  entries.push_back({"big", 0, std::string(64 << 20, 'b')});
  std::string package = write_package(work_ / "pkg", entries, {.level = 1});
  for (int signal_number : {SIGTERM, SIGHUP, SIGINT, SIGUSR1}) {
    SCOPED_TRACE(signal_number);
    // The program sleeps, so that a signal the test sends late (on a loaded
    // machine) still finds it running: the outcome is then the same.
    Process process(package, {package}, options({{"PROBE_SLEEP", "3"}}));
    ASSERT_TRUE(eventually(20, [&] {
      for (auto& e : fs::directory_iterator(tmp()))
        if (fs::exists(e.path() / "d")) return true;
      return false;
    }));
    Clock::time_point sent = Clock::now();
    kill(process.pid(), signal_number);
    ProcessResult r = process.wait();
    EXPECT_EQ(r.term_signal(), signal_number) << r.exit_code() << " " << r.err;
    EXPECT_EQ(r.err, "");
    if (signal_number != SIGUSR1) {
      EXPECT_LT(seconds_since(sent), 1.0);
    }
    EXPECT_TRUE(fs::is_empty(tmp()));
  }
}

// SIGTERM at many instants around the start: right after the launcher is
// spawned, a little later, and right after the program's first output. No
// round may lose the signal (the program would run its full two seconds and
// exit 0), let the program run without its files, or leave anything behind.
TEST_F(InterruptTest, StartUpRace) {
  std::string package = this->package();
  ProcessOptions o =
      options({{"PROBE_HANDLE", "15"}, {"PROBE_LINGER", "0"}, {"PROBE_SLEEP", "2"}, {"PROBE_CHECK", "data"}});
  o.env.erase("PROBE_READY");
  std::map<int, int> outcomes;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    Process process(package, {package}, o);
    if (round % 3 == 2) {
      eventually(5, [&] { return !process.stdout_so_far().empty(); });
    } else if (round % 3 == 1) {
      std::this_thread::sleep_for(std::chrono::microseconds(round * 40));
    }
    kill(process.pid(), SIGTERM);
    ProcessResult r = process.wait();
    int status = r.exited() ? r.exit_code() : 128 + r.term_signal();
    ++outcomes[status];
    // 10: the program got it and ended; 143: the launcher or the program
    // ended by it; 2: the extraction it interrupted failed.
    EXPECT_TRUE(status == 10 || status == 128 + SIGTERM || status == 2) << status << "\n" << r.out << r.err;
    if (!reported(r.out, "files").empty()) {
      EXPECT_EQ(reported(r.out, "files"), "ok");
    }
    ASSERT_TRUE(fs::is_empty(tmp()));
  }
  std::string summary;
  for (auto [status, count] : outcomes) summary += " " + std::to_string(status) + "x" + std::to_string(count);
  RecordProperty("outcomes", summary);
}

}  // namespace
}  // namespace vorlix::testing
