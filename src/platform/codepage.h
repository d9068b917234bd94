// Conversion between Windows-1250 bytes and UTF-8 at the platform boundary.
#pragma once

#include <string>

// Every Windows-1250 byte has a character; the five unassigned codes map to U+FFFD.
std::string ToUtf8(const std::string& Cp1250);
// Characters that Windows-1250 cannot hold, and malformed UTF-8, become '?'.
std::string FromUtf8(const std::string& Utf8);
