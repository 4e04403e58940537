#include "base/path.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(NormalisedPath, CollapsesSeparatorsOfBothKinds) {
  EXPECT_EQ(normalisedPath("./u1//TDFlow/"), "./u1/TDFlow/");
  EXPECT_EQ(normalisedPath("a\\b//c"), "a/b/c/");
  EXPECT_EQ(normalisedPath(".\\u1\\MDFlow\\"), "./u1/MDFlow/");
}

TEST(NormalisedPath, AbsolutePathStaysAbsoluteAndDrivePrefixIsKept) {
  EXPECT_EQ(normalisedPath("/tmp//x"), "/tmp/x/");
  EXPECT_EQ(normalisedPath("C:\\flow"), "C:/flow/");
}

TEST(NormalisedPath, PathWithoutPiecesIsEmpty) {
  EXPECT_EQ(normalisedPath(""), "");
  EXPECT_EQ(normalisedPath("//\\"), "");
  EXPECT_TRUE(pathPieces("///").empty());
}

}  // namespace
}  // namespace qv
