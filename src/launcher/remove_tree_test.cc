#include "launcher/remove_tree.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

constexpr uid_t NOBODY = 65534;
const std::string WARNING = "Warning, couldn't remove '";

// Builds the tree used by most cases below |root|.
void make_tree(const fs::path& root) {
  write_file(root / "a/b/c/deep", "x");
  write_file(root / "a/file", "x");
  write_file(root / ".cache/x", "x");
  write_file(root / "..x", "x");
  write_file(root / "top", "x");
  fs::create_directories(root / "empty/also-empty");
}

// Every path below |root|, relative and sorted; links are not followed.
std::vector<std::string> left_in(const fs::path& root) {
  std::vector<std::string> left;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); it != fs::recursive_directory_iterator();
       it.increment(error))
    left.push_back(fs::relative(it->path(), root).string());
  std::sort(left.begin(), left.end());
  return left;
}

void chown_tree(const fs::path& root, uid_t user) {
  ASSERT_EQ(lchown(root.c_str(), user, user), 0);
  for (auto& entry : fs::recursive_directory_iterator(root)) ASSERT_EQ(lchown(entry.path().c_str(), user, user), 0);
}

// The removal as it runs in-process: its result and its standard error.
ChildOutcome remove_here(const fs::path& path) {
  ::testing::internal::CaptureStderr();
  int result = remove_directory_tree(path.c_str(), true);
  return {result, ::testing::internal::GetCapturedStderr()};
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
    ChildOutcome outcome = remove_here(root);
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
    EXPECT_EQ(read_file(outside / "kept-file"), "keep");
    EXPECT_EQ(read_file(outside / "kept-dir/inner"), "keep");
  }
}

TEST(RemoveDirectoryTreeTest, WhatIsNotADirectory) {
  TempDir dir;
  write_file(dir / "file", "x");
  write_file(dir / "real/inner", "x");
  fs::create_directory_symlink(dir / "real", dir / "link");
  struct Case {
    const char* name;
    int result;
    const char* reason;  // nullptr: nothing said
  };
  const std::vector<Case> cases = {
      {"missing", 0, nullptr},  // already gone: nothing stays
      {"file", -1, "Not a directory"},
      {"link", -1, "Not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path path = dir / c.name;
    ChildOutcome outcome = remove_here(path);
    EXPECT_EQ(outcome.exit_code, c.result);
    EXPECT_EQ(outcome.err, c.reason == nullptr ? "" : WARNING + path.string() + "': " + c.reason + "\n");
  }
  EXPECT_TRUE(fs::exists(dir / "file"));
  EXPECT_TRUE(fs::exists(fs::symlink_status(dir / "link")));
  EXPECT_TRUE(fs::exists(dir / "real/inner"));
}

// Root ignores permissions, so these removals run as nobody, over a tree
// nobody owns (in a directory nobody may write), after each case has changed
// it.
TEST(RemoveDirectoryTreeTest, AsAnUnprivilegedUser) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;
    int exit_code;
    std::vector<std::string> left;
    std::vector<std::string> lines;  // any one of them, relative to the root
  };
  const std::vector<Case> cases = {
      {"read-only directories of the user's own are emptied",
       [](const fs::path& root) {
         chmod((root / "a/b").c_str(), 0555);
         chmod((root / "a").c_str(), 0500);
       },
       0, {}, {}},
      {"so is one that cannot even be read",
       [](const fs::path& root) {
         chmod((root / "a/b/c").c_str(), 0000);
         chmod((root / "empty").c_str(), 0000);
       },
       0, {}, {}},
      {"and a read-only root", [](const fs::path& root) { chmod(root.c_str(), 0500); }, 0, {}, {}},
      {"another user's directory stays, and all else goes",
       [](const fs::path& root) {
         write_file(root / "a/theirs/one", "x");
         write_file(root / "a/theirs/two", "x");
         chown_tree(root / "a/theirs", 0);
       },
       1,
       {"a", "a/theirs", "a/theirs/one", "a/theirs/two"},
       {"a/theirs/one': Permission denied\n", "a/theirs/two': Permission denied\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    fs::path home = dir / "home";
    fs::path root = home / "tree";
    make_tree(root);
    chown_tree(home, NOBODY);
    c.change(root);
    ChildOutcome outcome = in_child([&] {
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) return 99;
      return remove_directory_tree(root.c_str(), true) == 0 ? 0 : 1;
    });
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    EXPECT_EQ(left_in(root), c.left);
    if (c.lines.empty()) {
      EXPECT_EQ(outcome.err, "");
    } else {
      std::vector<std::string> lines;
      for (const std::string& line : c.lines) lines.push_back(WARNING + root.string() + "/" + line);
      EXPECT_NE(std::find(lines.begin(), lines.end(), outcome.err), lines.end()) << outcome.err;
    }
  }
}

