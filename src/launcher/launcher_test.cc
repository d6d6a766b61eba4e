// The launcher as a user meets it: packages run as processes, with their exit
// status, their two output streams and what they leave on disk.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "testing/fnv.h"
#include "testing/test_util.h"

namespace vorlix::testing {
namespace {

constexpr char HEADER_MESSAGE[] = "Error, couldn't find attached data header.\n";
constexpr char DECODE_MESSAGE[] = "Error, couldn't decode attached data.\n";
constexpr char EXPAND_MESSAGE[] = "Error, couldn't runtime expand spec '{TEMP}/onefile_{PID}_{TIME}'.\n";
constexpr char TOO_LONG_MESSAGE[] = "Error, couldn't unpack file to target path.: File name too long\n";
constexpr char START[] = "1700000000_5";

// "key=value" lines of the probe's report.
std::map<std::string, std::string> report_of(const std::string& out) {
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos && line.compare(0, 5, "file ") != 0) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::string random_bytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(generator() & 0x3f);  // compressible, not trivially
  return data;
}

std::string hex_hash(const std::string& data) {
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(fnv1a(data)));
  return text;
}

class LauncherTest : public ::testing::Test {
 protected:
  LauncherTest() {
    fs::create_directory(tmp());
    chmod(work_.path().c_str(), 0755);
    chmod(tmp().c_str(), 01777);
  }

  fs::path tmp() const { return work_ / "tmp"; }
  fs::path path(const std::string& name) const { return work_ / name; }

  bool tmp_is_empty() const { return fs::is_empty(tmp()); }

  // Runs |package| with TMPDIR pointing at tmp() unless |options| says else.
  ProcessResult launch(const std::string& package, std::vector<std::string> args = {},
                       ProcessOptions options = {}) {
    options.env.try_emplace("TMPDIR", tmp().string());
    args.insert(args.begin(), package);
    return run(package, args, options);
  }

  TempDir work_;
};

// --- Framing: a package the launcher cannot use -------------------------

TEST_F(LauncherTest, RejectsPayloadsItCannotLocate) {
  std::string good = frame_package(launcher_image(), compress(encode_archive({probe("run")})));
  uint64_t size = good.size();
  auto with_trailer = [&](uint64_t length) {
    std::string bytes = good;
    unsigned char trailer[8];
    write_le64(trailer, length);
    bytes.replace(bytes.size() - 8, 8, reinterpret_cast<char*>(trailer), 8);
    return bytes;
  };
  auto with_header_byte = [&](int index) {
    std::string bytes = good;
    bytes[launcher_image().size() + index] ^= 0x20;
    return bytes;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"no payload", launcher_image()},
      {"header byte 0", with_header_byte(0)},
      {"header byte 1", with_header_byte(1)},
      {"header byte 2", with_header_byte(2)},
      {"L = 0", with_trailer(0)},
      {"L = 2", with_trailer(2)},
      {"L = S - 7", with_trailer(size - 7)},
      {"L = 2^64 - 1", with_trailer(~0ull)},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    std::string package = path("pkg").string();
    write_file(package, bytes, 0755);
    ProcessResult r = launch(package);
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_EQ(r.out, HEADER_MESSAGE);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(tmp_is_empty());
  }
}

TEST_F(LauncherTest, PayloadAtTheEndOfALongerFileIsFound) {
  // The trailer lies at an odd offset: the image length is not a multiple of 8.
  std::string image = launcher_image() + "pad";
  std::string package = path("pkg").string();
  write_file(package, frame_package(image, compress(encode_archive({probe("run")}))), 0755);
  ProcessResult r = launch(package);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
}

TEST_F(LauncherTest, EmptyCompressedStreamFailsToDecode) {
  ProcessResult r = launch(write_package_stream(path("pkg"), ""));
  EXPECT_EQ(r.exit_code(), 2);
  EXPECT_EQ(r.out, DECODE_MESSAGE);
  EXPECT_TRUE(tmp_is_empty());
}

TEST_F(LauncherTest, ExecuteOnlyPackageCannotBeMapped) {
  std::string package = write_package(path("pkg"), {probe("run")});
  chmod(package.c_str(), 0111);
  ProcessOptions nobody;
  nobody.uid = 65534;
  ProcessResult r = launch(package, {}, nobody);
  EXPECT_EQ(r.exit_code(), 2);
  EXPECT_EQ(r.err, "Error, couldn't find attached data:open: Permission denied\n");
  EXPECT_EQ(r.out, "");

  // Reported before an expansion failure, which then goes unmentioned.
  nobody.env["TMPDIR"] = std::string(4100, 'x');
  r = launch(package, {}, nobody);
  EXPECT_EQ(r.exit_code(), 2);
  EXPECT_EQ(r.err, "Error, couldn't find attached data:open: Permission denied\n");
}

