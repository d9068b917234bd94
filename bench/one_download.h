// One download with the download component in this process, as the benchmarks measure it.
#pragma once

#include <string>

struct DownloadOutcome {
  bool Ok = false;
  double Seconds = 0;
  long Repaints = 0;
};

// Fetches URL into Out with the component; with Gauge, through the product's own progress
// handler into the gauge of the product's window, shown on the display.
DownloadOutcome DownloadWithComponent(const std::string& URL, const std::string& Out, bool Gauge);