// A bind mount of the same file system, a bind-mounted file and a tmpfs
// below the tree, in a private mount namespace of a child: they and all they
// hold stay, everything else goes.
TEST(RemoveDirectoryTreeTest, NeverLeavesTheDirectorysMount) {
  TempDir dir;
  write_file(dir / "source/data", "outside");
  write_file(dir / "source-file", "outside file");
  fs::path root = dir / "tree";
  make_tree(root);
  fs::create_directories(root / "bound");
  fs::create_directories(root / "deeper/tmp");
  write_file(root / "bound-file", "");

  constexpr int NO_NAMESPACE = 77;
  constexpr int NO_MOUNT = 78;
  ChildOutcome outcome = in_child([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return NO_NAMESPACE;
    if (mount((dir / "source").c_str(), (root / "bound").c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount((dir / "source-file").c_str(), (root / "bound-file").c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount("tmpfs", (root / "deeper/tmp").c_str(), "tmpfs", 0, nullptr) != 0)
      return NO_MOUNT;
    write_file(root / "deeper/tmp/inside", "mounted");
    int result = remove_directory_tree(root.c_str(), true);
    bool kept = read_file(root / "deeper/tmp/inside") == "mounted" && read_file(root / "bound/data") == "outside";
    return result == -1 && kept ? 0 : 1;
  });
  if (outcome.exit_code == NO_NAMESPACE) GTEST_SKIP() << "this environment allows no private mount namespace";
  ASSERT_NE(outcome.exit_code, NO_MOUNT) << "could not mount below the tree";
  EXPECT_EQ(outcome.exit_code, 0) << "the removal went into a mount, or reported success";
  EXPECT_EQ(read_file(dir / "source/data"), "outside");
  EXPECT_EQ(read_file(dir / "source-file"), "outside file");
  EXPECT_EQ(left_in(root), (std::vector<std::string>{"bound", "bound-file", "deeper", "deeper/tmp"}));
  const std::vector<std::string> lines = {
      WARNING + (root / "bound").string() + "': it is a mount point\n",
      WARNING + (root / "deeper/tmp").string() + "': it is a mount point\n",
      WARNING + (root / "bound-file").string() + "': Device or resource busy\n",
  };
  EXPECT_NE(std::find(lines.begin(), lines.end(), outcome.err), lines.end()) << outcome.err;
}

// Descends |levels| directories named |name| below |root|: with |make|,
// making them; without, then moving what lies below to |root|/rest.
void chain(const fs::path& root, const std::string& name, unsigned levels, bool make) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  int root_fd = dup(fd);
  for (unsigned level = 0; level < levels; ++level) {
    if (make) {
      ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
    }
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(next, 0);
    close(fd);
    fd = next;
  }
  if (!make) {
    ASSERT_EQ(renameat(fd, name.c_str(), root_fd, "rest"), 0);
  }
  close(fd);
  close(root_fd);
}

TEST(RemoveDirectoryTreeTest, LeavesWhatIsNestedTooDeeply) {
  for (size_t name_length : {size_t{1}, size_t{100}}) {
    SCOPED_TRACE(name_length);
    TempDir dir;
    fs::path root = dir / "tree";
    fs::create_directories(root);
    const std::string name(name_length, 'n');
    // The deepest of these lies PLATFORM_DIRECTORY_DEPTH_MAX levels down,
    // one more than the walk goes.
    chain(root, name, PLATFORM_DIRECTORY_DEPTH_MAX, true);
    write_file(root / "sibling", "x");

    ChildOutcome outcome = remove_here(root);
    EXPECT_EQ(outcome.exit_code, -1);
    EXPECT_FALSE(fs::exists(root / "sibling"));
    std::string path = root.string();
    for (unsigned level = 0; level < PLATFORM_DIRECTORY_DEPTH_MAX; ++level) path += "/" + name;
    const std::string reason = "': it is nested too deeply\n";
    std::string whole = WARNING + path + reason;
    if (whole.size() < 4096) {
      EXPECT_EQ(outcome.err, whole);
    } else {  // too long for one line: cut short, still one line
      EXPECT_LT(outcome.err.size(), 4096u);
      ASSERT_TRUE(outcome.err.ends_with("..." + reason)) << outcome.err;
      EXPECT_TRUE(whole.starts_with(outcome.err.substr(0, outcome.err.size() - 3 - reason.size())));
      EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
    }

    // Cut in two, both halves are within reach.
    chain(root, name, PLATFORM_DIRECTORY_DEPTH_MAX / 2, false);
    EXPECT_EQ(remove_directory_tree(root.c_str(), true), 0);
    EXPECT_FALSE(fs::exists(root));
  }
}

// Where the system gives no mount identity, the device and the inode the
// directory record gives decide.
TEST(CrossesMountTest, MountIdentityOrDeviceAndRecordInode) {
  struct Case {
    const char* name;
    PlatformEntryIdentity child;
    unsigned long long record_inode;
    bool crosses;
  };
  const PlatformEntryIdentity parent = {1, 10, 0, 040755, true, {7, 0}};
  PlatformEntryIdentity parent_unknown = parent;
  parent_unknown.mount_known = false;
  const std::vector<Case> cases = {
      {"same mount", {1, 20, 0, 040755, true, {7, 0}}, 20, false},
      {"same mount, another device (a subvolume)", {2, 20, 0, 040755, true, {7, 0}}, 20, false},
      {"a bind mount: same device, another mount", {1, 20, 0, 040755, true, {8, 0}}, 20, true},
      {"a mount told by the second word", {1, 20, 0, 040755, true, {7, 1}}, 20, true},
      {"no mount id: same device and inode", {1, 20, 0, 040755, false, {}}, 20, false},
      {"no mount id: another device", {2, 20, 0, 040755, false, {}}, 20, true},
      {"no mount id: the record names the covered directory", {1, 20, 0, 040755, false, {}}, 21, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(crosses_mount(&parent, &c.child, c.record_inode), c.crosses);
    if (!c.child.mount_known) {
      EXPECT_EQ(crosses_mount(&parent_unknown, &c.child, c.record_inode), c.crosses);
    }
  }
}

}  // namespace
}  // namespace vorlix::testing
