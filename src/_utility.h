// Text utilities for Czech text in Windows-1250 and the code pages the vendor's programs use.
#pragma once

#include <string>

// Upper-cases a Windows-1250 text: a to z and eleven Czech letters with diacritics.
std::string CzechUpperCase(std::string S);

// Converts the bytes of 128 and above from one code page to another: "W" Windows-1250, "L" code
// page 852, "K" Kamenicky, "A" plain ASCII (a target only). Unsupported pairs change nothing.
std::string RecodeCzech(std::string Text, std::string Source, std::string Target);

// Five rows of 128 bytes: W->L, W->K, W->A, L->W, K->W.
extern const unsigned char RecodeTable[5 * 128];
