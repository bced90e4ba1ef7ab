#include "server/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

struct DecodeCase {
  const char* text;
  bool ok;
  std::string bytes;
};

class Base64Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64Decode, GivesTheBytesOrNull) {
  const DecodeCase& c = GetParam();
  size_t n = 12345;
  unsigned char* out = base64_decode(c.text, std::strlen(c.text), &n);
  if (!c.ok) {
    EXPECT_EQ(out, nullptr);
    std::free(out);
    return;
  }
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.bytes);
  EXPECT_EQ(out[n], 0) << "a zero byte follows the decoded bytes";
  std::free(out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Base64Decode,
    ::testing::Values(DecodeCase{"TWE=", true, "\x4D\x61"}, DecodeCase{"TQ==", true, "\x4D"},
                      DecodeCase{"TWFu", true, "\x4D\x61\x6E"}, DecodeCase{"", true, ""},
                      DecodeCase{"TWFuTWE=", true, "ManMa"},
                      DecodeCase{"+/+/", true, std::string("\xFB\xFF\xBF", 3)},
                      // length not a multiple of 4
                      DecodeCase{"TWF", false, ""}, DecodeCase{"TWFuT", false, ""},
                      // characters outside the alphabet are refused, not decoded as data
                      DecodeCase{"TW!u", false, ""}, DecodeCase{"TWFu\r\n==", false, ""},
                      DecodeCase{"TW u", false, ""}, DecodeCase{"TWF\x80", false, ""},
                      // padding only at the end
                      DecodeCase{"T=Fu", false, ""}, DecodeCase{"TQ=A", false, ""},
                      DecodeCase{"====", false, ""}, DecodeCase{"TQ==TWFu", false, ""}));

TEST(Base64, EncodesWithPadding) {
  struct {
    std::string in;
    const char* out;
  } cases[] = {{"", ""}, {"M", "TQ=="}, {"Ma", "TWE="}, {"Man", "TWFu"}, {std::string("\xFB\xFF\xBF", 3), "+/+/"}};
  for (const auto& c : cases) {
    size_t n = 99;
    char* text = base64_encode(reinterpret_cast<const unsigned char*>(c.in.data()), c.in.size(), &n);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.out);
    EXPECT_EQ(n, std::strlen(c.out));
    std::free(text);
  }
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
  std::mt19937 rng(7);
  for (size_t len = 0; len < 300; ++len) {
    std::string data(len, '\0');
    for (auto& ch : data) ch = static_cast<char>(rng());
    size_t textLen = 0, outLen = 0;
    char* text = base64_encode(reinterpret_cast<const unsigned char*>(data.data()), len, &textLen);
    ASSERT_NE(text, nullptr);
    ASSERT_EQ(textLen, (len + 2) / 3 * 4);
    unsigned char* back = base64_decode(text, textLen, &outLen);
    ASSERT_NE(back, nullptr) << len;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), outLen), data) << len;
    std::free(text);
    std::free(back);
  }
}

}  // namespace

namespace {

// Text held as chars or bytes, and counts of other integer types.
TEST(Base64, AcceptsOtherByteAndCountTypes) {
  const std::string text = "TWFu";
  int n = -1;
  unsigned char* out = base64_decode(text.data(), text.size(), &n);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "Man");
  std::free(out);

  const uint8_t bytes[] = {'T', 'W', 'E', '='};
  unsigned m = 0;
  out = base64_decode(bytes, 4, &m);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(m, 2u);
  std::free(out);
  EXPECT_EQ(base64_decode(bytes, 3, &m), nullptr);

  const std::string data = "Ma";
  long k = 0;
  char* encoded = base64_encode(data.data(), data.size(), &k);
  ASSERT_NE(encoded, nullptr);
  EXPECT_STREQ(encoded, "TWE=");
  EXPECT_EQ(k, 4);
  std::free(encoded);
}

}  // namespace
