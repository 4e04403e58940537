#include "base/text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qv {
namespace {

TEST(CopyText, OverlongSourceIsCutAndTerminated) {
  char dst[5];
  std::memset(dst, 'x', sizeof dst);
  copyText(dst, "abcdefgh");
  EXPECT_STREQ(dst, "abcd");
}

TEST(CopyText, NullSourceGivesEmptyText) {
  char dst[4] = {'a', 'b', 'c', 0};
  copyText(dst, nullptr);
  EXPECT_STREQ(dst, "");
}

TEST(CopyText, SourceThatFitsIsCopiedWhole) {
  char dst[9];
  copyText(dst, "20261208");
  EXPECT_STREQ(dst, "20261208");
}

TEST(TextLength, FullWidthTextWithoutTerminatorCountsItsWidth) {
  char text[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(textLength(text), 4u);
  text[2] = 0;
  EXPECT_EQ(textLength(text), 2u);
}

}  // namespace
}  // namespace qv