// --- The target directory ------------------------------------------------

TEST_F(LauncherTest, TooLongTmpdirAbortsWithTheTemplate) {
  std::string long_tmp = (tmp() / std::string(200, 'd')).string();
  while (long_tmp.size() < 4100) long_tmp += "/" + std::string(200, 'd');
  ProcessOptions options;
  options.env["TMPDIR"] = long_tmp;
  for (bool good_header : {true, false}) {
    SCOPED_TRACE(good_header ? "good package" : "bad header too");
    std::string package = good_header ? write_package(path("pkg"), {probe("run")})
                                      : (write_file(path("pkg"), launcher_image(), 0755), path("pkg").string());
    ProcessResult r = launch(package, {}, options);
    EXPECT_EQ(r.term_signal(), SIGABRT);
    EXPECT_EQ(r.err, EXPAND_MESSAGE);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(tmp_is_empty());
  }
}

TEST_F(LauncherTest, TargetDirectoryFollowsTmpdir) {
  std::string package = write_package(path("pkg"), {probe("run")});
  struct Case {
    std::optional<std::string> tmpdir;
    std::optional<std::string> start;
    std::string expected_prefix;  // then "/onefile_<pid>_<start>"
    std::string expected_start;
  };
  std::string t = tmp().string();
  const std::vector<Case> cases = {
      {t, START, t, START},
      {t + "//", START, t, START},
      {std::nullopt, "1699999999_77", "/tmp", "1699999999_77"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tmpdir.value_or("(unset)"));
    ProcessOptions options;
    options.env["TMPDIR"] = c.tmpdir;
    options.env["VORLIX_ONEFILE_START"] = c.start;
    Process process(package, {package}, options);
    ProcessResult r = process.wait();
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    std::string expected = c.expected_prefix + "/onefile_" + std::to_string(process.pid()) + "_" + c.expected_start;
    auto report = report_of(r.out);
    EXPECT_EQ(report["root"], expected);
    EXPECT_EQ(report["VORLIX_ONEFILE_START"], c.expected_start);
    EXPECT_FALSE(fs::exists(expected));
  }
}

TEST_F(LauncherTest, StartStampIsPublishedWhenAbsent) {
  ProcessOptions options;
  options.env["VORLIX_ONEFILE_START"] = std::nullopt;
  options.env["TMPDIR"] = tmp().string();
  Process process(write_package(path("pkg"), {probe("run")}), {"pkg"}, options);
  ProcessResult r = process.wait();
  auto report = report_of(r.out);
  const std::string& stamp = report["VORLIX_ONEFILE_START"];
  // "<seconds>_<microseconds>", plain decimal numbers.
  size_t underscore = stamp.find('_');
  ASSERT_NE(underscore, std::string::npos) << stamp;
  std::string seconds = stamp.substr(0, underscore), micros = stamp.substr(underscore + 1);
  EXPECT_EQ(std::to_string(std::stoll(seconds)), seconds);
  EXPECT_EQ(std::to_string(std::stoll(micros)), micros);
  EXPECT_LT(std::stoll(micros), 1000000);
  EXPECT_EQ(report["root"], tmp().string() + "/onefile_" + std::to_string(process.pid()) + "_" + stamp);
}

// Something at the target directory's path before the launcher runs is
// refused: a directory, or a link someone planted there.
TEST_F(LauncherTest, RefusesATargetDirectoryItDidNotMake) {
  std::string package = write_package(path("pkg"), {probe("run"), {"data", 0, "x"}});
  fs::path elsewhere = path("elsewhere");
  fs::create_directory(elsewhere);
  for (bool as_link : {false, true}) {
    SCOPED_TRACE(as_link ? "planted link" : "existing directory");
    ProcessOptions options;
    options.env["VORLIX_ONEFILE_START"] = START;
    options.env["TMPDIR"] = tmp().string();
    options.in_child = [&] {
      std::string target = tmp().string() + "/onefile_" + std::to_string(getpid()) + "_" + START;
      if (as_link)
        (void)!symlink(elsewhere.c_str(), target.c_str());
      else
        mkdir(target.c_str(), 0700);
    };
    Process process(package, {package}, options);
    ProcessResult r = process.wait();
    std::string target = tmp().string() + "/onefile_" + std::to_string(process.pid()) + "_" + START;
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_EQ(r.err, "Error, failed to open '" + target + "/run' for writing.\n");
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(as_link ? fs::is_symlink(target) : fs::is_empty(target));
    fs::remove(target);
  }
}

