#pragma once

#include <cstdint>
#include <string>

namespace Quorvel {

// Human-readable quantities for descriptions and reports.
// FormatTimeSeconds(0.001) == "1 ms", (2.5) == "2.5 seconds", (90) == "1 min 30 sec".
std::string FormatTimeSeconds(double seconds);
// FormatSizeBytes(1536) == "1.5 KB"; below 1024 bytes "N bytes".
std::string FormatSizeBytes(uint64_t bytes);
// FormatFrequencyHz(2400000000) == "2.4 GHz".
std::string FormatFrequencyHz(uint64_t hertz);
// A title line followed by a line of `fill` as long as the title.
std::string FormatHeader(const std::string& title, char fill);

}  // namespace Quorvel
