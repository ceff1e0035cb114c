#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Quorvel {

// One line of a /proc file that a parser could not use. The line text is
// kept (shortened) so that a log message can show what the kernel wrote.
struct QVProcParseIssue {
  std::size_t lineNumber = 0;  // 1-based
  std::string line;
  std::string reason;

  // Hostile files can hold arbitrarily long lines; a report needs only the
  // beginning of one.
  static constexpr std::size_t kMaximumLineLength = 200;

  QVProcParseIssue() = default;
  QVProcParseIssue(std::size_t number, std::string_view text, std::string_view why)
      : lineNumber(number), line(text.substr(0, kMaximumLineLength)), reason(why) {}
};

// What a whole-file parse gives: the well-formed records in file order and
// one issue per line that was skipped.
template <typename Entry>
struct QVProcParseResult {
  std::vector<Entry> entries;
  std::vector<QVProcParseIssue> issues;
};

}  // namespace Quorvel
