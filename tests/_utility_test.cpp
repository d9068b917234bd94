// Tests of the Czech text utilities: the rows that follow published code pages against the
// system's code-page tables (iconv, or the Windows conversion functions), the rest against the
// documented examples and properties.
#include "_utility.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace {

#ifdef _WIN32
// The system's own code-page tables serve as the oracle on Windows.
UINT CodePageNumber(const std::string& Name) {
  const std::map<std::string, UINT> Numbers = {
      {"UTF-8", CP_UTF8}, {"CP1250", 1250}, {"CP852", 852}, {"IBM852", 852}};
  return Numbers.at(Name);
}

// Text converted by the system; Missing when the target lacks a character.
std::string Convert(const std::string& In, const char* From, const char* To,
                    const std::string& Missing) {
  std::wstring Wide(In.size() * 2 + 2, L'\0');
  const int WideLength =
      MultiByteToWideChar(CodePageNumber(From), 0, In.data(), static_cast<int>(In.size()),
                          Wide.data(), static_cast<int>(Wide.size()));
  std::string Out(In.size() * 4 + 4, '\0');
  BOOL UsedDefault = FALSE;
  const UINT Target = CodePageNumber(To);
  const int Length = WideCharToMultiByte(
      Target, Target == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, Wide.data(), WideLength, Out.data(),
      static_cast<int>(Out.size()), nullptr, Target == CP_UTF8 ? nullptr : &UsedDefault);
  if (Length <= 0 && !In.empty()) return Missing;
  return UsedDefault ? Missing : Out.substr(0, Length);
}
#else
// Text converted by the system's iconv; Missing when the target lacks a character.
std::string Convert(std::string In, const char* From, const char* To, const std::string& Missing) {
  iconv_t Converter = iconv_open(To, From);
  std::string Out(In.size() * 4 + 4, '\0');
  char *InPtr = In.data(), *OutPtr = Out.data();
  size_t InLeft = In.size(), OutLeft = Out.size();
  const bool Ok = iconv(Converter, &InPtr, &InLeft, &OutPtr, &OutLeft) != static_cast<size_t>(-1);
  iconv_close(Converter);
  return Ok ? Out.substr(0, Out.size() - OutLeft) : Missing;
}
#endif

// A Windows-1250 string written in UTF-8 in the test source.
std::string W(const std::string& Utf8) { return Convert(Utf8, "UTF-8", "CP1250", "<missing>"); }

std::string Byte(int B) { return std::string(1, static_cast<char>(B)); }

TEST(CzechUpperCase, ExamplesAndEveryByte) {
  EXPECT_EQ(CzechUpperCase(""), "");
  EXPECT_EQ(CzechUpperCase(W("žluťoučký kůň")), W("ŽLUŤOUČKÝ Kůň"));
  EXPECT_EQ(CzechUpperCase(W("příliš Ďábel")), W("PŘÍLIŠ ĎÁBEL"));
  EXPECT_EQ(CzechUpperCase("setup_2.exe"), "SETUP_2.EXE");
  const std::string Lower = W("ěščřžýáíéťď"), Upper = W("ĚŠČŘŽÝÁÍÉŤĎ");
  for (int B = 0; B < 256; ++B) {
    const std::size_t Letter = Lower.find(static_cast<char>(B));
    const std::string Expected = Letter != std::string::npos ? Upper.substr(Letter, 1)
                                 : (B >= 'a' && B <= 'z')    ? Byte(B - 'a' + 'A')
                                                             : Byte(B);
    EXPECT_EQ(CzechUpperCase(Byte(B)), Expected) << "byte " << B;
  }
}

