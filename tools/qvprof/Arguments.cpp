#include "Arguments.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <sstream>

#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

namespace {

std::string optionLabel(const Option& option) { return "--" + option.name; }

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

Arguments::Arguments(std::string command, std::string summary, std::vector<Option> options,
                     std::string operands, size_t minimumOperands, size_t maximumOperands)
    : command_(std::move(command)),
      summary_(std::move(summary)),
      options_(std::move(options)),
      operandUsage_(std::move(operands)),
      minimumOperands_(minimumOperands),
      maximumOperands_(maximumOperands) {}

void Arguments::allowTrailingCommand(const std::string& usage) {
  trailingAllowed_ = true;
  trailingUsage_ = usage;
}

const Option* Arguments::_findLong(const std::string& name) const {
  for (const Option& option : options_) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

const Option* Arguments::_findShort(char shortName) const {
  for (const Option& option : options_) {
    if (option.shortName != 0 && option.shortName == shortName) return &option;
  }
  return nullptr;
}

const Option& Arguments::_declared(const std::string& name) const {
  const Option* option = _findLong(name);
  // Asking for an undeclared option is a bug in the command, not the user's
  // mistake; it still must not pass silently.
  if (!option) throw std::logic_error("qvprof " + command_ + ": undeclared option --" + name);
  return *option;
}

void Arguments::_fail(const std::string& message) const { throw UsageError(command_, message); }

void Arguments::parse(const std::vector<std::string>& args) {
  help_ = false;
  values_.clear();
  operands_.clear();
  trailing_.clear();

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      if (!trailingAllowed_) _fail("unexpected '--': this command does not run a program");
      trailing_.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      if (trailing_.empty()) _fail("'--' must be followed by the program to run");
      break;
    }
    if (arg == "-h" || arg == "--help") {
      help_ = true;
      continue;
    }
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      const size_t equals = arg.find('=');
      const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      const Option* option = _findLong(name);
      if (!option) _fail("unknown option '--" + name + "'");
      if (option->valueName.empty()) {
        if (equals != std::string::npos) _fail("option '--" + name + "' takes no value");
        values_[option->name] = std::string();
      } else if (equals != std::string::npos) {
        values_[option->name] = arg.substr(equals + 1);
      } else {
        // "--" never serves as a value: "--interval -- prog" forgot the value.
        if (i + 1 >= args.size() || args[i + 1] == "--") {
          _fail("option '--" + name + "' needs a value (" + option->valueName + ")");
        }
        values_[option->name] = args[++i];
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      const Option* option = _findShort(arg[1]);
      if (!option) _fail("unknown option '" + arg.substr(0, 2) + "'");
      if (option->valueName.empty()) {
        if (arg.size() > 2) _fail("option '-" + std::string(1, arg[1]) + "' takes no value");
        values_[option->name] = std::string();
      } else if (arg.size() > 2) {
        values_[option->name] = arg.substr(2);
      } else {
        if (i + 1 >= args.size() || args[i + 1] == "--") {
          _fail("option '-" + std::string(1, arg[1]) + "' needs a value (" + option->valueName + ")");
        }
        values_[option->name] = args[++i];
      }
      continue;
    }
    operands_.push_back(arg);
  }

  if (help_) return;
  if (operands_.size() > maximumOperands_) {
    _fail(maximumOperands_ == 0 ? "unexpected argument '" + operands_[maximumOperands_] + "'"
                                : "unexpected extra argument '" + operands_[maximumOperands_] + "'");
  }
  if (operands_.size() < minimumOperands_) _fail("missing " + operandUsage_);
}

bool Arguments::has(const std::string& name) const {
  _declared(name);
  return values_.count(name) != 0;
}

std::string Arguments::value(const std::string& name, const std::string& fallback) const {
  _declared(name);
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

double Arguments::positiveNumber(const std::string& name, double fallback, bool allowZero) const {
  const Option& option = _declared(name);
  auto it = values_.find(name);
  if (it == values_.end()) return fallback;
  const std::string& text = it->second;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double number = std::strtod(begin, &end);
  const bool parsed = !text.empty() && end && *end == '\0' && errno == 0 && std::isfinite(number);
  if (!parsed || number < 0.0 || (!allowZero && number == 0.0)) {
    _fail(optionLabel(option) + ": expected " + (allowZero ? "a number of at least 0" : "a number greater than 0") +
          " for " + option.valueName + ", got '" + text + "'");
  }
  return number;
}

uint64_t Arguments::integer(const std::string& name, uint64_t fallback, uint64_t minimum,
                            uint64_t maximum) const {
  const Option& option = _declared(name);
  auto it = values_.find(name);
  if (it == values_.end()) return fallback;
  const std::string& text = it->second;
  errno = 0;
  const unsigned long long number = allDigits(text) ? std::strtoull(text.c_str(), nullptr, 10) : 0;
  if (!allDigits(text) || errno == ERANGE || number < minimum || number > maximum) {
    std::ostringstream range;
    range << "an integer from " << minimum << " to " << maximum;
    _fail(optionLabel(option) + ": expected " + range.str() + " for " + option.valueName + ", got '" + text + "'");
  }
  return number;
}

std::string Arguments::choice(const std::string& name, const std::vector<std::string>& words,
                              const std::string& fallback) const {
  const Option& option = _declared(name);
  auto it = values_.find(name);
  if (it == values_.end()) return fallback;
  for (const std::string& word : words) {
    if (word == it->second) return word;
  }
  std::string list;
  for (const std::string& word : words) list += (list.empty() ? "" : ", ") + word;
  _fail(optionLabel(option) + ": expected one of " + list + ", got '" + it->second + "'");
}

void Arguments::writeHelp(std::ostream& os) const {
  os << "Usage: qvprof " << command_ << " [OPTIONS]";
  if (!operandUsage_.empty()) os << ' ' << operandUsage_;
  if (trailingAllowed_) os << " -- " << trailingUsage_;
  os << "\n\n" << summary_ << "\n\nOptions:\n";

  std::vector<std::pair<std::string, std::string>> rows;
  for (const Option& option : options_) {
    std::string left = option.shortName ? std::string("-") + option.shortName + ", " : "    ";
    left += "--" + option.name;
    if (!option.valueName.empty()) left += " " + option.valueName;
    rows.emplace_back(left, option.help);
  }
  rows.emplace_back("-h, --help", "show this help and exit");
  size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.first.size());
  for (const auto& row : rows) {
    os << "  " << row.first << std::string(width - row.first.size() + 2, ' ') << row.second << '\n';
  }
  if (!notes_.empty()) os << '\n' << notes_ << '\n';
}

}  // namespace qvprof
}  // namespace Quorvel
