// Windows-1250 <-> UTF-8 at the boundary between the program's 8-bit texts and the system.
#include "platform/codepage.h"

#include <cstddef>

namespace {

// The characters of Windows-1250 bytes 0x80 to 0xFF, eight to a line; U+FFFD for the five codes
// that the code page leaves unassigned.
// clang-format off
constexpr char32_t HighHalf[128] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021,
    0xFFFD, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};
// clang-format on

constexpr char32_t ReplacementCharacter = 0xFFFD;

void AppendUtf8(std::string& Out, char32_t C) {
  if (C < 0x80) {
    Out += static_cast<char>(C);
  } else if (C < 0x800) {
    Out += static_cast<char>(0xC0 | (C >> 6));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  } else {
    // Every character of the table lies in the Basic Multilingual Plane.
    Out += static_cast<char>(0xE0 | (C >> 12));
    Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  }
}

// The Windows-1250 byte for a character, or '?' when the code page cannot hold it.
char FromCharacter(char32_t C) {
  if (C < 0x80) return static_cast<char>(C);
  if (C == ReplacementCharacter) return '?';
  for (std::size_t I = 0; I < 128; ++I) {
    if (HighHalf[I] == C) return static_cast<char>(0x80 + I);
  }
  return '?';
}

struct LeadByte {
  int Length;  // 0 for a byte that cannot start a sequence
  char32_t Bits;
  char32_t Minimum;  // the smallest character that needs this length
};

LeadByte ReadLeadByte(unsigned char Lead) {
  if (Lead < 0x80) return {1, Lead, 0};
  if ((Lead & 0xE0) == 0xC0) return {2, char32_t{Lead} & 0x1F, 0x80};
  if ((Lead & 0xF0) == 0xE0) return {3, char32_t{Lead} & 0x0F, 0x800};
  if ((Lead & 0xF8) == 0xF0) return {4, char32_t{Lead} & 0x07, 0x10000};
  return {0, 0, 0};
}

// Decodes one well-formed UTF-8 sequence at Pos and advances Pos past it. Returns false and
// advances by one byte when the bytes there are malformed (overlong forms, surrogates and values
// beyond U+10FFFF count as malformed).
bool DecodeUtf8(const std::string& S, std::size_t& Pos, char32_t& C) {
  const LeadByte Lead = ReadLeadByte(static_cast<unsigned char>(S[Pos]));
  bool Valid = Lead.Length > 0 && Pos + Lead.Length <= S.size();
  C = Lead.Bits;
  for (int I = 1; Valid && I < Lead.Length; ++I) {
    const unsigned char Next = static_cast<unsigned char>(S[Pos + I]);
    Valid = (Next & 0xC0) == 0x80;
    C = (C << 6) | (Next & 0x3F);
  }
  Valid = Valid && C >= Lead.Minimum && C <= 0x10FFFF && !(C >= 0xD800 && C <= 0xDFFF);
  Pos += Valid ? Lead.Length : 1;
  return Valid;
}

}  // namespace

std::string ToUtf8(const std::string& Cp1250) {
  std::string Out;
  Out.reserve(Cp1250.size());
  for (char Byte : Cp1250) {
    const unsigned char B = static_cast<unsigned char>(Byte);
    AppendUtf8(Out, B < 0x80 ? char32_t{B} : HighHalf[B - 0x80]);
  }
  return Out;
}

std::string FromUtf8(const std::string& Utf8) {
  std::string Out;
  Out.reserve(Utf8.size());
  std::size_t Pos = 0;
  while (Pos < Utf8.size()) {
    char32_t C = 0;
    Out += DecodeUtf8(Utf8, Pos, C) ? FromCharacter(C) : '?';
  }
  return Out;
}