// Rows 0 and 3 are the published mappings apart from the listed entries.
TEST(RecodeCzech, CodePage852RowsMatchIconv) {
  const struct {
    const char *Source, *Target, *From, *To;
    int Missing;
    std::map<int, int> Exceptions;
  } Rows[] = {
      {"W",
       "L",
       "CP1250",
       "CP852",
       0x20,
       {{0xA0, 0xAA}, {0xA4, 0x20}, {0xAC, 0x20}, {0xB7, 0xFA}, {0xFF, 0x20}}},
      {"L", "W", "IBM852", "CP1250", 0xA4, {{0xAA, 0xA0}, {0xFA, 0xB7}, {0xFF, 0x20}}},
  };
  for (const auto& Row : Rows) {
    for (int B = 0x80; B < 0x100; ++B) {
      std::string Expected = Convert(Byte(B), Row.From, Row.To, Byte(Row.Missing));
      if (Row.Exceptions.count(B)) Expected = Byte(Row.Exceptions.at(B));
      EXPECT_EQ(RecodeCzech(Byte(B), Row.Source, Row.Target), Expected)
          << Row.Source << Row.Target << " byte " << B;
    }
  }
}

TEST(RecodeCzech, KamenickyRows) {
  // Kamenicky's own codes, then letters and marks that take their code page 852 codes.
  EXPECT_EQ(RecodeCzech(W("ŠšŘřýČčŮůŇ«»°·÷ß˙€"), "W", "K"),
            "\x9B\xA8\x9E\xA9\x98\x80\x87\xA6\x96\xA5\xAE\xAF\xF8\xFA\xF6\xE1  ");
  const std::string Borrowed = W("ÓÔÚÝŔŕňŃńŰűţş§\u00AD´¨¸˛˝ˇ˘");
  EXPECT_EQ(RecodeCzech(Borrowed, "W", "K"), Convert(Borrowed, "CP1250", "CP852", "<missing>"));
  for (int B = 0xB0; B < 0x100; ++B) {
    const std::string Expected = B < 0xE0    ? "\xA4"
                                 : B == 0xFE ? "_"
                                             : RecodeCzech(Byte(B), "L", "W");
    EXPECT_EQ(RecodeCzech(Byte(B), "K", "W"), Expected) << "byte " << B;
  }
  EXPECT_EQ(RecodeCzech("\xAC\xAD", "K", "W"), "\xC8\xBA");
}

// Rows 1, 2 and 4 entry by entry, as published: 16 source bytes a line from 0x80.
TEST(RecodeCzech, KamenickyAndAsciiRowsEntryByEntry) {
  const struct {
    const char *Source, *Target;
    const char* Entries;  // hexadecimal, blank-separated
  } Rows[] = {
      {"W", "K",
       "20 20 20 20 20 20 20 20 20 20 9B 20 20 86 92 20 "
       "20 20 20 20 20 20 20 20 20 20 A8 20 20 9F 91 20 "
       "20 F3 F4 20 20 20 20 F5 F9 20 20 AE 20 F0 20 20 "
       "F8 20 F2 20 EF 20 20 FA F7 20 AD AF 9C F1 8C 20 "
       "E8 8F 20 20 8E 8A 20 20 80 90 20 20 89 8B 20 85 "
       "20 E3 A5 E0 E2 20 99 20 9E A6 E9 EB 9A ED 20 E1 "
       "EA A0 20 20 84 8D 20 20 87 82 20 20 88 A1 20 83 "
       "20 E4 E5 A2 93 20 94 F6 A9 96 A3 FB 81 98 EE 20 "},
      {"W", "A",
       "20 20 2C 20 22 20 20 20 20 20 53 3C 53 54 5A 5A "
       "20 27 27 22 22 20 2D 2D 7E 20 73 3E 73 74 7A 7A "
       "20 20 20 20 20 41 20 20 22 20 53 20 20 2D 20 5A "
       "20 20 20 20 60 20 20 20 20 61 73 20 4C 22 6C 7A "
       "52 41 41 41 41 4C 43 43 43 45 45 45 45 49 49 44 "
       "44 4E 4E 4F 4F 4F 4F 78 52 55 55 55 55 59 54 20 "
       "72 61 61 61 61 6C 63 63 63 65 65 65 65 69 69 64 "
       "64 6E 6E 6F 6F 6F 6F 20 72 75 75 75 75 79 74 20 "},
      {"K", "W",
       "C8 FC E9 EF E4 CF 8D E8 EC CC C5 CD BE E5 C4 C1 "
       "C9 9E 8E F4 F6 D3 F9 DA FD D6 DC 8A BC DD D8 9D "
       "E1 ED F3 FA F2 D2 D9 D4 9A F8 E0 C0 C8 BA AB BB "
       "A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 "
       "A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 "
       "A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 A4 "
       "D3 DF D4 D1 F1 F2 8A 9A C0 DA E0 DB FD DD FE B4 "
       "AD BD B2 A1 A2 A7 F7 B8 B0 A8 B7 FB D8 F8 5F 20 "},
  };
  for (const auto& Row : Rows) {
    std::istringstream Hex(Row.Entries);
    for (int B = 0x80; B < 0x100; ++B) {
      unsigned Entry = 0;
      ASSERT_TRUE(Hex >> std::hex >> Entry);
      EXPECT_EQ(RecodeCzech(Byte(B), Row.Source, Row.Target), Byte(static_cast<int>(Entry)))
          << Row.Source << Row.Target << " byte " << B;
    }
  }
}

