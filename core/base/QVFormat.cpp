#include "base/QVFormat.h"

#include <cmath>
#include <cstdio>

namespace Quorvel {

namespace {

// Rounds to `decimals` places and drops trailing zeros: 2.500 -> "2.5",
// 1.000 -> "1". A locale that writes a decimal comma still gets a point.
std::string Decimal(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string result(text);
  for (char& c : result) {
    if (c == ',') {
      c = '.';
    }
  }
  if (result.find('.') != std::string::npos) {
    while (!result.empty() && result.back() == '0') {
      result.pop_back();
    }
    if (!result.empty() && result.back() == '.') {
      result.pop_back();
    }
  }
  if (result == "-0") {
    result = "0";
  }
  return result;
}

double RoundTo(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

struct Unit {
  double size;
  const char* name;
};

// Moves to the next unit whenever rounding would show a whole `step` of the
// current one, so that 999.9996 us reads "1 ms" rather than "1000 us".
template <size_t N>
std::string Scaled(double value, const Unit (&units)[N], double step, int decimals) {
  size_t index = 0;
  while (index + 1 < N && RoundTo(value / units[index].size, decimals) >= step) {
    ++index;
  }
  return Decimal(value / units[index].size, decimals) + " " + units[index].name;
}

std::string Minutes(double seconds) {
  const long long millis = std::llround(seconds * 1000.0);
  const long long minutes = millis / 60000;
  const double rest = static_cast<double>(millis % 60000) / 1000.0;
  return std::to_string(minutes) + " min " + Decimal(rest, 3) + " sec";
}

std::string Hours(double seconds) {
  const long long minutes = std::llround(seconds / 60.0);
  return std::to_string(minutes / 60) + " hr " + std::to_string(minutes % 60) + " min";
}

}  // namespace

// 10^15 s is 3 * 10^7 years: past it, hours are shown in scientific form.
constexpr double kLongestWholeHours = 1e15;

std::string FormatTimeSeconds(double seconds) {
  if (!std::isfinite(seconds)) {
    return Decimal(seconds, 0) + " seconds";
  }
  if (seconds < 0) {
    return "-" + FormatTimeSeconds(-seconds);
  }
  if (seconds == 0) {
    return "0 seconds";
  }
  if (RoundTo(seconds * 1e3, 3) < 1000.0) {
    static const Unit kSubSecond[] = {{1e-9, "ns"}, {1e-6, "us"}, {1e-3, "ms"}};
    return Scaled(seconds, kSubSecond, 1000.0, 3);
  }
  if (RoundTo(seconds, 3) < 60.0) {
    const std::string number = Decimal(seconds, 3);
    return number + (number == "1" ? " second" : " seconds");
  }
  if (RoundTo(seconds, 3) < 3600.0) {
    return Minutes(seconds);
  }
  // Whole hours and minutes stop being exact, and their integer conversion
  // overflows, long before a double does (an archive may hold 1e308).
  if (seconds >= kLongestWholeHours) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g hr", seconds / 3600.0);
    return text;
  }
  return Hours(seconds);
}

std::string FormatSizeBytes(uint64_t bytes) {
  if (bytes < 1024) {
    return std::to_string(bytes) + " bytes";
  }
  static const Unit kSizes[] = {{1024.0, "KB"}, {1024.0 * 1024, "MB"}, {1024.0 * 1024 * 1024, "GB"},
                                {1024.0 * 1024 * 1024 * 1024, "TB"}};
  return Scaled(static_cast<double>(bytes), kSizes, 1024.0, 1);
}

std::string FormatFrequencyHz(uint64_t hertz) {
  if (hertz < 1000) {
    return std::to_string(hertz) + " Hz";
  }
  static const Unit kFrequencies[] = {{1e3, "KHz"}, {1e6, "MHz"}, {1e9, "GHz"}};
  return Scaled(static_cast<double>(hertz), kFrequencies, 1000.0, 3);
}

std::string FormatHeader(const std::string& title, char fill) {
  return title + "\n" + std::string(title.size(), fill) + "\n";
}

}  // namespace Quorvel