// --- Extraction -----------------------------------------------------------

TEST_F(LauncherTest, ModesFollowTheUmask) {
  std::vector<ArchiveEntry> entries = {
      probe("run"),
      {"empty", ENTRY_FLAG_EXECUTABLE, ""},
      {"plain.txt", 0, "text"},
      {"sub/dir/high-bit", 0x80, "x"},
      {"link", 0x03, "plain.txt"},
  };
  std::string package = write_package(path("pkg"), entries);
  struct Case {
    mode_t umask;
    const char* executable;
    const char* plain;
  };
  for (const Case& c : {Case{022, "0745", "0644"}, Case{077, "0700", "0600"}, Case{002, "0765", "0664"}}) {
    SCOPED_TRACE(c.umask);
    ProcessOptions options;
    options.umask = c.umask;
    options.env["PROBE_LIST"] = "1";
    ProcessResult r = launch(package, {}, options);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    std::string e = c.executable, p = c.plain;
    EXPECT_NE(r.out.find("file empty " + e + " 0 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("file run " + e + " "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("file plain.txt " + p + " 4 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("dir sub 0700\ndir sub/dir 0700\nfile sub/dir/high-bit " + p), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("link link -> plain.txt\n"), std::string::npos) << r.out;
    EXPECT_TRUE(tmp_is_empty());
  }
}

TEST_F(LauncherTest, ContentsArriveByteForByte) {
  std::vector<ArchiveEntry> entries = {probe("run")};
  for (size_t size : {size_t{0}, size_t{1}, size_t{32768}, size_t{32769}, size_t{131072}, size_t{5 << 20}})
    entries.push_back({"data/" + std::to_string(size), 0, random_bytes(size, static_cast<unsigned>(size))});
  // A later entry of the same name replaces the earlier one; a link takes a
  // file's place.
  entries.push_back({"twice", 0, "first version, longer"});
  entries.push_back({"twice", 0, "second"});
  entries.push_back({"was-a-file", 0, "file"});
  entries.push_back({"was-a-file", ENTRY_FLAG_SYMLINK, "twice"});
  ProcessOptions options;
  options.env["PROBE_LIST"] = "1";
  ProcessResult r = launch(write_package(path("pkg"), entries), {}, options);
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  for (size_t i = 1; i < 7; ++i) {
    const ArchiveEntry& e = entries[i];
    std::string line = "file " + e.name + " 0644 " + std::to_string(e.data.size()) + " " + hex_hash(e.data) + "\n";
    EXPECT_NE(r.out.find(line), std::string::npos) << line;
  }
  EXPECT_NE(r.out.find("file twice 0644 6 " + hex_hash("second")), std::string::npos);
  EXPECT_NE(r.out.find("link was-a-file -> twice\n"), std::string::npos);
}

TEST_F(LauncherTest, ManyFramesOfDifferentLevelsDecodeAsOneStream) {
  std::vector<ArchiveEntry> entries = {probe("run")};
  for (int i = 0; i < 6; ++i) entries.push_back({"f" + std::to_string(i), 0, random_bytes(70000 + i, i)});
  std::string archive = encode_archive(entries);
  std::string stream;
  int level = 1;
  for (size_t at = 0; at < archive.size(); at += 50000, level = level % 19 + 3)
    stream += compress(archive.substr(at, 50000), CompressionOptions{.level = level});
  ProcessOptions options;
  options.env["PROBE_LIST"] = "1";
  ProcessResult r = launch(write_package_stream(path("pkg"), stream), {}, options);
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  for (size_t i = 1; i < entries.size(); ++i)
    EXPECT_NE(r.out.find(entries[i].name + " 0644 " + std::to_string(entries[i].data.size()) + " " +
                         hex_hash(entries[i].data)),
              std::string::npos);
}

// Damaged streams stop at the read that reaches the damage; what came before
// stays on disk.
TEST_F(LauncherTest, DamagedStreamsFailToDecode) {
  std::vector<ArchiveEntry> entries = {script("run", "exit 0"), {"big", 0, random_bytes(600000, 7)}, {"after", 0, "x"}};
  std::string archive = encode_archive(entries);
  std::string first = compress(archive.substr(0, 200000));
  std::string rest = compress(archive.substr(200000));
  std::string corrupt = rest;
  for (size_t i = rest.size() / 3; i < rest.size() / 3 + 64; ++i) corrupt[i] ^= 0x5a;
  std::string no_end_marker = compress(archive.substr(0, archive.size() - 1));
  // A frame that asks for a 2^28-byte window, over what every launcher accepts.
  CompressionOptions wide;
  wide.window_log = 28;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"corrupt second frame", first + corrupt},
      {"cut short", first + rest.substr(0, rest.size() / 2)},
      {"archive without end marker", no_end_marker},
      {"window over 2^27", first + compress(archive.substr(200000), wide)},
      {"garbage", first + "not a zstd frame at all"},
  };
  for (const auto& [name, stream] : cases) {
    SCOPED_TRACE(name);
    ProcessResult r = launch(write_package_stream(path("pkg"), stream));
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_EQ(r.out, DECODE_MESSAGE);
    EXPECT_EQ(r.err, "");
    // The first frame's entries were written, and removed with the rest.
    EXPECT_TRUE(tmp_is_empty());
  }
}

