#include "payload/extract.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "format/package_writer.h"
#include "state/launch_state.h"
#include "payload/payload_reader.h"
#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

// Extracts |entries| below |target| in a forked child, as the launcher would
// with its first entry already behind it (exec_path set), and returns the
// child's exit code. The extraction's state is process-wide, so each run gets
// a fresh process.
int extract_in_child(const std::string& target, const std::vector<ArchiveEntry>& entries) {
  std::string compressed = compress(encode_archive(entries));
  pid_t pid = fork();
  if (pid == 0) {
    memcpy(target_directory, target.c_str(), target.size() + 1);
    strcpy(exec_path, "/already/set");
    payload_reader_open(reinterpret_cast<const unsigned char*>(compressed.data()), compressed.size());
    extraction_started = 1;
    extract_archive();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ExtractTest, EntryPathsUpTo4095Characters) {
  TempDir dir;
  std::string target = dir.path().string();
  while (target.size() < 3072) {
    target += '/';
    target.append(std::min<size_t>(200, 3072 - target.size()), 't');
  }
  ASSERT_EQ(target.size(), 3072u);
  // target + "/" + name: 4095 characters fit, 4096 do not.
  EXPECT_EQ(extract_in_child(target, {{nested_name(1022), 0, "x"}}), 0);
  EXPECT_TRUE(fs::exists(target + "/" + nested_name(1022)));
  // Nothing of a refused entry is made, not even its first directory.
  EXPECT_EQ(extract_in_child(target, {{nested_name(1023, 'm'), 0, "x"}}), 2);
  EXPECT_FALSE(fs::exists(target + "/m"));
}

TEST(ExtractTest, ParentsAreMadeOutermostFirstAndRemembered) {
  TempDir dir;
  std::string target = (dir / "target").string();
  EXPECT_EXIT(
      {
        memcpy(target_directory, target.c_str(), target.size() + 1);
        create_parent_directories((target + "/a/b/c").c_str());
        bool ok = created_dirs_count == 3 && created_dirs[0] == target && created_dirs[1] == target + "/a" &&
                  created_dirs[2] == target + "/a/b" && mode_of(target) == 0700 && mode_of(target + "/a/b") == 0700;
        // A recorded directory is not looked at again, even once it is gone.
        rmdir((target + "/a/b").c_str());
        create_parent_directories((target + "/a/b/d").c_str());
        ok = ok && !fs::exists(target + "/a/b");
        exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ExtractTest, DirectoriesBeyondTheMemoAreStillMade) {
  TempDir dir;
  std::string base = dir.path().string();
  EXPECT_EXIT(
      {
        for (int i = 0; i < CREATED_DIRS_MAX; ++i)
          create_parent_directories((base + "/d" + std::to_string(i) + "/f").c_str());
        bool ok = created_dirs_count == CREATED_DIRS_MAX;
        create_parent_directories((base + "/extra/f").c_str());
        ok = ok && created_dirs_count == CREATED_DIRS_MAX && fs::is_directory(base + "/extra");
        exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vorlix::testing
