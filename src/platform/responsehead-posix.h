// The head of an HTTP response as it arrives line by line. The status is taken from the first
// line of a head only; an interim head and a redirect head that will be followed give way to the
// next head.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TResponseHead {
 public:
  // Takes one line as received, with or without its line end.
  void TakeLine(std::string_view Line);
  // A body byte has arrived: whatever head there is, is the final one.
  void MarkComplete() { FComplete = true; }
  void Reset() { *this = TResponseHead(); }

  bool Complete() const { return FComplete; }
  long Status() const { return FStatus; }
  // The value of the Index-th header named Name (counted from 0), without surrounding blanks.
  std::optional<std::string> Value(std::string_view Name, std::uint32_t Index) const;

 private:
  void Ended();

  long FStatus = 0;
  std::vector<std::string> FLines;
  bool FHasLocation = false;
  bool FAtStart = true;
  bool FComplete = false;
};

// Trims blanks and line ends from both ends of Text.
std::string_view TrimHeadText(std::string_view Text);
// True when Text begins with Prefix, compared without regard to the case of ASCII letters.
bool StartsWithNoCase(std::string_view Text, std::string_view Prefix);
