// The launcher's refusal of a damaged configuration block: the rule itself
// is tested with the block's checker (format/launcher_config_test.cc); here,
// what the launcher does with its verdict.
#include "launcher/configuration.h"

#include <gtest/gtest.h>

namespace {

TEST(ConfigurationTest, SoundBlockPasses) {
  check_launcher_configuration();
  SUCCEED();
}

TEST(ConfigurationTest, DamagedBlockEndsTheLauncher) {
  EXPECT_EXIT(
      {
        launcher_config.mode = LAUNCH_MODE_CACHED;
        check_launcher_configuration();
      },
      ::testing::ExitedWithCode(2),
      "^Error, damaged package configuration: its cached target directory names \\{PID\\} or \\{TIME\\}\\.\n$");
}

}  // namespace
