// SPDX-License-Identifier: MIT
// The count argument is read as a "%d" conversion does, wrapping modulo 2^32.
#include <gtest/gtest.h>

#include "count_argument.h"

namespace {

TEST(CountArgument, ReadsPlainDecimalNumbers) {
  EXPECT_EQ(ParseCountArgument("64"), 64u);
  EXPECT_EQ(ParseCountArgument("0"), 0u);
  EXPECT_EQ(ParseCountArgument(L"4096"), 4096u);
}

TEST(CountArgument, SkipsLeadingWhiteSpaceAndAcceptsASign) {
  EXPECT_EQ(ParseCountArgument(" \t\n\v\f\r12"), 12u);
  EXPECT_EQ(ParseCountArgument("+7"), 7u);
  EXPECT_EQ(ParseCountArgument(L"  -1"), 4294967295u);
  EXPECT_EQ(ParseCountArgument("-4096"), 4294963200u);
}

TEST(CountArgument, IgnoresEverythingAfterTheDigits) {
  EXPECT_EQ(ParseCountArgument("12abc"), 12u);
  EXPECT_EQ(ParseCountArgument("3 4"), 3u);
  EXPECT_EQ(ParseCountArgument(L"10.5"), 10u);
}

TEST(CountArgument, GivesZeroWithoutDigits) {
  EXPECT_EQ(ParseCountArgument("abc"), 0u);
  EXPECT_EQ(ParseCountArgument(""), 0u);
  EXPECT_EQ(ParseCountArgument("-"), 0u);
  EXPECT_EQ(ParseCountArgument("- 5"), 0u);
  EXPECT_EQ(ParseCountArgument("x12"), 0u);
}

TEST(CountArgument, WrapsModulo2To32InsteadOfSaturating) {
  EXPECT_EQ(ParseCountArgument("4294967295"), 4294967295u);
  EXPECT_EQ(ParseCountArgument("4294967296"), 0u);
  EXPECT_EQ(ParseCountArgument("4294967297"), 1u);
  EXPECT_EQ(ParseCountArgument("99999999999"), 1215752191u);
  EXPECT_EQ(ParseCountArgument(L"99999999999"), 1215752191u);
  EXPECT_EQ(ParseCountArgument("-4294967297"), 4294967295u);
}

TEST(CountArgument, ReadsOnlyTheFirstArgument) {
  const char *const none[] = {"prog"};
  const char *const two[] = {"prog", "5", "9"};
  const wchar_t *const wide[] = {L"prog", L"abc", L"9"};
  EXPECT_EQ(CountFromArguments(1, none), 0u);
  EXPECT_EQ(CountFromArguments(3, two), 5u);
  EXPECT_EQ(CountFromArguments(3, wide), 0u);
}

} // namespace
