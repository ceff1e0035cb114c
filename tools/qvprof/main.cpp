#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "base/QVException.h"
#include "Command.h"
#include "CommandTable.h"
#include "UsageError.h"

using Quorvel::QVException;
using Quorvel::qvprof::Command;
using Quorvel::qvprof::CommandTable;
using Quorvel::qvprof::UsageError;

namespace {

// Failures are reported on one line, whatever the message holds.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    CommandTable::writeHelp(std::cerr);
    return Command::ExitUsage;
  }
  const std::string& word = words.front();
  if (word == "--help" || word == "-h" || word == "help") {
    if (word == "help" && words.size() > 1) {
      if (auto command = CommandTable::find(words[1])) return command->run({"--help"}, std::cout, std::cerr);
    }
    CommandTable::writeHelp(std::cout);
    return Command::ExitSuccess;
  }
  if (word == "--version" || word == "version") {
    std::cout << "qvprof " << QV_VERSION << '\n';
    return Command::ExitSuccess;
  }

  auto command = CommandTable::find(word);
  if (!command) {
    std::cerr << "qvprof: unknown command '" << word << "' (see qvprof --help)\n";
    return Command::ExitUsage;
  }
  try {
    return command->run(std::vector<std::string>(words.begin() + 1, words.end()), std::cout, std::cerr);
  } catch (const UsageError& error) {
    std::cerr << "qvprof " << word << ": " << oneLine(error.what()) << " (see qvprof " << word << " --help)\n";
    return Command::ExitUsage;
  } catch (const QVException& error) {
    std::cerr << "qvprof: " << oneLine(error.message()) << '\n';
  } catch (const std::exception& error) {
    std::cerr << "qvprof: " << oneLine(error.what()) << '\n';
  }
  return Command::ExitFailure;
}
