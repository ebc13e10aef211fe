// SPDX-License-Identifier: Apache-2.0
#include "platform/ascii.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace larkspur::platform {
namespace {

TEST(AsciiCase, PairsOnlyAsciiLetters) {
  EXPECT_TRUE(ascii_iequals("PoSt", "post"));
  EXPECT_FALSE(ascii_iequals("post ", "post"));
  EXPECT_FALSE(ascii_iequals("pos", "post"));
  // '@' and '`' sit next to the letters but are no pair of anything.
  EXPECT_FALSE(ascii_iequals("@", "`"));
  EXPECT_FALSE(ascii_iequals("\xC0", "\xE0"));
  EXPECT_TRUE(ascii_istarts_with("BOUNDARY=x", "boundary="));
  EXPECT_FALSE(ascii_istarts_with("bound", "boundary="));
}

// The forms side by side; the readings built on them (CONTENT_LENGTH, the
// minimum length) are pinned by their own tables.
TEST(ParseInteger, EachFormAcceptsItsOwnPrefix) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  using F = IntegerForm;
  const struct {
    const char* text;
    IntegerForm form;
    std::int64_t value;
    std::size_t end;
    bool saturated;
  } cases[] = {
      {"12", F::kDigits, 12, 2, false},    {"+12", F::kDigits, 0, 0, false},
      {"+12", F::kSigned, 12, 3, false},   {"-12 n", F::kSigned, -12, 3, false},
      {" \t-12", F::kSigned, 0, 0, false}, {" \t-12", F::kLikeAtoi, -12, 5, false},
      {"  ", F::kLikeAtoi, 0, 0, false},   {"99999999999999999999x", F::kDigits, kMax, 20, true},
  };
  for (const auto& c : cases) {
    const ParsedInteger parsed = parse_integer(c.text, c.form);
    EXPECT_EQ(parsed.value, c.value) << c.text;
    EXPECT_EQ(parsed.end, c.end) << c.text;
    EXPECT_EQ(parsed.digits, c.end != 0) << c.text;
    EXPECT_EQ(parsed.saturated, c.saturated) << c.text;
  }
  EXPECT_TRUE(parse_integer("8", F::kDigits).whole("8"));
  EXPECT_FALSE(parse_integer("8 bytes", F::kDigits).whole("8 bytes"));
}

}  // namespace
}  // namespace larkspur::platform
