#include "platform/responsehead-posix.h"

#include <algorithm>
#include <cctype>

std::string_view TrimHeadText(std::string_view Text) {
  const auto First = Text.find_first_not_of(" \t\r\n");
  if (First == std::string_view::npos) return {};
  return Text.substr(First, Text.find_last_not_of(" \t\r\n") + 1 - First);
}

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix) {
  return Text.size() >= Prefix.size() &&
         std::equal(Prefix.begin(), Prefix.end(), Text.begin(), [](char A, char B) {
           return std::tolower(static_cast<unsigned char>(A)) ==
                  std::tolower(static_cast<unsigned char>(B));
         });
}

namespace {

// The three digits after "HTTP/x.y "; 0 when the line is no status line.
long StatusOf(std::string_view Line) {
  if (!StartsWithNoCase(Line, "HTTP/")) return 0;
  const auto Space = Line.find(' ');
  if (Space == std::string_view::npos || Line.size() < Space + 4) return 0;
  long Status = 0;
  for (std::size_t I = Space + 1; I < Space + 4; ++I) {
    if (Line[I] < '0' || Line[I] > '9') return 0;
    Status = Status * 10 + (Line[I] - '0');
  }
  return Line.size() == Space + 4 || Line[Space + 4] == ' ' ? Status : 0;
}

}  // namespace

void TResponseHead::TakeLine(std::string_view Raw) {
  // Lines after the final head (trailers of a chunked body) change nothing.
  if (FComplete) return;
  const std::string_view Line = TrimHeadText(Raw);
  if (FAtStart) {
    FAtStart = false;
    FLines.clear();
    FHasLocation = false;
    FStatus = StatusOf(Line);
    return;
  }
  if (Line.empty()) return Ended();
  // A folded line continues the header before it; it is never a header of its own.
  if (Raw.front() == ' ' || Raw.front() == '\t') {
    if (!FLines.empty()) FLines.back().append(" ").append(Line);
    return;
  }
  FLines.emplace_back(Line);
  if (StartsWithNoCase(Line, "Location:") && !TrimHeadText(Line.substr(9)).empty()) {
    FHasLocation = true;
  }
}

// An interim response and a redirect that will be followed are not the final head.
void TResponseHead::Ended() {
  FAtStart = true;
  if (FStatus >= 100 && FStatus < 200) return;
  if (FStatus >= 300 && FStatus < 400 && FHasLocation) return;
  FComplete = true;
}

std::optional<std::string> TResponseHead::Value(std::string_view Name, std::uint32_t Index) const {
  for (const auto& Line : FLines) {
    if (Line.size() > Name.size() && Line[Name.size()] == ':' && StartsWithNoCase(Line, Name)) {
      if (Index-- == 0)
        return std::string(TrimHeadText(std::string_view(Line).substr(Name.size() + 1)));
    }
  }
  return std::nullopt;
}
