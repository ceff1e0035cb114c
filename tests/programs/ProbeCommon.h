// What the probe programs share. They are built on their own, without the
// project's libraries, so this is a header of small inline functions.
#pragma once

#include <time.h>

#include <cstdlib>

// Seconds on the monotonic clock.
inline double NowSeconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A non-negative number below a million, or -1 when the text is not one.
inline double ParseNumber(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0.0) || value > 1e6) {
    return -1.0;
  }
  return value;
}