// With the decoder ahead of the writer: damage in a later frame is reported
// once the writer gets there, and what was written is removed.
TEST_F(LauncherTest, DamageInALaterFrameAfterManyEntries) {
  std::vector<ArchiveEntry> entries = {script("run", "exit 0")};
  for (int i = 0; i < 3000; ++i) entries.push_back({"d/" + std::to_string(i), 0, random_bytes(300, i)});
  std::string archive = encode_archive(entries);
  size_t split = archive.size() * 3 / 4;
  std::string rest = compress(archive.substr(split));
  for (size_t i = 20; i < rest.size(); i += 7) rest[i] ^= 0x5a;
  ProcessResult r = launch(write_package_stream(path("pkg"), compress(archive.substr(0, split)) + rest));
  EXPECT_EQ(r.exit_code(), 2);
  EXPECT_EQ(r.out, DECODE_MESSAGE);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(tmp_is_empty());
}

// Many tiny entries, and one large highly compressible file: the same bytes
// arrive whichever way the payload is decoded.
TEST_F(LauncherTest, ManyTinyEntriesAndOneHugeFile) {
  std::vector<ArchiveEntry> tiny = {probe("run")};
  for (int i = 0; i < 20000; ++i) tiny.push_back({"t/" + std::to_string(i % 50) + "/" + std::to_string(i), 0, std::to_string(i)});
  std::string huge(256u << 20, '\0');
  for (size_t i = 0; i < huge.size(); i += 4096) huge[i] = static_cast<char>(i >> 12);
  const std::vector<std::pair<std::string, std::vector<ArchiveEntry>>> cases = {
      {"tiny entries", tiny},
      {"one 256 MiB file", {probe("run"), {"huge.bin", 0, huge}}},
  };
  for (const auto& [name, entries] : cases) {
    SCOPED_TRACE(name);
    ProcessOptions options;
    options.env["PROBE_LIST"] = "1";
    ProcessResult r = launch(write_package(path("pkg"), entries, {.level = 3}), {}, options);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    for (size_t i : {size_t{1}, entries.size() / 2, entries.size() - 1}) {
      const ArchiveEntry& e = entries[i];
      std::string line = "file " + e.name + " 0644 " + std::to_string(e.data.size()) + " " + hex_hash(e.data) + "\n";
      EXPECT_NE(r.out.find(line), std::string::npos) << line;
    }
    size_t files = 0;
    for (size_t at = r.out.find("\nfile "); at != std::string::npos; at = r.out.find("\nfile ", at + 1)) ++files;
    EXPECT_EQ(files, entries.size());
    EXPECT_TRUE(tmp_is_empty());
  }
}

// --- Running the program --------------------------------------------------

TEST_F(LauncherTest, ExitStatusIsTheChilds) {
  std::string package = write_package(path("pkg"), {probe("run")});
  struct Case {
    const char* variable;
    const char* value;
    int status;
  };
  for (const Case& c : {Case{"PROBE_EXIT", "0", 0}, Case{"PROBE_EXIT", "7", 7}, Case{"PROBE_EXIT", "255", 255},
                        Case{"PROBE_SIGNAL", "9", -9}, Case{"PROBE_SIGNAL", "11", -11},
                        Case{"PROBE_SIGNAL", "15", -15}}) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    ProcessOptions options;
    options.env[c.variable] = c.value;
    ProcessResult r = launch(package, {}, options);
    // A program that died of a signal: the launcher dies of the same one,
    // without a core dump of its own.
    if (c.status < 0) {
      EXPECT_EQ(r.term_signal(), -c.status) << r.err;
      EXPECT_FALSE(WCOREDUMP(r.wait_status));
    } else {
      EXPECT_EQ(r.exit_code(), c.status) << r.err;
    }
    EXPECT_TRUE(tmp_is_empty());
  }
}

