// Tests of the Czech text utilities: the rows that follow published code pages against the
// system's code-page tables (iconv, or the Windows conversion functions), the rest against the
// documented examples and properties.
#include "_utility.h"

#include <gtest/gtest.h>

#include <map>
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
