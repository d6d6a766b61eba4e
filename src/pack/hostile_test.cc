// vorlix-pack against careless and hostile use: what it refuses, what it
// shows, and what is on disk afterwards. Hostile packages are made here by
// the test writer, not stored.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

ProcessResult pack(std::vector<std::string> args, ProcessOptions options = {}) {
  args.insert(args.begin(), "vorlix-pack");
  return run(VORLIX_PACK_PATH, args, options);
}

size_t lines_in(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

class HostileTest : public ::testing::Test {
 protected:
  HostileTest() {
    write_file(app() / "run", probe_image(), 0755);
    write_file(app() / "data.txt", "data\n");
  }
  fs::path app() const { return work_ / "app"; }
  TempDir work_;
};

// --- create: where the package goes ------------------------------------------

TEST_F(HostileTest, OutputsThatMustNotBeReplaced) {
  struct Case {
    const char* name;
    std::function<std::string()> make;  // returns OUTPUT
    std::string input;                  // "" for app()
    const char* message;
    std::function<bool(const std::string&)> unchanged;
  };
  auto is_kind = [](mode_t kind) {
    return [kind](const std::string& output) {
      struct stat st;
      return lstat(output.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind;
    };
  };
  const std::vector<Case> cases = {
      {"a character device",
       [&] {
         std::string out = (work_ / "nul").string();
         mknod(out.c_str(), S_IFCHR | 0666, makedev(1, 3));
         return out;
       },
       "", "exists and is a character device, not a regular file", is_kind(S_IFCHR)},
      {"a fifo",
       [&] {
         std::string out = (work_ / "fifo").string();
         mkfifo(out.c_str(), 0644);
         return out;
       },
       "", "exists and is a fifo", is_kind(S_IFIFO)},
      {"a directory",
       [&] {
         fs::create_directory(work_ / "dir");
         return (work_ / "dir").string();
       },
       "", "exists and is a directory", is_kind(S_IFDIR)},
      {"a link to a device",
       [&] {
         fs::create_symlink("/dev/null", work_ / "to-null");
         return (work_ / "to-null").string();
       },
       "", "exists and is a link to a character device", is_kind(S_IFLNK)},
      {"one of the inputs", [&] { return (app() / "data.txt").string(); }, "", "lies inside INPUT",
       [&](const std::string& output) { return read_file(output) == "data\n"; }},
      {"a new file inside INPUT", [&] { return (app() / "new.pkg").string(); }, "", "lies inside INPUT",
       [&](const std::string& output) { return !fs::exists(output); }},
      {"the single-file INPUT itself", [&] { return (app() / "run").string(); }, (app() / "run").string(),
       "is one of the inputs", [&](const std::string& output) { return read_file(output) == probe_image(); }},
      {"a hard link to an input",
       [&] {
         fs::create_hard_link(app() / "data.txt", work_ / "hard");
         return (work_ / "hard").string();
       },
       "", "is one of the inputs", [&](const std::string& output) { return read_file(output) == "data\n"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string output = c.make();
    ProcessResult r = pack({"create", "-q", "-o", output, c.input.empty() ? app().string() : c.input});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(lines_in(r.err), 1u) << r.err;
    EXPECT_TRUE(c.unchanged(output));
    for (const fs::path& dir : {work_.path(), app()})
      for (const std::string& name : names_in(dir)) EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
  }
}

// Any signal that ends the packer takes the temporary output with it.
TEST_F(HostileTest, SignalsDuringCreateLeaveNothing) {
  std::mt19937 generator(3);
  std::string noise(24 << 20, '\0');
  for (char& c : noise) c = static_cast<char>('a' + generator() % 26);
  write_file(app() / "big.txt", noise);
  for (int signal_number : {SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGHUP, SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number);
    fs::path out = work_ / "out";
    fs::remove_all(out);
    fs::create_directory(out);
    Process create(VORLIX_PACK_PATH, {"vorlix-pack", "create", "-q", "--threads", "1", "-o", (out / "app.pkg").string(),
                                      app().string()});
    ASSERT_TRUE(eventually(20, [&] { return !fs::is_empty(out); }));
    kill(create.pid(), signal_number);
    ProcessResult r = create.wait();
    EXPECT_EQ(r.term_signal(), signal_number);
    EXPECT_TRUE(fs::is_empty(out)) << ::testing::PrintToString(names_in(out));
  }
}

// --- create: what it packs ----------------------------------------------------

// A link given as INPUT is followed, to a file as to a directory; links
// inside INPUT stay links.
TEST_F(HostileTest, LinkGivenAsInputIsFollowed) {
  fs::create_symlink(app() / "run", work_ / "tool-link");
  fs::create_symlink(app(), work_ / "app-link");
  fs::create_symlink("data.txt", app() / "inner-link");
  struct Case {
    const char* input;
    const char* listing;
  };
  for (const Case& c : {Case{"tool-link", "x"}, Case{"app-link", "l            8 inner-link -> data.txt"}}) {
    SCOPED_TRACE(c.input);
    std::string package = (work_ / "p.pkg").string();
    ProcessResult r = pack({"create", "-q", "-o", package, (work_ / c.input).string()});
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    ProcessResult listed = pack({"list", package});
    EXPECT_NE(listed.out.find(c.listing), std::string::npos) << listed.out;
    ProcessOptions o;
    o.env["TMPDIR"] = (work_ / "tmp").string();
    EXPECT_EQ(run(package, {package}, o).exit_code(), 0);
  }
}

// --- every command: packages that are not regular files -----------------------

TEST_F(HostileTest, FifosAreRefusedAtOnce) {
  std::string fifo = (work_ / "fifo").string();
  mkfifo(fifo.c_str(), 0644);
  const std::vector<std::vector<std::string>> commands = {
      {"verify", fifo},
      {"list", fifo},
      {"extract", fifo, (work_ / "x").string()},
      {"create", "-q", "--launcher", fifo, "-o", (work_ / "p.pkg").string(), app().string()},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0]);
    std::vector<std::string> argv = {"vorlix-pack"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process process(VORLIX_PACK_PATH, argv);
    // Ended (a zombie until reaped) within seconds, not blocked on the fifo.
    std::string stat = "/proc/" + std::to_string(process.pid()) + "/stat";
    EXPECT_TRUE(eventually(5, [&] { return read_file(stat).find(") Z ") != std::string::npos; }))
        << "still waiting on the fifo";
    ProcessResult r = process.wait();
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_NE(r.err.find("not a regular file (a fifo)"), std::string::npos) << r.err;
    EXPECT_EQ(lines_in(r.err), 1u);
  }
}

// --- names shown to people ----------------------------------------------------

TEST_F(HostileTest, NamesReachTheTerminalEscaped) {
  std::string package = write_package(work_ / "names.pkg", {probe("run"),
                                                          {"two\nlines", 0, "x"},
                                                          {"title\x1b]0;owned\x07", 0, "x"},
                                                          {"bad\xff" "byte", 0, "x"},
                                                          {"caf\xc3\xa9.txt", 0, "x"},
                                                          {"back\\slash", ENTRY_FLAG_SYMLINK, "to\n\x1b[2J"}});
  ProcessResult listed = pack({"list", package});
  ASSERT_EQ(listed.exit_code(), 0) << listed.err;
  EXPECT_EQ(lines_in(listed.out), 7u) << listed.out;  // the mode line and six entries
  EXPECT_EQ(listed.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(listed.out.find('\xff'), std::string::npos);
  for (const char* shown : {" two\\nlines\n", " title\\e]0;owned\\x07\n", " bad\\xffbyte\n", " caf\xc3\xa9.txt\n",
                            " back\\\\slash -> to\\n\\e[2J\n"})
    EXPECT_NE(listed.out.find(shown), std::string::npos) << shown << "\n" << listed.out;

  // JSON: valid UTF-8 as it is; anything else also as its exact bytes.
  ProcessResult json = pack({"list", "--json", package});
  EXPECT_NE(json.out.find("\"name\": \"caf\xc3\xa9.txt\"}"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"name\": \"two\\u000alines\"}"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"name\": \"bad\xef\xbf\xbd" "byte\", \"name_hex\": \"626164ff62797465\"}"), std::string::npos)
      << json.out;

  // An error that names such an entry is still one line.
  std::string hostile = write_package(work_ / "hostile.pkg", {{"/abs\nfake line", 0, "x"}});
  ProcessResult refused = pack({"extract", hostile, (work_ / "x").string()});
  EXPECT_EQ(refused.exit_code(), 1);
  EXPECT_EQ(lines_in(refused.err), 1u) << refused.err;
  EXPECT_NE(refused.err.find("/abs\\nfake line"), std::string::npos) << refused.err;
}

// --- verify: what a launcher would do -----------------------------------------

TEST_F(HostileTest, VerifyChecksWhatTheLauncherWouldDo) {
  CompressionOptions unchecked;
  unchecked.checksum = false;
  struct Case {
    const char* name;
    std::vector<ArchiveEntry> entries;
    std::vector<const char*> problems;  // a part of each line, in order
    CompressionOptions compression = {};
  };
  const std::vector<Case> cases = {
      {"a sound package", {probe("run"), {"lib/a", 0, "x"}, {"l", ENTRY_FLAG_SYMLINK, "lib/a"}}, {}},
      {"no entries", {}, {"no entries: there is no program to run"}},
      {"a link first", {{"run", ENTRY_FLAG_SYMLINK, "bin/real"}, probe("bin/real")}, {"'run': the first entry is the program"}},
      {"a plain file first", {{"run", 0, "#!/bin/sh\n"}}, {"'run': the first entry is the program"}},
      {"escapes",
       {probe("run"), {"../escape", 0, "x"}, {"/etc/absolute", 0, "x"}, {"a/./b", 0, "x"}},
       {"'../escape': '..' component", "'/etc/absolute': absolute name", "'a/./b': '.' component"}},
      {"a file through a link",
       {probe("run"), {"d", ENTRY_FLAG_SYMLINK, "/tmp"}, {"d/planted", 0, "x"}},
       {"'d/planted': it would be written through the link 'd'"}},
      {"a file over a link", {probe("run"), {"v", ENTRY_FLAG_SYMLINK, "/etc/passwd"}, {"v", 0, "x"}},
       {"'v': it would be written through the link of that name"}},
      {"a file below a file", {probe("run"), {"f", 0, "x"}, {"f/g", 0, "x"}}, {"'f/g': it lies below the file 'f'"}},
      {"frames without checksums", {probe("run")}, {"frame 1 of 1 has no content checksum"}, unchecked},
      {"the cached directory's record as a directory",
       {probe("run"), {".vorlix-complete/x", 0, "x"}, {"a", 0, "x"}},
       {"'.vorlix-complete/x': name kept for the cached directory's own record"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string package = write_package(work_ / "v.pkg", c.entries, c.compression);
    ProcessResult r = pack({"verify", package});
    if (c.problems.empty()) {
      EXPECT_EQ(r.exit_code(), 0) << r.err;
      EXPECT_EQ(r.out.rfind("ok: 3 entries, ", 0), 0u) << r.out;
      continue;
    }
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(lines_in(r.err), c.problems.size()) << r.err;
    size_t at = 0;
    for (const char* problem : c.problems) {
      size_t found = r.err.find(problem, at);
      EXPECT_NE(found, std::string::npos) << problem << "\n" << r.err;
      at = found == std::string::npos ? at : found;
      EXPECT_EQ(r.err.rfind("vorlix-pack: verify: " + package + ": ", 0), 0u);
    }
    // list still lists it, marking what verify refuses.
    if (!c.entries.empty()) {
      ProcessResult listed = pack({"list", package});
      EXPECT_EQ(listed.exit_code(), 0) << listed.err;
      if (std::string(c.name) != "frames without checksums") {
        EXPECT_NE(listed.out.find("[refused: "), std::string::npos) << listed.out;
      }
    }
  }
}

// Configuration blocks edited by hand, as made by create with |options|: a
// launcher would refuse each, so verify reports it, and list marks it.
TEST_F(HostileTest, VerifyRefusesEditedConfigurations) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::function<void(LauncherConfig&)> edit;
    const char* problem;  // a part of the one line naming it
    // list marks a block that is damaged in itself; a sound block that names
    // the wrong entry shows only against the archive, in verify.
    bool block_damaged = true;
  };
  const std::vector<Case> cases = {
      {"one mark byte flipped", {}, [](LauncherConfig& c) { c.mark[7] ^= 0x01; },
       "the launcher image has no configuration block, or its mark is damaged"},
      {"a cached mark byte flipped", {"--cache"}, [](LauncherConfig& c) { c.mark[0] ^= 0x01; },
       "the launcher image has no configuration block, or its mark is damaged"},
      {"exec name escaping", {"--cache"},
       [](LauncherConfig& c) { set_config_text(c.exec_name, sizeof c.exec_name, "../../bin/id"); },
       "the launcher's configuration is damaged: its exec name has a '..' component"},
      {"unknown placeholder", {"--grace-period", "2"},
       [](LauncherConfig& c) { set_config_text(c.target_spec, sizeof c.target_spec, "{NOPE}/x"); },
       "the launcher's configuration is damaged: its target directory names an unknown placeholder"},
      {"cached spec with {PID}", {"--cache"},
       [](LauncherConfig& c) { set_config_text(c.target_spec, sizeof c.target_spec, "{CACHE_DIR}/app-{PID}"); },
       "the launcher's configuration is damaged: its cached target directory names {PID} or {TIME}"},
      {"relative spec", {"--grace-period", "2"},
       [](LauncherConfig& c) { set_config_text(c.target_spec, sizeof c.target_spec, "app-{PID}"); },
       "the launcher's configuration is damaged: its target directory may not give an absolute path"},
      {"temporary spec with neither {PID} nor {TIME}", {"--grace-period", "2"},
       [](LauncherConfig& c) { set_config_text(c.target_spec, sizeof c.target_spec, "{TEMP}/app"); },
       "the launcher's configuration is damaged: its temporary target directory does not name {PID}"},
      {"exec name of another entry", {"--cache"},
       [](LauncherConfig& c) { set_config_text(c.exec_name, sizeof c.exec_name, "data.txt"); },
       "the launcher would run 'data.txt', which is not the first entry", false},
      {"spec without its NUL", {"--target-dir", "/x-{PID}"},
       [](LauncherConfig& c) { memset(c.target_spec, 'x', sizeof c.target_spec); },
       "the launcher's configuration is damaged: its target directory does not end within its field"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string package = (work_ / "p.pkg").string();
    std::vector<std::string> args = {"create", "-q", "-o", package};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(app().string());
    ASSERT_EQ(pack(args).exit_code(), 0);
    ASSERT_EQ(pack({"verify", package}).exit_code(), 0);
    edit_launcher_config(package, c.edit);
    ProcessResult r = pack({"verify", package});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("vorlix-pack: verify: " + package + ": " + c.problem), std::string::npos) << r.err;
    if (!c.block_damaged) continue;
    ProcessResult listed = pack({"list", package});
    EXPECT_EQ(listed.exit_code(), 0) << listed.err;
    EXPECT_NE(listed.out.substr(0, listed.out.find('\n')).find(std::string("   [refused: ") + "the launcher"),
              std::string::npos)
        << listed.out;
    ProcessResult json = pack({"list", "--json", package});
    EXPECT_NE(json.out.find("\"problem\": \"the launcher"), std::string::npos) << json.out;
  }
}

// --- extract and links ---------------------------------------------------------

// DIR itself may be a link, which is followed (as documented); nothing below
// it is.
TEST_F(HostileTest, ExtractFollowsDirItselfOnly) {
  std::string package = write_package(work_ / "p.pkg", {probe("run"), {"a", 0, "x"}});
  fs::create_directory(work_ / "real");
  fs::create_directory_symlink(work_ / "real", work_ / "dir-link");
  ProcessResult r = pack({"extract", package, (work_ / "dir-link").string()});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(read_file(work_ / "real/a"), "x");
}

// --- usage ----------------------------------------------------------------------

TEST_F(HostileTest, CarelessUsage) {
  std::string package = (work_ / "p.pkg").string();
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;  // a part of the one line on standard error; "" when nothing is said
  };
  const std::vector<Case> cases = {
      {{"create", "-q", app().string(), "-o", package}, 0, ""},
      {{"create", "-q", "-o", package, "--", app().string()}, 0, ""},
      {{"create", "-q", "--exec", "", "-o", package, app().string()}, 2, "option '--exec' has an empty value"},
      {{"create", "-q", "-o", "", app().string()}, 2, "option '--output' has an empty value"},
      {{"create", "-q", "-o", package, ""}, 2, "vorlix-pack: create: INPUT is empty"},
      {{"extract", package, ""}, 2, "vorlix-pack: extract: DIR is empty"},
      {{"verify", ""}, 2, "vorlix-pack: verify: PACKAGE is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ProcessResult r = pack(c.args);
    EXPECT_EQ(r.exit_code(), c.status) << r.err;
    if (*c.message == '\0') {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
      EXPECT_EQ(lines_in(r.err), 1u);
    }
  }
  // Counts read as words do.
  write_file(work_ / "one/run", "#!/bin/sh\n", 0755);
  ProcessResult one = pack({"create", "-o", package, (work_ / "one").string()});
  EXPECT_NE(one.err.find(": 1 entry, "), std::string::npos) << one.err;
  EXPECT_EQ(pack({"verify", package}).out.rfind("ok: 1 entry, ", 0), 0u);
}

}  // namespace
}  // namespace vorlix::testing
