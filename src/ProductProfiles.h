// The products this one program installs, picked by its own file name. The rows are written once,
// in products.txt; the build generates product_profiles.inc from them.
#pragma once

#include <cstdint>

struct TProfileEntry {
  const char* Source;
  const char* Source32;  // where the 32-bit system needs another file; null otherwise
  const char* Target;
};

struct TProductProfile {
  const char* Key;
  std::int32_t Files;
  TProfileEntry Entries[7];
};

// Tested in this order; the first (and only) key equal to the upper-cased program name wins.
inline constexpr TProductProfile ProductProfiles[] = {
#include "product_profiles.inc"
};