TEST(RecodeCzech, WindowsToAscii) {
  EXPECT_EQ(RecodeCzech(W("Příliš žluťoučký kůň úpěl ďábelské ódy"), "W", "A"),
            "Prilis zlutoucky kun upel dabelske ody");
  EXPECT_EQ(RecodeCzech(W("ŽĎŤŇĚŠČŘŮÚÝÁÍÉÓ ŁłĐĺ"), "W", "A"), "ZDTNESCRUUYAIEO   Dl");
  EXPECT_EQ(RecodeCzech(W("‚„“”‘’–—‹›´¨˝×\u00AD") + "\x98", "W", "A"), ",\"\"\"''--<>`\"\"x-~");
  EXPECT_EQ(RecodeCzech(W("ß«»§°÷\u00A0"), "W", "A"), "       ");
  for (int B = 0x80; B < 0x100; ++B) {
    const char C = RecodeCzech(Byte(B), "W", "A")[0];
    EXPECT_TRUE(C >= 0x20 && C <= 0x7E) << "byte " << B;
  }
}

TEST(RecodeCzech, RoundTripsAndBytesBelow0x80) {
  const std::string Letters = W("áčďéěíňóřšťúůýžÁČĎÉĚÍŇÓŘŠŤÚŮÝŽ");
  for (const char* Via : {"L", "K"}) {
    EXPECT_EQ(RecodeCzech(RecodeCzech(Letters, "W", Via), Via, "W"), Letters) << Via;
  }
  EXPECT_EQ(RecodeCzech("\xA0", "W", "L"), "\xAA");
  EXPECT_EQ(RecodeCzech("\xAA", "L", "W"), "\xA0");
  std::string Ascii;
  for (int B = 0; B < 0x80; ++B) Ascii += static_cast<char>(B);
  for (const char* Source : {"W", "L", "K", "A"}) {
    for (const char* Target : {"W", "L", "K", "A"}) {
      EXPECT_EQ(RecodeCzech(Ascii, Source, Target), Ascii) << Source << Target;
      EXPECT_EQ(RecodeCzech("", Source, Target), "") << Source << Target;
    }
  }
}

// A pair of codes selects a row by the first letters, in either case; empty codes mean W and A.
TEST(RecodeCzech, CodeSelection) {
  const struct {
    const char *Source, *Target;
    int Row;  // -1: the text comes back unchanged
  } Cases[] = {
      {"", "", 2},    {"w", "a", 2},  {"Win", "ASCII", 2}, {"", "L", 0},   {"w", "latin", 0},
      {"W", "K", 1},  {"l", "w", 3},  {"Kam", "", -1},     {"K", "W", 4},  {"W", "W", -1},
      {"L", "K", -1}, {"K", "L", -1}, {"L", "A", -1},      {"K", "A", -1}, {"A", "W", -1},
      {"X", "A", -1}, {"W", "Z", -1},
  };
  std::string All;
  for (int B = 0; B < 256; ++B) All += static_cast<char>(B);
  for (const auto& Case : Cases) {
    std::string Expected = All;
    for (int B = 0x80; Case.Row >= 0 && B < 0x100; ++B) {
      Expected[B] = static_cast<char>(RecodeTable[Case.Row * 128 + B - 0x80]);
    }
    EXPECT_EQ(RecodeCzech(All, Case.Source, Case.Target), Expected)
        << '"' << Case.Source << "\" \"" << Case.Target << '"';
  }
}

}  // namespace
