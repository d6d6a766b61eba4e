#include "state/trusted_path.h"

#include <errno.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

constexpr uid_t ROOT = 0;
constexpr uid_t USER = 4242;
constexpr uid_t OTHER = 65534;

void make_directory(const fs::path& path, uid_t owner, mode_t mode) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(chown(path.c_str(), owner, owner), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void make_link(const std::string& text, const fs::path& path, uid_t owner) {
  ASSERT_EQ(symlink(text.c_str(), path.c_str()), 0) << path;
  ASSERT_EQ(lchown(path.c_str(), owner, owner), 0) << path;
}

// Judges |path| for |uid|; with |as_other| in a child running as OTHER, for
// what only a user without root's reach meets.
TrustVerdict judge(const std::string& path, uid_t uid, bool as_other) {
  TrustVerdict verdict{};
  if (!as_other) {
    judge_directory_chain(path.c_str(), uid, &verdict);
    return verdict;
  }
  int pipe_fds[2];
  EXPECT_EQ(pipe(pipe_fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    if (setgroups(0, nullptr) != 0 || setgid(OTHER) != 0 || setuid(OTHER) != 0) _exit(126);
    judge_directory_chain(path.c_str(), uid, &verdict);
    _exit(write(pipe_fds[1], &verdict, sizeof verdict) == static_cast<ssize_t>(sizeof verdict) ? 0 : 1);
  }
  close(pipe_fds[1]);
  size_t got = 0;
  while (got < sizeof verdict) {
    ssize_t n = read(pipe_fds[0], reinterpret_cast<char*>(&verdict) + got, sizeof verdict - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == sizeof verdict);
  return verdict;
}

TEST(JudgeDirectoryChainTest, Table) {
  TempDir temp;
  // Every user may pass through the base, so that the rows judged as OTHER
  // meet only the refusals they are about.
  ASSERT_EQ(chmod(temp.path().c_str(), 0755), 0);
  const fs::path base = fs::canonical(temp.path());
  make_directory(base / "ok", ROOT, 0755);
  make_directory(base / "ok/user", USER, 0700);
  make_directory(base / "ok/closed", ROOT, 0700);
  make_directory(base / "foreign", OTHER, 0755);
  make_directory(base / "group-writable", ROOT, 0775);
  make_directory(base / "world-writable", ROOT, 0777);
  make_directory(base / "sticky", ROOT, 01777);
  make_directory(base / "sticky/foreign", OTHER, 0700);
  make_directory(base / "sticky/user", USER, 0700);
  make_directory(base / "sticky/root", ROOT, 0755);
  make_directory(base / "sticky-group", ROOT, 01770);
  make_link("../ok", base / "sticky/foreign-link", OTHER);
  make_link("../foreign", base / "ok/to-foreign", ROOT);
  make_link("user", base / "ok/to-user", USER);
  make_link((base / "ok").string(), base / "ok/absolute", ROOT);
  make_link("loop", base / "ok/loop", ROOT);
  make_link("nowhere/yet", base / "ok/dangling", ROOT);
  write_file(base / "ok/file", "x");

  struct Case {
    const char* path;  // below the base
    uid_t uid;
    TrustProblem problem;
    const char* component;  // below the base unless absolute; the resolved path with TRUST_OK
    bool as_other = false;
  };
  const Case cases[] = {
      {"ok/user", USER, TRUST_OK, "ok/user"},
      {"ok/user", ROOT, TRUST_OWNED_BY_OTHER_USER, "ok/user"},
      {"ok/user/missing/deeper", USER, TRUST_OK, "ok/user/missing/deeper"},
      {"foreign/x", USER, TRUST_OWNED_BY_OTHER_USER, "foreign"},
      {"foreign/x", OTHER, TRUST_OK, "foreign/x"},
      {"group-writable/x", USER, TRUST_WRITABLE_BY_OTHERS, "group-writable"},
      {"world-writable/x", USER, TRUST_WRITABLE_BY_OTHERS, "world-writable"},
      {"sticky/foreign/x", USER, TRUST_OWNED_BY_OTHER_USER, "sticky/foreign"},
      {"sticky/user/x", USER, TRUST_OK, "sticky/user/x"},
      {"sticky/root/x", USER, TRUST_OK, "sticky/root/x"},
      {"sticky/missing", USER, TRUST_OK, "sticky/missing"},
      {"sticky-group/x", USER, TRUST_OK, "sticky-group/x"},
      {"sticky/foreign-link/user", USER, TRUST_OWNED_BY_OTHER_USER, "sticky/foreign-link"},
      {"ok/to-foreign/x", USER, TRUST_OWNED_BY_OTHER_USER, "foreign"},
      {"ok/to-user/x", USER, TRUST_OK, "ok/user/x"},
      {"ok/absolute/absolute/user", USER, TRUST_OK, "ok/user"},
      {"ok/dangling", USER, TRUST_OK, "ok/nowhere/yet"},
      {"ok/loop/x", USER, TRUST_LINK_LOOP, "ok/loop"},
      {"ok/file/x", USER, TRUST_NOT_A_DIRECTORY, "ok/file"},
      {"ok/file", USER, TRUST_NOT_A_DIRECTORY, "ok/file"},
      // ".." passes through the directory before it, which must be judged.
      {"foreign/../ok", USER, TRUST_OWNED_BY_OTHER_USER, "foreign"},
      {"ok/user/../../foreign/../ok", USER, TRUST_OWNED_BY_OTHER_USER, "foreign"},
      // Out of the missing tail and back into existing directories.
      {"ok/missing/../../foreign/x", USER, TRUST_OWNED_BY_OTHER_USER, "foreign"},
      {"ok/missing/more/../../user/..//./to-user/", USER, TRUST_OK, "ok/user"},
      // Past the root into the base again.
      {"../../../../../../../..", USER, TRUST_OK, "/"},
      {"ok/closed/x", OTHER, TRUST_UNREADABLE, "ok/closed/x", true},
  };
  for (const Case& c : cases) {
    std::string path = base.string() + "/" + c.path;
    SCOPED_TRACE(path + " for uid " + std::to_string(c.uid));
    TrustVerdict verdict = judge(path, c.uid, c.as_other);
    EXPECT_EQ(verdict.problem, c.problem);
    std::string component = c.component[0] == '/' ? c.component : base.string() + "/" + c.component;
    EXPECT_EQ(std::string(verdict.component), component);
    EXPECT_EQ(verdict.error_number, c.problem == TRUST_UNREADABLE ? EACCES : 0);
  }
}

TEST(JudgeDirectoryChainTest, PathsAsGiven) {
  const std::string too_long(TRUST_PATH_SIZE, 'a');
  const std::string long_name = "/" + std::string(300, 'n');
  struct Case {
    std::string path;
    uid_t uid;
    TrustProblem problem;
    const char* component;
  };
  const Case cases[] = {
      {"/tmp", ROOT, TRUST_OK, "/tmp"},
      {"/tmp", OTHER, TRUST_OK, "/tmp"},
      {"/", USER, TRUST_OK, "/"},
      {"//tmp/.", USER, TRUST_OK, "/tmp"},
      {"tmp", ROOT, TRUST_NOT_ABSOLUTE, "tmp"},
      {"", ROOT, TRUST_NOT_ABSOLUTE, ""},
      {"/" + too_long, ROOT, TRUST_TOO_LONG, nullptr},
      {long_name, ROOT, TRUST_UNREADABLE, long_name.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40));
    TrustVerdict verdict{};
    judge_directory_chain(c.path.c_str(), c.uid, &verdict);
    EXPECT_EQ(verdict.problem, c.problem);
    if (c.component != nullptr) {
      EXPECT_STREQ(verdict.component, c.component);
    }
  }
}

TEST(ReportUntrustedTest, OneLineNamingTheComponent) {
  struct Case {
    TrustProblem problem;
    int error_number;
    const char* line;
  };
  const Case cases[] = {
      {TRUST_OK, 0, ""},
      {TRUST_OWNED_BY_OTHER_USER, 0, "Error, '/d' belongs to another user.\n"},
      {TRUST_WRITABLE_BY_OTHERS, 0, "Error, '/d' is writable by other users.\n"},
      {TRUST_NOT_A_DIRECTORY, 0, "Error, '/d' is not a directory.\n"},
      {TRUST_LINK_LOOP, 0, "Error, '/d' has too many levels of symbolic links.\n"},
      {TRUST_TOO_LONG, 0, "Error, the path through '/d' is too long.\n"},
      {TRUST_NOT_ABSOLUTE, 0, "Error, '/d' is not an absolute path.\n"},
      {TRUST_UNREADABLE, EACCES, "Error, couldn't inspect '/d': Permission denied\n"},
  };
  for (const Case& c : cases) {
    TrustVerdict verdict{c.problem, "/d", c.error_number};
    ::testing::internal::CaptureStderr();
    report_untrusted(verdict);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line);
  }
}

}  // namespace
}  // namespace vorlix::testing
