#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace Quorvel {
namespace qvprof {

// One option a command accepts.
struct Option {
  std::string name;       // long form without the dashes: "interval"
  char shortName = 0;     // 'o' for -o; 0 when there is none
  std::string valueName;  // shown in help ("SECONDS"); empty for a flag
  std::string help;
};

// The command line of one qvprof command, described by a table of options
// and parsed without any global state (several parsers may coexist, which
// the tests rely on).
//
// Accepted forms: "--name value", "--name=value", "-x value", "-xvalue",
// flags as "--name" or "-x", and "--" after which everything belongs to the
// trailing command (only when the command takes one). "-h" and "--help" are
// always accepted. A repeated option keeps its last value.
//
// Every error is a UsageError whose message names the argument at
// fault, and the typed getters validate the text the user gave.
class Arguments {
 public:
  // command: the command word, used in messages and help ("record").
  // operands: how the positional operands read in the usage line ("FILE"),
  // with their permitted count.
  Arguments(std::string command, std::string summary, std::vector<Option> options,
            std::string operands = std::string(), size_t minimumOperands = 0, size_t maximumOperands = 0);

  // Allows "-- COMMAND [ARGS...]" after the options.
  void allowTrailingCommand(const std::string& usage);
  // Paragraphs printed after the option table.
  void setNotes(const std::string& notes) { notes_ = notes; }

  // Throws UsageError. After --help the operand count is not checked.
  void parse(const std::vector<std::string>& args);

  bool helpRequested() const { return help_; }
  bool has(const std::string& name) const;
  // The raw text of an option, or fallback when it was not given.
  std::string value(const std::string& name, const std::string& fallback = std::string()) const;
  // A finite number greater than zero (or at least zero with allowZero).
  double positiveNumber(const std::string& name, double fallback, bool allowZero = false) const;
  // A decimal integer within [minimum, maximum].
  uint64_t integer(const std::string& name, uint64_t fallback, uint64_t minimum, uint64_t maximum) const;
  // One of the given words (exact match).
  std::string choice(const std::string& name, const std::vector<std::string>& words,
                     const std::string& fallback) const;
  const std::vector<std::string>& operands() const { return operands_; }
  const std::vector<std::string>& trailingCommand() const { return trailing_; }

  const std::string& command() const { return command_; }
  void writeHelp(std::ostream& os) const;

 private:
  const Option* _findLong(const std::string& name) const;
  const Option* _findShort(char shortName) const;
  const Option& _declared(const std::string& name) const;
  [[noreturn]] void _fail(const std::string& message) const;

  std::string command_;
  std::string summary_;
  std::vector<Option> options_;
  std::string operandUsage_;
  size_t minimumOperands_;
  size_t maximumOperands_;
  bool trailingAllowed_ = false;
  std::string trailingUsage_;
  std::string notes_;

  bool help_ = false;
  std::map<std::string, std::string> values_;
  std::vector<std::string> operands_;
  std::vector<std::string> trailing_;
};

}  // namespace qvprof
}  // namespace Quorvel
