// Text conversion at the edges: Windows-1252 (log), ISO 8859-1 (database),
// UTF-16 (packages).
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Text, Cp1252) {
  struct Case {
    std::string utf8;
    std::string cp1252;
    bool roundTrips;
  };
  const std::vector<Case> cases = {
      {"", "", true},
      {"abc\t\r\n", "abc\t\r\n", true},
      {"Serviço instalado!", "Servi\xE7o instalado!", true},
      {"ÁÉÍÓÚáéíóúÃÕãõÂÊÔâêôÀàÇçÜü", "\xC1\xC9\xCD\xD3\xDA\xE1\xE9\xED\xF3\xFA\xC3\xD5\xE3\xF5"
                                     "\xC2\xCA\xD4\xE2\xEA\xF4\xC0\xE0\xC7\xE7\xDC\xFC",
       true},
      {"€‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ",
       "\x80\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8E\x91\x92\x93\x94\x95\x96\x97\x98\x99"
       "\x9A\x9B\x9C\x9E\x9F",
       true},
      {"\xC2\xA0ÿ", "\xA0\xFF", true},
      {"\xC2\x81", "?", false},     // U+0081: no place in Windows-1252
      {"Ω日本😀", "????", false},   // outside the code page, 2-, 3- and 4-byte forms
      {"a\xFF" "b", "a?b", false},  // malformed UTF-8
      {"a\xC3", "a?", false},       // truncated sequence at the end
      {"\xC3(x", "?(x", false},     // lead byte without continuation
      {"\xE0\x80\xAF", "?", false}, // overlong form
      {"\xED\xA0\x80", "?", false}, // encoded surrogate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::ToCp1252(c.utf8), c.cp1252) << c.utf8;
    if (c.roundTrips) {
      EXPECT_EQ(text::FromCp1252(c.cp1252), c.utf8) << c.utf8;
    }
  }
  // Undefined bytes of the code page read as '?'.
  EXPECT_EQ(text::FromCp1252("\x81\x8D\x8F\x90\x9D"), "?????");
}

TEST(Text, Latin1) {
  struct Case {
    std::string utf8;
    std::string latin1;
  };
  const std::vector<Case> cases = {
      {"Comunicação normal", "Comunica\xE7\xE3o normal"},
      {"Falha de comunicação", "Falha de comunica\xE7\xE3o"},
      {"\xC2\x80\xC2\x9F", "\x80\x9F"},  // C1 controls exist in Latin-1
      {"€", "?"},                         // but the euro sign does not
      {"ÿ", "\xFF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::ToLatin1(c.utf8), c.latin1) << c.utf8;
    EXPECT_EQ(text::FromLatin1(c.latin1), c.utf8 == "€" ? "?" : c.utf8);
  }
  // Every byte survives FromLatin1 + ToLatin1.
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(text::ToLatin1(text::FromLatin1(all)), all);
}

TEST(Text, Utf16) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const std::vector<Case> cases = {
      {"", u""},
      {"Lendo Medidor 1 - Canal ç", u"Lendo Medidor 1 - Canal ç"},
      {"€日本", u"€日本"},
      {"😀", u"\xD83D\xDE00"},  // surrogate pair
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::ToUtf16(c.utf8), c.utf16);
    EXPECT_EQ(text::FromUtf16(c.utf16), c.utf8);
  }
  // Lone surrogates and malformed UTF-8 become '?'.
  EXPECT_EQ(text::FromUtf16(u"a\xD800" u"b"), "a?b");
  EXPECT_EQ(text::FromUtf16(u"a\xDC00"), "a?");
  EXPECT_EQ(text::FromUtf16(std::u16string(1, char16_t(0xD83D))), "?");
  EXPECT_EQ(text::ToUtf16("a\xFF"), u"a?");
}

TEST(Text, IntToStr) {
  EXPECT_EQ(text::IntToStr(0), "0");
  EXPECT_EQ(text::IntToStr(-1), "-1");
  EXPECT_EQ(text::IntToStr(2147483647), "2147483647");
  EXPECT_EQ(text::IntToStr(INT64_MIN), "-9223372036854775808");
}

}  // namespace
