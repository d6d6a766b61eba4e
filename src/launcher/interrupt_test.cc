// Termination signals sent to a running launcher: the grace period, SIGKILL,
// and the removal of the target directory. Times are asserted with slack.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
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

  // Starts |package| and waits until its program runs.
  std::unique_ptr<Process> start(const std::string& package, const ProcessOptions& o) {
    auto process = std::make_unique<Process>(package, std::vector<std::string>{package}, o);
    EXPECT_TRUE(eventually(20, [&] { return fs::exists(ready()); })) << "the program never started";
    return process;
  }

  TempDir work_;
};

TEST_F(InterruptTest, ChildThatIgnoresTheSignalIsKilledAfterTheGracePeriod) {
  std::string package = write_package(work_ / "pkg", {probe("run")});
  auto process = start(package, options({{"PROBE_IGNORE", "1"}, {"PROBE_SLEEP", "60"}}));
  Clock::time_point sent = Clock::now();
  kill(process->pid(), SIGTERM);
  ProcessResult r = process->wait();
  double elapsed = seconds_since(sent);
  EXPECT_EQ(r.exit_code(), 137);
  EXPECT_GE(elapsed, 4.5);
  EXPECT_LE(elapsed, 8.0);
  EXPECT_TRUE(fs::is_empty(tmp()));
}

TEST_F(InterruptTest, ChildThatEndsWithinTheGracePeriodKeepsItsStatus) {
  std::string package = write_package(work_ / "pkg", {probe("run")});
  auto process = start(package, options({{"PROBE_IGNORE", "1"}, {"PROBE_SLEEP", "1"}, {"PROBE_EXIT", "3"}}));
  Clock::time_point sent = Clock::now();
  kill(process->pid(), SIGTERM);
  ProcessResult r = process->wait();
  EXPECT_EQ(r.exit_code(), 3);
  EXPECT_LT(seconds_since(sent), 4.0);
  EXPECT_TRUE(fs::is_empty(tmp()));
}

TEST_F(InterruptTest, ChildKilledFromOutside) {
  std::string package = write_package(work_ / "pkg", {probe("run")});
  auto process = start(package, options({{"PROBE_SLEEP", "60"}}));
  pid_t child = std::stoi(read_file(ready()));
  kill(child, SIGKILL);
  ProcessResult r = process->wait();
  EXPECT_EQ(r.exit_code(), 137);
  EXPECT_TRUE(fs::is_empty(tmp()));
}

// As a terminal sends it: to the whole process group.
TEST_F(InterruptTest, InterruptToTheProcessGroup) {
  std::string package = write_package(work_ / "pkg", {probe("run")});
  for (int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number);
    fs::remove(ready());
    ProcessOptions o = options({{"PROBE_SLEEP", "60"}});
    o.new_process_group = true;
    auto process = start(package, o);
    Clock::time_point sent = Clock::now();
    kill(-process->pid(), signal_number);
    ProcessResult r = process->wait();
    EXPECT_EQ(r.exit_code(), 128 + signal_number);
    EXPECT_LT(seconds_since(sent), 4.0);
    EXPECT_TRUE(fs::is_empty(tmp()));
  }
}

// A signal while files are being written removes what is there; the
// extraction then fails at the next entry and nothing is left behind.
TEST_F(InterruptTest, SignalDuringExtraction) {
  std::vector<ArchiveEntry> entries = {probe("run")};
  for (int i = 0; i < 40000; ++i) entries.push_back({"d/f" + std::to_string(i), 0, "x"});
  std::string package = write_package(work_ / "pkg", entries, {.level = 1});
  Process process(package, {package}, options({}));
  // Wait for the first file, then interrupt.
  ASSERT_TRUE(eventually(20, [&] {
    for (auto& e : fs::directory_iterator(tmp()))
      if (fs::exists(e.path() / "d")) return true;
    return false;
  }));
  kill(process.pid(), SIGTERM);
  ProcessResult r = process.wait();
  EXPECT_EQ(r.exit_code(), 2);
  EXPECT_TRUE(r.err.rfind("Error, failed to open '" + tmp().string() + "/onefile_", 0) == 0) << r.err;
  EXPECT_TRUE(fs::is_empty(tmp()));
}

}  // namespace
}  // namespace vorlix::testing
