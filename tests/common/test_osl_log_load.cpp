// The logging module's state at program load, before anything sets it up: threshold 3, an
// empty target, so warning and error texts are formatted and then discarded.
#include <gtest/gtest.h>

#include <string>

#include "osl_log.h"
#include "test_util.h"

namespace {

TEST(LogAtLoad, TextsAreFormattedAndDiscarded) {
  osltest::StdoutCapture cap;
  cap.start();
  char url[16] = "unchanged";
  osl_log_get_target(url, sizeof url);
  const int32_t level = osl_log_get_level();
  const int32_t debug = osl_log_debug("d\n");
  const int32_t info = osl_log_info("i\n");
  const int32_t warn = osl_log_warn("x\n");
  const int32_t error = osl_log_error("%s\n", "err");
  const int32_t mod_error = osl_log_mod_error(1, "m\n");  // no slot is in use
  const int32_t mod_level = osl_log_mod_get_level(1);
  const uint32_t flag = osl_log_mod_get_flag();
  osl_log_mod_config();
  const std::string out = cap.stop();

  EXPECT_STREQ(url, "");
  EXPECT_EQ(level, 3);
  EXPECT_EQ(debug, 0);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(warn, 3);
  EXPECT_EQ(error, 5);
  EXPECT_EQ(mod_error, 0);
  EXPECT_EQ(mod_level, 0);
  EXPECT_EQ(flag, 0u);
  EXPECT_EQ(out, "");
}

}  // namespace
