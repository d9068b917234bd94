// Tests of the Windows-1250 <-> UTF-8 conversion against the system's iconv tables.
#include "platform/codepage.h"

#include "test_support-posix.h"

namespace {

TEST(CodePage, EveryByteMatchesIconv) {
  for (int B = 0; B < 256; ++B) {
    const std::string Byte(1, static_cast<char>(B));
    // The five unassigned codes have no character in iconv's table.
    const std::string Expected = Iconv(Byte, "CP1250", "UTF-8", "\uFFFD");
    EXPECT_EQ(ToUtf8(Byte), Expected) << "byte " << B;
    EXPECT_EQ(FromUtf8(Expected), Expected == "\uFFFD" ? "?" : Byte) << "byte " << B;
  }
}

TEST(CodePage, FromUtf8ReplacesWhatCp1250CannotHold) {
  const struct {
    std::string Utf8, Expected;
  } Cases[] = {
      {"Příliš žluťoučký kůň", W("Příliš žluťoučký kůň")},
      {"\u0436\u00E5\U0001F600\u20AC", "???\x80"},  // not in the code page
      {"a\xC3", "a?"},                              // cut sequence
      {"\xC3(\xC0\xAF", "?(??"},                    // bad continuation, overlong slash
      {"\xED\xA0\x80\xF4\x90\x80\x80", "???????"},  // surrogate, beyond U+10FFFF
      {std::string("\xFF\0", 2), std::string("?\0", 2)},
  };
  for (const auto& Case : Cases) EXPECT_EQ(FromUtf8(Case.Utf8), Case.Expected) << Case.Utf8;
}

}  // namespace
