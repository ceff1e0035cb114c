#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "QVException.h"
#include "QVProfCommand.h"
#include "QVProfCommandTable.h"
#include "QVProfUsageError.h"

using Quorvel::QVException;
using Quorvel::qvprof::QVProfCommand;
using Quorvel::qvprof::QVProfCommandTable;
using Quorvel::qvprof::QVProfUsageError;

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
    QVProfCommandTable::writeHelp(std::cerr);
    return QVProfCommand::ExitUsage;
  }
  const std::string& word = words.front();
  if (word == "--help" || word == "-h" || word == "help") {
    if (word == "help" && words.size() > 1) {
      if (auto command = QVProfCommandTable::find(words[1])) return command->run({"--help"}, std::cout, std::cerr);
    }
    QVProfCommandTable::writeHelp(std::cout);
    return QVProfCommand::ExitSuccess;
  }

  auto command = QVProfCommandTable::find(word);
  if (!command) {
    std::cerr << "qvprof: unknown command '" << word << "' (see qvprof --help)\n";
    return QVProfCommand::ExitUsage;
  }
  try {
    return command->run(std::vector<std::string>(words.begin() + 1, words.end()), std::cout, std::cerr);
  } catch (const QVProfUsageError& error) {
    std::cerr << "qvprof " << word << ": " << oneLine(error.what()) << " (see qvprof " << word << " --help)\n";
    return QVProfCommand::ExitUsage;
  } catch (const QVException& error) {
    std::cerr << "qvprof: " << oneLine(error.message()) << '\n';
  } catch (const std::exception& error) {
    std::cerr << "qvprof: " << oneLine(error.what()) << '\n';
  }
  return QVProfCommand::ExitFailure;
}
