#include <gtest/gtest.h>

#include "common/SysUtils.h"

namespace orvo {

TEST(ExceptionTest, ReportsItsClassNameAndMessage) {
  EInOutError e("File not found", 2);
  const Exception& base = e;
  EXPECT_STREQ(base.ClassName(), "EInOutError");
  EXPECT_EQ(base.Message(), "File not found");
  EXPECT_EQ(e.ErrorCode(), 2);
}

}  // namespace orvo
