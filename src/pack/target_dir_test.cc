#include "pack/target_dir.h"

#include <gtest/gtest.h>

namespace vorlix::pack {
namespace {

TEST(TargetSpecTest, Problems) {
  struct Case {
    const char* spec;
    bool cached;
    const char* problem;  // a part of the message; "" when accepted
  };
  const Case cases[] = {
      {"{TEMP}/onefile_{PID}_{TIME}", false, ""},
      {"{program_dir}/.run-{pid}", false, ""},
      {"/var/run/app-{PID}-{TIME}", false, ""},
      {"{HOME}/.cache/app", true, ""},
      {"{CACHE_DIR}/vorlix/app-0123", true, ""},
      {"{PROGRAM}.d", true, ""},
      {"", false, "empty"},
      {"{TEMP}/x-{PID", false, "unclosed '{'"},
      {"{TEMP}/x-{P{ID}", false, "unclosed '{'"},
      {"{TEMP}/x}-{PID}", false, "'}' without '{'"},
      {"{TEMP}/{}-{PID}", false, "unknown placeholder '{}'"},
      {"{TEMP}/{USER}-{PID}", false, "unknown placeholder '{USER}'"},
      {"run-{PID}", false, "may not give an absolute path"},
      {"{PID}/x", false, "may not give an absolute path"},
      {"{TIME}", false, "may not give an absolute path"},
      {"{TEMP}/fixed", false, "does not name {PID}"},
      {"/var/run/app-{TIME}", false, "does not name {PID}"},
      {"{CACHE_DIR}/app-{PID}", true, "every run would extract anew"},
      {"{CACHE_DIR}/app-{time}", true, "every run would extract anew"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    std::string problem = target_spec_problem(c.spec, c.cached);
    if (*c.problem == '\0') {
      EXPECT_EQ(problem, "");
    } else {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
  }
  EXPECT_NE(target_spec_problem("/" + std::string(1100, 'x') + "{PID}", false).find("longer than 1023"),
            std::string::npos);
}

TEST(TargetSpecTest, DefaultCacheSpecKeepsTheNameLiteral) {
  EXPECT_EQ(default_cache_spec("app", "ab12"), "{CACHE_DIR}/vorlix/app-ab12");
  EXPECT_EQ(default_cache_spec("my{PID}app", "ab12"), "{CACHE_DIR}/vorlix/my_PID_app-ab12");
  EXPECT_EQ(default_cache_spec("", "ab12"), "{CACHE_DIR}/vorlix/package-ab12");
  EXPECT_EQ(target_spec_problem(default_cache_spec("my{PID}app", "ab12"), true), "");
}

}  // namespace
}  // namespace vorlix::pack