TEST_F(LauncherTest, ProgramsThatCannotStart) {
  struct Case {
    const char* name;
    std::vector<ArchiveEntry> entries;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"empty archive", {}, "No such file or directory"},
      {"first entry not executable", {{"run", 0, "#!/bin/sh\n"}, probe("other")}, "Permission denied"},
      {"first entry not a program", {{"run", ENTRY_FLAG_EXECUTABLE, "\x01\x02garbage"}}, "Exec format error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = launch(write_package(path("pkg"), c.entries));
    EXPECT_EQ(r.exit_code(), 2);
    EXPECT_EQ(r.err, std::string("Error, couldn't launch child (exec): ") + c.error + "\n");
    EXPECT_TRUE(tmp_is_empty());
  }
}

// What the program leaves in its directory goes with it, except a mount:
// that stays with all it holds, and the launcher says so.
TEST_F(LauncherTest, CleanUpRemovesWhatTheProgramLeftButNoMount) {
  write_file(path("source/data"), "outside");
  constexpr int NO_NAMESPACE = 77;
  struct Case {
    const char* name;
    const char* body;
    std::optional<uid_t> uid;
    bool private_mounts;
    const char* left;  // below the target directory, or nullptr when all goes
  };
  const std::vector<Case> cases = {
      {"read-only directories of the user's own",
       "mkdir -p ro/sub locked && touch ro/f ro/sub/g locked/h && chmod 0555 ro/sub ro && chmod 0000 locked",
       65534, false, nullptr},
      {"a bind mount", "mkdir bound && mount --bind \"$SOURCE\" bound", std::nullopt, true, "bound"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string package =
        write_package(path("pkg"), {script("run", std::string("cd \"$(dirname \"$0\")\" && ") + c.body)});
    ProcessOptions options;
    options.uid = c.uid;
    options.env["SOURCE"] = path("source").string();
    if (c.private_mounts) {
      options.in_child = [] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
          _exit(NO_NAMESPACE);
      };
    }
    ProcessResult r = launch(package, {}, options);
    if (r.exit_code() == NO_NAMESPACE) GTEST_SKIP() << "this environment allows no private mount namespace";
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(read_file(path("source/data")), "outside");
    if (c.left == nullptr) {
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(tmp_is_empty());
      continue;
    }
    std::vector<std::string> directories = names_in(tmp());
    ASSERT_EQ(directories.size(), 1u);
    fs::path target = tmp() / directories[0];
    EXPECT_EQ(r.err, "Warning, couldn't remove '" + (target / c.left).string() + "': it is a mount point\n");
    EXPECT_EQ(names_in(target), std::vector<std::string>{c.left});
    fs::remove_all(target);
  }
}

TEST_F(LauncherTest, FirstEntryMayBeALink) {
  ProcessResult r = launch(write_package(path("pkg"), {{"start", ENTRY_FLAG_SYMLINK, "bin/real"}, probe("bin/real")}));
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_NE(r.out.find("argc=1"), std::string::npos);
}

