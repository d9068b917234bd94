// The Windows build's download, for bench/download-wine: one download with the component, with
// the product's gauge or without it, timed in this process.
//   download_win gauge|plain URL FILE      prints "SECONDS REPAINTS"; exit status 0 on success
#include <cstdio>
#include <cstring>

#include "one_download.h"

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[1], "gauge") != 0 && std::strcmp(argv[1], "plain") != 0)) {
    std::fprintf(stderr, "usage: download_win gauge|plain URL FILE\n");
    return 2;
  }
  const DownloadOutcome Result =
      DownloadWithComponent(argv[2], argv[3], std::strcmp(argv[1], "gauge") == 0);
  std::printf("%.6f %ld\n", Result.Seconds, Result.Repaints);
  return Result.Ok ? 0 : 1;
}
