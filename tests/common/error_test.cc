#include "common/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace stackpeek {
namespace {

TEST(ErrorTest, ContextChainsOutermostFirst) {
  Error inner("inner");
  Error outer = inner.context("middle").context("outer");
  EXPECT_EQ(outer.message(), "outer");
  EXPECT_EQ(outer.causes(), (std::vector<std::string>{"middle", "inner"}));
  EXPECT_EQ(inner.message(), "inner");
}

TEST(ErrorTest, OsErrorTextMatchesTheSystemDescription) {
  EXPECT_EQ(Error::from_errno(ENOENT).message(), "No such file or directory (os error 2)");
}

TEST(ErrorTest, FatalTextFormsForZeroOneAndManyCauses) {
  EXPECT_EQ(format_fatal_error(Error("boom")), "Error: boom\n");
  EXPECT_EQ(format_fatal_error(Error("cause").context("top")),
            "Error: top\n\nCaused by:\n    cause\n");
  EXPECT_EQ(format_fatal_error(Error("c").context("b").context("a")),
            "Error: a\n\nCaused by:\n    0: b\n    1: c\n");
}

}  // namespace
}  // namespace stackpeek
