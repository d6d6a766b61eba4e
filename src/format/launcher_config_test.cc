#include "format/launcher_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "format/pathspec_syntax.h"

namespace {

// A block as the launcher is built with it: the mark, then zeros.
LauncherConfig unfilled() {
  LauncherConfig config;
  memset(&config, 0, sizeof config);
  memcpy(config.mark, LAUNCHER_CONFIG_MARK, sizeof config.mark);
  return config;
}

void set_text(char* field, size_t size, const std::string& text) {
  memset(field, 0, size);
  memcpy(field, text.data(), std::min(text.size(), size));
}

// A block as the packer fills it in for cached mode.
LauncherConfig cached() {
  LauncherConfig config = unfilled();
  config.mode = LAUNCH_MODE_CACHED;
  set_text(config.target_spec, sizeof config.target_spec, "{CACHE_DIR}/vorlix/app-0123abcd");
  set_text(config.payload_hash, sizeof config.payload_hash, "0123456789abcdef0123456789abcdef");
  set_text(config.exec_name, sizeof config.exec_name, "bin/app");
  return config;
}

TEST(LauncherConfigTest, Problems) {
  struct Case {
    const char* name;
    LauncherConfig (*base)();
    std::function<void(LauncherConfig&)> edit;
    const char* problem;  // nullptr: sound
  };
  auto spec = [](const std::string& text) {
    return [text](LauncherConfig& c) { set_text(c.target_spec, sizeof c.target_spec, text); };
  };
  auto exec = [](const std::string& text) {
    return [text](LauncherConfig& c) { set_text(c.exec_name, sizeof c.exec_name, text); };
  };
  auto temporary_spec = [](const std::string& text) {
    return [text](LauncherConfig& c) {
      c.mode = LAUNCH_MODE_TEMPORARY;
      set_text(c.target_spec, sizeof c.target_spec, text);
    };
  };
  const Case cases[] = {
      {"unfilled", unfilled, [](LauncherConfig&) {}, nullptr},
      {"temporary with a spec", unfilled, spec("{PROGRAM_DIR}/.run-{pid}"), nullptr},
      {"temporary, grace period chosen", unfilled, [](LauncherConfig& c) { c.grace_period = 3601; }, nullptr},
      {"cached", cached, [](LauncherConfig&) {}, nullptr},
      {"temporary ignores the cached fields", unfilled, exec("../x"), nullptr},
      {"first mark byte", unfilled, [](LauncherConfig& c) { c.mark[0] ^= 0x20; }, "its mark is damaged"},
      {"mark's NUL", unfilled, [](LauncherConfig& c) { c.mark[sizeof c.mark - 1] = 'x'; }, "its mark is damaged"},
      {"mode 7", unfilled, [](LauncherConfig& c) { c.mode = 7; }, "its mode is unknown"},
      {"grace period past the maximum", unfilled, [](LauncherConfig& c) { c.grace_period = 3602; },
       "its grace period is out of range"},
      {"spec without NUL", unfilled,
       [](LauncherConfig& c) { memset(c.target_spec, '/', sizeof c.target_spec); },
       "its target directory does not end within its field"},
      {"hash without NUL", unfilled,
       [](LauncherConfig& c) { memset(c.payload_hash, 'a', sizeof c.payload_hash); },
       "its payload hash does not end within its field"},
      {"exec name without NUL", unfilled, [](LauncherConfig& c) { memset(c.exec_name, 'a', sizeof c.exec_name); },
       "its exec name does not end within its field"},
      {"unknown placeholder", unfilled, spec("{NOPE}/x-{PID}"), "its target directory names an unknown placeholder"},
      {"empty placeholder", unfilled, spec("/x-{}-{PID}"), "its target directory names an unknown placeholder"},
      {"lone '}'", unfilled, spec("/x}-{PID}"), "its target directory has a '}' without '{'"},
      {"unclosed '{'", unfilled, spec("/x-{PID"), "its target directory has an unclosed '{'"},
      {"nested '{'", unfilled, spec("/x-{P{PID}}"), "its target directory has an unclosed '{'"},
      {"relative", unfilled, spec("run-{PID}"), "its target directory may not give an absolute path"},
      {"starting with {PID}", unfilled, spec("{PID}/x"), "its target directory may not give an absolute path"},
      {"temporary without {PID}", unfilled, spec("{TEMP}/app-{TIME}"),
       "its temporary target directory does not name {PID}"},
      {"cached with {PID}", cached, spec("{CACHE_DIR}/app-{PID}"), "its cached target directory names {PID} or {TIME}"},
      {"cached with {time}", cached, spec("/var/app-{time}"), "its cached target directory names {PID} or {TIME}"},
      {"cached with the default spec", cached, spec(""), "its cached target directory names {PID} or {TIME}"},
      {"cached spec in temporary mode", cached, temporary_spec("{CACHE_DIR}/app"),
       "its temporary target directory does not name {PID}"},
      {"exec name escaping", cached, exec("../../../../bin/id"), "its exec name has a '..' component"},
      {"exec name absolute", cached, exec("/bin/id"), "its exec name is absolute"},
      {"exec name with '..' inside", cached, exec("a/../b"), "its exec name has a '..' component"},
      {"exec name with '.'", cached, exec("./b"), "its exec name has a '.' component"},
      {"exec name with an empty component", cached, exec("a//b"), "its exec name has an empty component"},
      {"exec name empty", cached, exec(""), "its exec name is empty"},
      {"hash empty", cached, [](LauncherConfig& c) { c.payload_hash[0] = '\0'; }, "its payload hash is empty"},
      {"hash not hexadecimal", cached, [](LauncherConfig& c) { c.payload_hash[3] = 'G'; },
       "its payload hash is not hexadecimal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherConfig config = c.base();
    c.edit(config);
    const char* problem = launcher_config_problem(config);
    EXPECT_STREQ(problem, c.problem);
  }
}

TEST(LauncherConfigTest, GracePeriod) {
  LauncherConfig config = unfilled();
  EXPECT_EQ(launcher_config_grace_period_s(config), GRACE_PERIOD_DEFAULT_S);
  for (uint32_t seconds : {0u, 1u, 20u, GRACE_PERIOD_MAX_S}) {
    config.grace_period = launcher_config_grace_period_field(seconds);
    EXPECT_EQ(launcher_config_grace_period_s(config), seconds);
  }
}

TEST(LauncherConfigTest, CacheCompleteMarkerNames) {
  const std::pair<const char*, bool> cases[] = {
      {".vorlix-complete", true},   {".vorlix-complete/x", true}, {".vorlix-completed", false},
      {"a/.vorlix-complete", false}, {".vorlix-complet", false},  {"", false},
  };
  for (const auto& [name, reserved] : cases) EXPECT_EQ(names_cache_complete_marker(name, strlen(name)), reserved) << name;
}

TEST(PathSpecSyntaxTest, UnknownPlaceholderIsLocated) {
  std::string spec = "{TEMP}/{User}-{PID}";
  TargetSpecCheck check = check_target_spec(spec.data(), spec.size(), false);
  EXPECT_EQ(check.fault, TARGET_SPEC_UNKNOWN_PLACEHOLDER);
  EXPECT_EQ(spec.substr(check.begin, check.end - check.begin), "{User}");
  EXPECT_EQ(find_path_spec_placeholder("program_dir", 11), &PATH_SPEC_PLACEHOLDERS[3]);
  EXPECT_EQ(find_path_spec_placeholder("PROGRAM_DIR", 7), &PATH_SPEC_PLACEHOLDERS[1]);
}

}  // namespace
