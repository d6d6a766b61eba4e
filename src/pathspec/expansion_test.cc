#include "pathspec/expansion.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/pathspec_syntax.h"
#include "payload/self_location.h"
#include "testing/scoped_env.h"

namespace vorlix::testing {
namespace {

constexpr char PROGRAM[] = "/opt/tools/run.BIN";

// The expander's own path comes from the cache that find_own_executable
// fills; tests fill it themselves.
void set_program(const std::string& path) {
  ASSERT_LT(path.size(), sizeof own_path);
  memcpy(own_path, path.c_str(), path.size() + 1);
}

struct Case {
  const char* name;
  ScopedEnv::Values env;
  std::string program;
  std::string spec;
  size_t capacity;
  bool result;
  // Expected output; "<stamp>" stands for VORLIX_ONEFILE_START afterwards.
  std::string output;
  std::optional<std::string> start_after;  // "<any>": set to a fresh stamp
};

// Everything a case does not set explicitly.
ScopedEnv::Values base_env(const ScopedEnv::Values& overrides) {
  ScopedEnv::Values env = {{"TMPDIR", std::nullopt},
                           {"HOME", "/home/ann/"},
                           {"XDG_CACHE_HOME", std::nullopt},
                           {"VORLIX_ONEFILE_PARENT", "4242"},
                           {"VORLIX_ONEFILE_START", std::nullopt}};
  for (const auto& [name, value] : overrides) env[name] = value;
  return env;
}

std::string replace_stamp(std::string text, const std::string& stamp) {
  for (size_t at; (at = text.find("<stamp>")) != std::string::npos;) text.replace(at, 7, stamp);
  return text;
}

void check(const Case& c) {
  SCOPED_TRACE(c.name);
  ScopedEnv env(base_env(c.env));
  set_program(c.program.empty() ? PROGRAM : c.program);
  std::vector<char> buffer(c.capacity + 16, '#');
  bool result = expand_path_spec(buffer.data(), c.spec.c_str(), c.capacity);
  const char* start = getenv("VORLIX_ONEFILE_START");
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(std::string(buffer.data()), replace_stamp(c.output, start ? start : "(unset)"));
  // Nothing is written past the capacity.
  for (size_t i = c.capacity; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], '#') << "byte " << i;
  if (!c.start_after) {
    EXPECT_EQ(start, nullptr);
  } else if (*c.start_after == "<any>") {
    ASSERT_NE(start, nullptr);
    EXPECT_TRUE(std::string(start).find('_') != std::string::npos) << start;
  } else {
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(std::string(start), *c.start_after);
  }
}

const std::string BUILT_IN = "{TEMP}/onefile_{PID}_{TIME}";

TEST(PathSpecTest, TargetDirectoryExamples) {
  const std::vector<Case> cases = {
      {"TMPDIR unset", {}, "", BUILT_IN, 4096, true, "/tmp/onefile_4242_<stamp>", "<any>"},
      {"TMPDIR with slashes", {{"TMPDIR", "/var/tmp//"}}, "", BUILT_IN, 4096, true, "/var/tmp/onefile_4242_<stamp>",
       "<any>"},
      {"TMPDIR root", {{"TMPDIR", "/"}}, "", BUILT_IN, 4096, true, "/onefile_4242_<stamp>", "<any>"},
      {"TMPDIR empty", {{"TMPDIR", ""}}, "", BUILT_IN, 4096, true, "/onefile_4242_<stamp>", "<any>"},
      {"start preset",
       {{"VORLIX_ONEFILE_START", "1699999999_77"}},
       "",
       BUILT_IN,
       4096,
       true,
       "/tmp/onefile_4242_1699999999_77",
       "1699999999_77"},
      {"braces in a value are copied", {{"TMPDIR", "/tmp/{PID}"}}, "", BUILT_IN, 4096, true,
       "/tmp/{PID}/onefile_4242_<stamp>", "<any>"},
      {"PID with leading zeros", {{"VORLIX_ONEFILE_PARENT", "007"}}, "", "{PID}", 4096, true, "007", std::nullopt},
  };
  for (const Case& c : cases) check(c);
}

TEST(PathSpecTest, OtherPlaceholders) {
  const std::vector<Case> cases = {
      {"program base", {}, "", "{PROGRAM_BASE}.log", 4096, true, "/opt/tools/run.log", std::nullopt},
      {"program dir", {}, "", "{PROGRAM_DIR}/data", 4096, true, "/opt/tools/data", std::nullopt},
      {"home", {}, "", "{HOME}", 4096, true, "/home/ann", std::nullopt},
      {"cache dir from home", {}, "", "{CACHE_DIR}/x", 4096, true, "/home/ann/.cache/x", std::nullopt},
      {"program", {}, "", "{PROGRAM}", 4096, true, PROGRAM, std::nullopt},
      {"base removes one suffix", {}, "/opt/tools/run.bin.bin", "{PROGRAM_BASE}", 4096, true, "/opt/tools/run.bin",
       std::nullopt},
      {"base without suffix", {}, "/opt/tools/run", "{PROGRAM_BASE}", 4096, true, "/opt/tools/run", std::nullopt},
      {"base that is only the suffix", {}, "/.Bin", "{PROGRAM_BASE}", 4096, true, "/", std::nullopt},
      {"dir of a program in /", {}, "/run", "[{PROGRAM_DIR}]", 4096, true, "[]", std::nullopt},
      {"dir of a program in / eats the slash before", {}, "/run", "/x/{PROGRAM_DIR}", 4096, true, "/x",
       std::nullopt},
      {"relative XDG_CACHE_HOME falls back", {{"XDG_CACHE_HOME", "cache"}}, "", "{CACHE_DIR}", 4096, true,
       "/home/ann/.cache", std::nullopt},
      {"empty XDG_CACHE_HOME falls back", {{"XDG_CACHE_HOME", ""}}, "", "{CACHE_DIR}", 4096, true,
       "/home/ann/.cache", std::nullopt},
      {"absolute XDG_CACHE_HOME", {{"XDG_CACHE_HOME", "/c//"}}, "", "{CACHE_DIR}", 4096, true, "/c", std::nullopt},
      {"empty HOME", {{"HOME", ""}}, "", "a/{HOME}", 4096, true, "a", std::nullopt},
      {"HOME unset uses the password entry", {{"HOME", std::nullopt}}, "", "{HOME}", 4096, true,
       getuid() == 0 ? "/root" : "", std::nullopt},
      {"PID unset uses our pid", {{"VORLIX_ONEFILE_PARENT", std::nullopt}}, "", "{PID}", 4096, true,
       std::to_string(getpid()), std::nullopt},
      {"TIME twice is one stamp", {}, "", "{TIME}-{time}", 4096, true, "<stamp>-<stamp>", "<any>"},
      {"names ignore case", {{"TMPDIR", "/t"}}, "", "{temp}{Temp}{TEMP}", 4096, true, "/t/t/t", std::nullopt},
      {"slashes before an empty path value go", {{"TMPDIR", "/"}}, "", "/x/{TEMP}", 4096, true, "/x",
       std::nullopt},
  };
  for (const Case& c : cases) {
    if (std::string(c.name) == "HOME unset uses the password entry" && getuid() != 0) continue;
    check(c);
  }
}

TEST(PathSpecTest, ScanningAndFailures) {
  const std::string long_name(1023, 'A'), longer_name(1024, 'A');
  const std::vector<Case> cases = {
      {"empty spec", {}, "", "", 4096, true, "", std::nullopt},
      {"capacity - 1 literals", {}, "", "abcd", 5, true, "abcd", std::nullopt},
      {"one literal more", {}, "", "abcde", 5, false, "abcd", std::nullopt},
      {"capacity 1", {}, "", "a", 1, false, "", std::nullopt},
      {"value one shorter than the room", {{"TMPDIR", "abc"}}, "", "x{TEMP}", 5, true, "xabc", std::nullopt},
      {"value as long as the room", {{"TMPDIR", "abcd"}}, "", "x{TEMP}", 5, false, "x", std::nullopt},
      {"nested value that fits exactly", {}, "", "{PROGRAM_BASE}", 19, true, "/opt/tools/run", std::nullopt},
      {"nested value one too long", {}, "", "{PROGRAM_BASE}", 18, false, "", std::nullopt},
      {"empty name", {}, "", "a{}b", 4096, false, "a", std::nullopt},
      {"unknown name", {}, "", "a{NOPE}b", 4096, false, "a", std::nullopt},
      {"open brace at the end", {}, "", "abc{", 4096, true, "abc", std::nullopt},
      {"open placeholder at the end", {}, "", "abc{TEMP", 4096, true, "abc", std::nullopt},
      {"restarted placeholder", {{"TMPDIR", "/t"}}, "", "{X{TEMP}", 4096, true, "/t", std::nullopt},
      {"stray closing brace is a literal", {}, "", "a}b", 4096, true, "a}b", std::nullopt},
      {"name of 1023 characters", {}, "", "x{" + long_name + "}", 4096, false, "x", std::nullopt},
      {"name of 1024 characters", {}, "", "x{" + longer_name + "}", 4096, false, "x", std::nullopt},
      {"unfinished long name", {}, "", "x{" + longer_name + longer_name, 4096, false, "x", std::nullopt},
  };
  for (const Case& c : cases) check(c);
}

// The packer, verify and the launcher check stored specs against this table:
// every name in it must be one the expander knows, and a path placeholder
// must give an absolute path.
TEST(PathSpecTest, PlaceholderTableMatchesTheExpander) {
  ScopedEnv env(base_env({}));
  set_program(PROGRAM);
  for (const PathSpecPlaceholder& placeholder : PATH_SPEC_PLACEHOLDERS) {
    SCOPED_TRACE(placeholder.name);
    char out[4096];
    std::string spec = std::string("{") + placeholder.name + "}";
    ASSERT_TRUE(expand_path_spec(out, spec.c_str(), sizeof out));
    if (placeholder.gives_absolute_path) {
      EXPECT_EQ(out[0], '/') << out;
    }
  }
}

TEST(PathSpecTest, PidMustBeDigits) {
  for (const char* value : {"", "12a", " 12"}) {
    SCOPED_TRACE(value);
    EXPECT_EXIT(
        {
          setenv("VORLIX_ONEFILE_PARENT", value, 1);
          char out[64];
          expand_path_spec(out, "{PID}", sizeof out);
        },
        ::testing::KilledBySignal(SIGABRT), "");
  }
}

TEST(PathSpecTest, StartStampIsStableAcrossCalls) {
  ScopedEnv env(base_env({}));
  char first[64], second[64];
  ASSERT_TRUE(expand_path_spec(first, "{TIME}", sizeof first));
  usleep(2000);
  ASSERT_TRUE(expand_path_spec(second, "{TIME}", sizeof second));
  EXPECT_STREQ(first, second);
  EXPECT_STREQ(getenv("VORLIX_ONEFILE_START"), first);
}

}  // namespace
}  // namespace vorlix::testing
