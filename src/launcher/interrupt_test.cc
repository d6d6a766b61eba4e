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
#include <sstream>
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

// The state letter of /proc/PID/stat ('T' when stopped, 'Z' a zombie), or
// '?' when there is no such process.
char process_state(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

// Neither gone nor a zombie waiting for a parent that is not ours.
bool running(pid_t pid) {
  char state = process_state(pid);
  return state != '?' && state != 'Z' && state != 'X';
}

// The processes whose parent is |parent|.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> children;
  std::error_code error;
  for (auto it = fs::directory_iterator("/proc", error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string stat = read_file(it->path() / "stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream fields(stat.substr(paren + 1));
    char state = 0;
    pid_t ppid = 0;
    if (fields >> state >> ppid && ppid == parent) children.push_back(std::stoi(name));
  }
  return children;
}

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

  // Packs |entries| (the first is the program; by default the probe with a
  // file beside it) with vorlix-pack create and |flags|.
  std::string package(const std::vector<std::string>& flags = {}, std::vector<ArchiveEntry> entries = {}) {
    if (entries.empty()) entries = {probe("run"), {"data", 0, "beside the program"}};
    std::string n = std::to_string(++packages_);
    fs::path app = work_ / ("app" + n);
    for (const ArchiveEntry& e : entries)
      write_file(app / e.name, e.data, (e.flags & ENTRY_FLAG_EXECUTABLE) != 0 ? 0755 : 0644);
    std::string package = (work_ / ("pkg" + n)).string();
    std::vector<std::string> args = {"vorlix-pack", "create", "-q",     "--level", "1",
                                     "--threads",   "1",      "--exec", entries[0].name, "-o",
                                     package};
    args.insert(args.end(), flags.begin(), flags.end());
    args.push_back(app.string());
    ProcessResult r = run(VORLIX_PACK_PATH, args);
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    return package;
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
  int packages_ = 0;
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
  // The launcher's status: an exit code, or 128 + N where it must have died
  // of signal N (a shell tells the two apart).
  int status;
  double min_seconds, max_seconds;
  double runs_for = 60;  // how long the program runs by itself
  int grace = -1;        // the package's --grace-period; -1: the default
  double linger = 0.4;   // how long a handling program goes on after the signal
  // Sent to the launcher's pid shortly after the first signal; the program
  // handles it (and the counts are of it).
  int then_signal = 0;
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
  void type_line(const std::string& line) {
    std::string text = line + "\n";
    (void)!write(master_, text.data(), text.size());
  }
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
  std::map<std::string, std::optional<std::string>> env = {{"PROBE_SLEEP", std::to_string(c.runs_for)},
                                                           {"PROBE_LINGER", std::to_string(c.linger)}};
  if (c.program == Program::kHandles) env["PROBE_HANDLE"] = sig;
  if (c.program == Program::kIgnores) env["PROBE_IGNORE"] = sig;
  if (c.then_signal != 0) env["PROBE_HANDLE"] = std::to_string(c.then_signal);
  int counted = c.then_signal != 0 ? c.then_signal : c.signal_number;
  ProcessOptions o = options(env);
  Terminal terminal;
  if (c.sender == Sender::kProcessGroup) o.new_process_group = true;
  if (c.sender == Sender::kTerminal) o.in_child = terminal.attach();

  pid_t program = 0;
  std::vector<std::string> flags;
  if (c.grace >= 0) flags = {"--grace-period", std::to_string(c.grace)};
  auto process = start(package(flags), o, &program);
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
  if (c.then_signal != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(process->pid(), c.then_signal);
  }
  ProcessResult r = process->wait();
  double elapsed = seconds_since(sent);

  if (c.status > 128) {
    EXPECT_EQ(r.term_signal(), c.status - 128) << "exit " << r.exit_code() << "\n" << r.out << r.err;
  } else {
    EXPECT_EQ(r.exit_code(), c.status) << "signal " << r.term_signal() << "\n" << r.out << r.err;
  }
  if (c.program == Program::kHandles || c.then_signal != 0) {
    int seen = times_caught(r.out, counted);
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
    {"HupToPidIgnored", SIGHUP, Sender::kLauncherPid, Program::kIgnores, 0, 0, 0, 1.0, kQuick, 1.5},
    {"Usr1ToPidIgnored", SIGUSR1, Sender::kLauncherPid, Program::kIgnores, 0, 0, 0, 1.0, kQuick, 1.5},
    // The grace period is the package's: the program that ignores TERM and
    // would end by itself after 3 s is killed after 1 s, or ends as it wants
    // within 20 s.
    {"TermToPidIgnoredShortGrace", SIGTERM, Sender::kLauncherPid, Program::kIgnores, 0, 0, 128 + SIGKILL, 0.8, 2.5, 3,
     1},
    {"TermToPidIgnoredLongGrace", SIGTERM, Sender::kLauncherPid, Program::kIgnores, 0, 0, 0, 1.5, 6.0, 3, 20},
    // Signals that are only sent on never start the grace period: a reload
    // (HUP) or a thread dump (QUIT) that takes longer than it goes on.
    {"HupToPidHandledPastGrace", SIGHUP, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 2.3, 5.5, 60, 1, 2.5},
    {"QuitToPidHandledPastGrace", SIGQUIT, Sender::kLauncherPid, Program::kHandles, 1, 1, 10, 2.3, 5.5, 60, 1, 2.5},
    // During the grace period other signals are still sent on.
    {"TermThenUsr1ToPid", SIGTERM, Sender::kLauncherPid, Program::kIgnores, 1, 1, 10, 0.3, kQuick, 60, -1, 0.4,
     SIGUSR1},
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
    {"CtrlCIgnored", SIGINT, Sender::kTerminal, Program::kIgnores, 0, 0, 0, 1.0, kQuick, 1.5},
    // A program that handles Ctrl-C and goes on (a REPL) is not stopped by
    // the launcher: Ctrl-C is no request to stop the package.
    {"CtrlCHandledPastGrace", SIGINT, Sender::kTerminal, Program::kHandles, 1, 1, 10, 2.3, 5.5, 60, 1, 2.5},
};

INSTANTIATE_TEST_SUITE_P(Signals, SignalTableTest, ::testing::ValuesIn(kSignalCases),
                         [](const ::testing::TestParamInfo<SignalCase>& info) { return info.param.name; });

// An interactive shell with job control runs a loop of packages on a
// terminal. One Ctrl-C stops the whole loop, as it does for the program run
// directly: the shell breaks a loop only when its child died of SIGINT (an
// exit status of 130 reads as a program that handled Ctrl-C and chose to
// end, and the loop goes on).
TEST_F(InterruptTest, CtrlCStopsAShellLoop) {
  fs::path runs = work_ / "runs";
  fs::path done = work_ / "done";
  std::string package = this->package({}, {script("run", "echo started >> \"$RUNS\"\nexec sleep 10")});
  Terminal terminal;
  ProcessOptions o = options({{"RUNS", runs.string()}, {"HISTFILE", ""}});
  o.in_child = terminal.attach();
  Process shell("/bin/bash", {"bash", "--norc", "--noprofile", "-i"}, o);
  terminal.type_line("for i in 1 2 3; do " + package + "; done");
  ASSERT_TRUE(eventually(20, [&] { return read_file(runs) == "started\n"; }));
  Clock::time_point sent = Clock::now();
  terminal.type('\x03');
  // Read by the shell once the loop is over, whichever way it ends.
  terminal.type_line(": > " + done.string() + "; exit");
  ProcessResult r = shell.wait();
  EXPECT_EQ(read_file(runs), "started\n") << "the loop went on after Ctrl-C\n" << r.err;
  EXPECT_LT(seconds_since(sent), kQuick);
  EXPECT_TRUE(fs::exists(done)) << r.err;
  EXPECT_TRUE(fs::is_empty(tmp()));
}

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

// A launcher killed outright (kill -9, the OOM killer) takes its program
// with it, rather than leaving it to run on as an orphan.
TEST_F(InterruptTest, ProgramDiesWithAKilledLauncher) {
  pid_t program = 0;
  auto process = start(package(), options({{"PROBE_SLEEP", "60"}}), &program);
  kill(process->pid(), SIGKILL);
  ProcessResult r = process->wait();
  EXPECT_EQ(r.term_signal(), SIGKILL);
  EXPECT_TRUE(eventually(1, [&] { return !running(program); })) << "the program outlived its launcher";
  if (running(program)) kill(program, SIGKILL);
}

// The program starts a helper in the background and exits. The directory is
// not removed under the helper: the helper is stopped as the program would
// be (TERM, then KILL after the grace period when it ignores TERM), then the
// directory goes, and the launcher ends with the program's status.
TEST_F(InterruptTest, HelperLeftRunningIsStoppedBeforeTheRemoval) {
  struct HelperCase {
    const char* name;
    const char* helper;   // starts the helper in the background
    const char* settled;  // holds until the helper is set up
    double min_seconds, max_seconds;
  };
  const HelperCase cases[] = {
      {"plain", "sleep 30 &", ":", 0, 1.5},
      {"ignores TERM", "(trap '' TERM; : > \"$HELPER_READY\"; exec sleep 30) &",
       "while [ ! -e \"$HELPER_READY\" ]; do sleep 0.02; done", 0.8, 3.0},
  };
  for (const HelperCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path helper_ready = work_ / "helper-ready";
    fs::remove(helper_ready);
    std::string body = std::string(c.helper) + "\necho \"helper=$!\"\n" + c.settled + "\nexit 3";
    std::string package = this->package({"--grace-period", "1"}, {script("run", body)});
    ProcessOptions o = options({{"HELPER_READY", helper_ready.string()}});
    Clock::time_point started = Clock::now();
    ProcessResult r = run(package, {package}, o);
    double elapsed = seconds_since(started);
    EXPECT_EQ(r.exit_code(), 3) << "signal " << r.term_signal() << "\n" << r.out << r.err;
    EXPECT_GE(elapsed, c.min_seconds);
    EXPECT_LE(elapsed, c.max_seconds);
    std::string helper = reported(r.out, "helper");
    ASSERT_NE(helper, "") << r.out;
    EXPECT_FALSE(running(std::stoi(helper))) << "the helper outlived the launcher";
    if (running(std::stoi(helper))) kill(std::stoi(helper), SIGKILL);
    EXPECT_TRUE(fs::is_empty(tmp()));
  }
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

// As process 1 of a new pid namespace (a container's entrypoint), in both
// modes: the program's orphans are reaped and none stays a zombie; and TERM
// sent from outside (docker stop) ends a program without a handler for it,
// which the kernel would not have delivered to a process 1.
TEST_F(InterruptTest, AsProcessOneOfAPidNamespace) {
  const std::vector<std::string> unshare = {"unshare", "--pid", "--fork", "--mount-proc"};
  auto in_namespace = [&](const std::string& program) {
    std::vector<std::string> argv = unshare;
    argv.push_back(program);
    return argv;
  };
  ProcessResult tried = run("/usr/bin/unshare", in_namespace("/bin/true"));
  if (tried.exit_code() != 0) GTEST_SKIP() << "a new pid namespace is not permitted here: " << tried.err;
  // Twenty short-lived grandchildren whose parents end at once, then a count
  // of the zombies in the namespace.
  const std::string orphans =
      "echo \"parent=$VORLIX_ONEFILE_PARENT\"\n"
      "for i in $(seq 20); do (sleep 0.1 &); done\n"
      "sleep 1\n"
      "zombies=0\n"
      "for stat in /proc/[0-9]*/stat; do\n"
      "  read -r line < \"$stat\" 2>/dev/null || continue\n"
      "  case \"${line##*) }\" in Z*) zombies=$((zombies + 1));; esac\n"
      "done\n"
      "echo \"zombies=$zombies\"";
  for (bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cached" : "temporary");
    std::vector<std::string> flags;
    if (cached) flags = {"--cache"};
    std::map<std::string, std::optional<std::string>> env = {{"XDG_CACHE_HOME", (work_ / "cache").string()}};

    ProcessResult r = run("/usr/bin/unshare", in_namespace(package(flags, {script("run", orphans)})), options(env));
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(reported(r.out, "parent"), "1") << r.out;
    EXPECT_EQ(reported(r.out, "zombies"), "0") << r.out;

    env["PROBE_SLEEP"] = "60";
    fs::remove(ready());
    Process container("/usr/bin/unshare", in_namespace(package(flags)), options(env));
    ASSERT_TRUE(eventually(20, [&] { return fs::exists(ready()); }));
    std::vector<pid_t> launcher = children_of(container.pid());
    ASSERT_EQ(launcher.size(), 1u);
    Clock::time_point sent = Clock::now();
    kill(launcher[0], SIGTERM);
    ProcessResult stopped = container.wait();
    EXPECT_EQ(stopped.exited() ? stopped.exit_code() : 128 + stopped.term_signal(), 128 + SIGTERM) << stopped.err;
    EXPECT_EQ(reported(stopped.out, "VORLIX_ONEFILE_PARENT"), "1") << stopped.out;
    EXPECT_LT(seconds_since(sent), kQuick);
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
