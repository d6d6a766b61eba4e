#include "launcher/target_checks.h"

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

constexpr uid_t NOBODY = 65534;
// Exit codes of the forked check that say the case could not be set up.
constexpr int NO_NAMESPACE = 77;
constexpr int NO_SETUP = 78;

enum Condition { WRITABLE, NOEXEC_TMPFS, READ_ONLY_TMPFS, ROOTS_DIRECTORY_AS_NOBODY };

// Checks |directory| in a forked child, after bringing about |condition| there (mounts in a
// private mount namespace, or dropping to nobody); returns the exit status
// (0 when the check let it pass) and standard error.
ChildOutcome check_in_child(Condition condition, const fs::path& directory, bool cached) {
  return in_child([&] {
    if (condition == NOEXEC_TMPFS || condition == READ_ONLY_TMPFS) {
      if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return NO_NAMESPACE;
      unsigned long flags = condition == NOEXEC_TMPFS ? MS_NOEXEC : MS_RDONLY;
      if (mount("tmpfs", directory.c_str(), "tmpfs", flags, nullptr) != 0) return NO_SETUP;
    }
    if (condition == ROOTS_DIRECTORY_AS_NOBODY &&
        (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
      return NO_SETUP;
    check_room_for_target(directory.c_str(), cached);
    return 0;
  });
}

TEST(CheckRoomForTargetTest, Table) {
  struct Case {
    const char* name;
    Condition condition;
    bool cached;
    // What follows "Error, can't extract into '<directory>': "; empty when
    // the check passes.
    std::string refusal;
  };
  const std::string noexec = "its file system is mounted noexec, so programs there cannot run; ";
  const std::vector<Case> cases = {
      {"writable", WRITABLE, false, ""},
      {"writable, cached", WRITABLE, true, ""},
      {"noexec", NOEXEC_TMPFS, false,
       noexec + "set TMPDIR to a directory on a file system that allows running programs."},
      {"noexec, cached", NOEXEC_TMPFS, true,
       noexec + "set XDG_CACHE_HOME to a directory on a file system that allows running programs."},
      {"read-only", READ_ONLY_TMPFS, false, "Read-only file system; set TMPDIR to a writable directory."},
      {"read-only, cached", READ_ONLY_TMPFS, true,
       "Read-only file system; set XDG_CACHE_HOME to a writable directory."},
      {"another user's directory", ROOTS_DIRECTORY_AS_NOBODY, false,
       "Permission denied; set TMPDIR to a directory you can write to."},
      {"another user's directory, cached", ROOTS_DIRECTORY_AS_NOBODY, true,
       "Permission denied; set XDG_CACHE_HOME to a directory you can write to."},
  };
  std::string skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    // Nobody must reach the directory; root owns it, mode 0755.
    chmod(dir.path().c_str(), 0755);
    fs::path directory = dir / "target parent";
    fs::create_directories(directory);
    chmod(directory.c_str(), 0755);

    ChildOutcome outcome = check_in_child(c.condition, directory, c.cached);
    if (outcome.exit_code == NO_NAMESPACE) {
      skipped += std::string(" '") + c.name + "'";
      continue;
    }
    ASSERT_NE(outcome.exit_code, NO_SETUP) << "could not mount or drop privileges";
    if (c.refusal.empty()) {
      EXPECT_EQ(outcome.exit_code, 0);
      EXPECT_EQ(outcome.err, "");
    } else {
      EXPECT_EQ(outcome.exit_code, 2);
      EXPECT_EQ(outcome.err, "Error, can't extract into '" + directory.string() + "': " + c.refusal + "\n");
    }
    EXPECT_EQ(names_in(directory), std::vector<std::string>{});
  }
  if (!skipped.empty()) GTEST_SKIP() << "this environment allows no private mount namespace; not run:" << skipped;
}

}  // namespace
}  // namespace vorlix::testing
