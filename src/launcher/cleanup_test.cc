#include "launcher/cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

// Builds the tree used by most cases below |root|.
void make_tree(const fs::path& root) {
  write_file(root / "a/b/c/deep", "x");
  write_file(root / "a/file", "x");
  write_file(root / ".cache/x", "x");
  write_file(root / "..x", "x");
  write_file(root / "top", "x");
  fs::create_directories(root / "empty/also-empty");
}

TEST(RemoveDirectoryTreeTest, RemovesEverythingAndNeverFollowsLinks) {
  TempDir dir;
  fs::path outside = dir / "outside";
  write_file(outside / "kept-file", "keep");
  write_file(outside / "kept-dir/inner", "keep");
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> extra;
  };
  const std::vector<Case> cases = {
      {"plain tree", [](const fs::path&) {}},
      {"link to a file outside", [&](const fs::path& root) { fs::create_symlink(outside / "kept-file", root / "l"); }},
      {"link to a directory outside",
       [&](const fs::path& root) { fs::create_directory_symlink(outside / "kept-dir", root / "a/l"); }},
      {"dangling link", [](const fs::path& root) { fs::create_symlink("/nowhere/at/all", root / "a/b/dangling"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path root = dir / "tree";
    make_tree(root);
    c.extra(root);
    EXPECT_EQ(remove_directory_tree(root.c_str()), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
    EXPECT_EQ(read_file(outside / "kept-file"), "keep");
    EXPECT_EQ(read_file(outside / "kept-dir/inner"), "keep");
  }
}

TEST(RemoveDirectoryTreeTest, RefusesWhatIsNotADirectory) {
  TempDir dir;
  write_file(dir / "file", "x");
  write_file(dir / "real/inner", "x");
  fs::create_directory_symlink(dir / "real", dir / "link");
  for (const char* name : {"missing", "file", "link"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(remove_directory_tree((dir / name).c_str()), -1);
  }
  EXPECT_TRUE(fs::exists(dir / "file"));
  EXPECT_TRUE(fs::exists(dir / "real/inner"));
}

// The names of |dir| in the order the directory hands them out.
std::vector<std::string> read_order(const fs::path& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
  closedir(d);
  return names;
}

// Root ignores permissions, so the removal runs as nobody over a tree that
// nobody owns, with one directory made unwritable.
TEST(RemoveDirectoryTreeTest, StopsAtTheFirstEntryThatCannotGo) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  fs::path root = dir / "tree";
  for (const char* name : {"one", "two", "three"}) write_file(root / name / "file", "x");
  std::vector<std::string> order = read_order(root);
  ASSERT_EQ(order.size(), 3u);
  for (auto& e : fs::recursive_directory_iterator(root)) ASSERT_EQ(lchown(e.path().c_str(), 65534, 65534), 0);
  ASSERT_EQ(lchown(root.c_str(), 65534, 65534), 0);
  chmod((root / order[1]).c_str(), 0500);

  EXPECT_EXIT(
      {
        if (setgid(65534) != 0 || setuid(65534) != 0) exit(99);
        exit(remove_directory_tree(root.c_str()) == -1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_FALSE(fs::exists(root / order[0]));
  EXPECT_TRUE(fs::exists(root / order[1] / "file"));
  EXPECT_TRUE(fs::exists(root / order[2] / "file"));
}

}  // namespace
}  // namespace vorlix::testing
