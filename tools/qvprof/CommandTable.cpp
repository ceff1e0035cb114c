#include "CommandTable.h"

#include <algorithm>
#include <ostream>

#include "CpuFreqCommand.h"
#include "DiffCommand.h"
#include "DriverCommand.h"
#include "DriversCommand.h"
#include "ExportCommand.h"
#include "HtmlCommand.h"
#include "ImportPerfCommand.h"
#include "InfoCommand.h"
#include "MetricsCommand.h"
#include "RecordCommand.h"
#include "ReportCommand.h"
#include "ScriptCommand.h"

namespace Quorvel {
namespace qvprof {

std::vector<std::unique_ptr<Command>> CommandTable::commands() {
  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(std::make_unique<RecordCommand>());
  commands.push_back(std::make_unique<ReportCommand>());
  commands.push_back(std::make_unique<InfoCommand>());
  commands.push_back(std::make_unique<ScriptCommand>());
  commands.push_back(std::make_unique<ExportCommand>());
  commands.push_back(std::make_unique<HtmlCommand>());
  commands.push_back(std::make_unique<DiffCommand>());
  commands.push_back(std::make_unique<ImportPerfCommand>());
  commands.push_back(std::make_unique<DriversCommand>());
  commands.push_back(std::make_unique<DriverCommand>());
  commands.push_back(std::make_unique<MetricsCommand>());
  commands.push_back(std::make_unique<CpuFreqCommand>());
  return commands;
}

std::unique_ptr<Command> CommandTable::find(const std::string& name) {
  for (auto& command : commands()) {
    if (command->name() == name) return std::move(command);
  }
  return nullptr;
}

void CommandTable::writeHelp(std::ostream& os) {
  os << "Usage: qvprof COMMAND [OPTIONS] [ARGS]\n\n"
        "A sampling profiler for Linux: records call stacks of a program into a session\n"
        "file and reports where its time went.\n\nCommands:\n";
  const auto all = commands();
  size_t width = 0;
  for (const auto& command : all) width = std::max(width, command->name().size());
  for (const auto& command : all) {
    os << "  " << command->name() << std::string(width - command->name().size() + 2, ' ') << command->summary()
       << '\n';
  }
  os << "\nRun 'qvprof COMMAND --help' for the options of a command, 'qvprof --version' for the version.\n"
        "Example:\n"
        "  qvprof record -o app.qvprof -- ./app --its-arguments\n"
        "  qvprof report app.qvprof\n";
}

}  // namespace qvprof
}  // namespace Quorvel