TEST_F(LauncherTest, ChildSeesArgumentsAndVariables) {
  std::string package = write_package(path("app.bin"), {probe("run")});
  fs::create_symlink(package, path("via-link"));
  struct Case {
    std::string program;  // as started
    std::string argv0;    // as passed
    std::string cwd;
  };
  const std::vector<Case> cases = {
      {package, "anything at all", ""},
      {path("via-link").string(), "via-link", ""},
      {"./app.bin", "./app.bin", work_.path().string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    ProcessOptions options;
    options.cwd = c.cwd;
    options.env["TMPDIR"] = tmp().string();
    options.env["VORLIX_ONEFILE_PARENT"] = "1";
    options.env["VORLIX_ONEFILE_DIRECTORY"] = "/outer";
    options.env["VORLIX_ORIGINAL_ARGV0"] = "outer";
    options.env["VORLIX_ONEFILE_START"] = "42_42";
    Process process(c.program, {c.argv0, "", "--x", "two words", "-"}, options);
    ProcessResult r = process.wait();
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    auto report = report_of(r.out);
    EXPECT_EQ(report["argc"], "5");
    EXPECT_EQ(report["argv[0]"], package);
    EXPECT_EQ(report["argv[1]"], "");
    EXPECT_EQ(report["argv[2]"], "--x");
    EXPECT_EQ(report["argv[3]"], "two words");
    EXPECT_EQ(report["argv[4]"], "-");
    EXPECT_EQ(report["VORLIX_ORIGINAL_ARGV0"], c.argv0);
    EXPECT_EQ(report["VORLIX_ONEFILE_DIRECTORY"], work_.path().string());
    EXPECT_EQ(report["VORLIX_ONEFILE_PARENT"], std::to_string(process.pid()));
    EXPECT_EQ(report["VORLIX_ONEFILE_START"], "42_42");
    EXPECT_EQ(report["root"], tmp().string() + "/onefile_" + std::to_string(process.pid()) + "_42_42");
  }
}

TEST_F(LauncherTest, EmptyArgumentVector) {
  std::string package = write_package(path("pkg"), {probe("run")});
  ProcessOptions options;
  options.empty_argv = true;
  options.env["TMPDIR"] = tmp().string();
  ProcessResult r = run(package, {}, options);
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  auto report = report_of(r.out);
  EXPECT_EQ(report["argc"], "1");
  EXPECT_EQ(report["argv[0]"], package);
  EXPECT_EQ(report["VORLIX_ORIGINAL_ARGV0"], "");
}

// --- Buffer limits --------------------------------------------------------

// The target directory's length is made exactly |target_length| whatever the
// launcher's pid, by padding the start stamp.
ProcessOptions with_target_length(const fs::path& tmpdir, size_t target_length) {
  ProcessOptions options;
  options.env["TMPDIR"] = tmpdir.string();
  options.in_child = [tmpdir, target_length] {
    std::string prefix = tmpdir.string() + "/onefile_" + std::to_string(getpid()) + "_";
    // A stamp of the launcher's own form, <digits>_<digits>, of the length
    // that gives the target directory |target_length| characters.
    setenv("VORLIX_ONEFILE_START", (std::string(target_length - prefix.size() - 2, '7') + "_7").c_str(), 1);
  };
  return options;
}

// (The 4095-character limit of later entries is unit-tested: through the
// launcher, the first entry's 1023-character limit always strikes first.)
TEST_F(LauncherTest, NamesAndPathsAtTheirLimits) {
  struct Case {
    const char* name;
    fs::path tmpdir;
    size_t target_length;
    std::vector<ArchiveEntry> entries;
    bool accepted;
  };
  fs::path shallow = tmp();
  size_t short_target = 100;
  auto name_of = [](size_t length) { return std::string(length, 'n'); };
  const std::vector<Case> cases = {
      {"exec path 1023", shallow, short_target, {probe(nested_name(1023 - short_target - 1))}, true},
      {"exec path 1024", shallow, short_target, {probe(nested_name(1024 - short_target - 1))}, false},
      {"name 1024", shallow, short_target, {probe("run"), {nested_name(1024), 0, "x"}}, false},
      {"link target 1023", shallow, short_target, {probe("run"), {"l", ENTRY_FLAG_SYMLINK, name_of(1023)}}, true},
      {"link target 1024", shallow, short_target, {probe("run"), {"l", ENTRY_FLAG_SYMLINK, name_of(1024)}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult r = launch(write_package(path("pkg"), c.entries), {}, with_target_length(c.tmpdir, c.target_length));
    if (c.accepted) {
      EXPECT_EQ(r.exit_code(), 0) << r.err;
    } else {
      EXPECT_EQ(r.exit_code(), 2);
      EXPECT_EQ(r.err, TOO_LONG_MESSAGE);
      // Nothing of the refused entry was written; the directory stays.
      bool found_refused = false;
      for (auto& e : fs::recursive_directory_iterator(c.tmpdir)) {
        std::string leaf = e.path().filename().string();
        if (leaf == "l" || leaf.size() > 200) found_refused = true;
      }
      EXPECT_FALSE(found_refused);
    }
    for (auto& e : fs::directory_iterator(c.tmpdir))
      if (e.path().filename().string().rfind("onefile_", 0) == 0) fs::remove_all(e.path());
  }
}

}  // namespace
}  // namespace vorlix::testing
