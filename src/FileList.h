// The signed file list: the files the vendor publishes for one product, each with its size and
// SHA-256, signed with the vendor's ECDSA P-256 key. A text of ASCII lines, each ending in LF:
//
//   signed-file-list 1
//   product MERONA
//   file pravl32.zip 20000 <SHA-256 of the file, 64 lower-case hex digits>
//   ...                                      (one line per file, names in byte order)
//   signature <r and s, 128 lower-case hex digits>
//
// The signature covers every byte before its own line, the product and the names included, so a
// list cannot be moved to another product or another file. Names and the product are 1 to 255
// bytes above the space character; sizes are decimal without leading zeros, at most 2^31 - 1. The
// installer takes a list only when it is exactly in this form and signed with the key it carries.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <windows.h>

#include "platform/crypto.h"

struct TFileListEntry {
  std::uint32_t Size = 0;
  TSha256Digest Digest{};
  bool operator==(const TFileListEntry&) const = default;
};

struct TFileList {
  std::string Product;
  std::map<std::string, TFileListEntry> Files;  // by source name
};

// No list is longer; the installer reads no more than this.
constexpr std::size_t MaxFileListSize = 64 * 1024;

// The signed part of a list, as the vendor's tool writes it.
std::string FormatFileList(const TFileList& List);
// The signature's line for the signed part, from r and s (64 bytes).
std::string FormatSignatureLine(std::string_view Signature);
// The signed part parsed; nothing unless it is exactly what FormatFileList writes.
std::optional<TFileList> ParseFileList(std::string_view SignedPart);
// A whole list (signed part and signature line); nothing unless it is no longer than
// MaxFileListSize, its signature is valid under PublicKey and its signed part parses.
std::optional<TFileList> ReadSignedFileList(std::string_view Text, std::string_view PublicKey);

std::string HexFromBytes(std::string_view Bytes);
// Lower-case hex digits only; nothing for anything else or an odd count.
std::optional<std::string> BytesFromHex(std::string_view Hex);

// Reads a file of at most MaxFileListSize bytes; nothing when it cannot be read or is longer.
std::optional<std::string> ReadFileListFile(const std::string& FileName);
// The same through an open file, from its current position.
std::optional<std::string> ReadFileListFile(HANDLE File);
// The size and SHA-256 of a file, read in large blocks; false when it cannot be read or Stop is
// set on the way.
bool HashFile(const std::string& FileName, std::uint64_t& Size, TSha256Digest& Digest,
              const std::function<bool()>& Stop);
// The same through an open file, from its current position.
bool HashFile(HANDLE File, std::uint64_t& Size, TSha256Digest& Digest,
              const std::function<bool()>& Stop);
