#pragma once

#include <cstdint>
#include <string>

namespace Quorvel {

/// What one pass over a chunk of event-stream words found: the samples it
/// holds (a call-stack record counts once, its frames do not), the latest
/// adapt factor it announced, and where it went corrupt.
struct QVDriverChunkScan {
  uint64_t samples = 0;
  bool adaptSeen = false;
  uint32_t adaptFactor = 0;
  bool corrupt = false;
  std::string fault;  ///< one line, e.g. "buffer corrupted - unterminated CTX_SWITCH_CODE"

  /// Scans recordCount words at words (64-bit when is64). With traceSink
  /// set, each record is described to it (one line per record).
  static QVDriverChunkScan scan(const void* words, uint64_t recordCount, bool is64,
                                void (*traceSink)(const std::string&) = nullptr);
};

}  // namespace Quorvel
