#pragma once

#include <functional>
#include <unordered_set>

#include "QVContext.h"
#include "QVFileId.h"
#include "QVModuleId.h"
#include "QVProcessId.h"
#include "QVSectionId.h"
#include "QVSymbolId.h"
#include "QVSystemId.h"
#include "QVThreadId.h"

namespace Quorvel {

class QVAbstractCallFrame;
class QVProcess;

// The identifier gathering shared by the sample archivers: what a sample's
// context and frames bring into a session file. Every set only grows, so a
// session gathers from several archivers into one set of sets.
class QVSampleIdentifiers {
 public:
  using ModuleAdder = std::function<void(const QVModuleId&)>;

  // A context not yet in `contexts` is added with what it brings: a new
  // valid thread adds itself and its process, a process added for the first
  // time adds its modules (after its section map is loaded), and a new
  // system adds the modules of its kernel. Modules go through addModule.
  // False when the context was already there.
  static bool addContext(const QVContext& context, std::unordered_set<QVSystemId>& systemIds,
                         std::unordered_set<QVProcessId>& processIds, std::unordered_set<QVThreadId>& threadIds,
                         std::unordered_set<QVContext>& contexts, const ModuleAdder& addModule);

  // Adds the module id and, the first time, the ids of its registered
  // module's sections.
  static void addModule(const QVModuleId& moduleId, std::unordered_set<QVModuleId>& moduleIds,
                        std::unordered_set<QVSectionId>& sectionIds);

  // Adds the module of every section mapped in the process.
  static void addProcessModules(const QVProcess& process, const ModuleAdder& addModule);

  // Adds the frame's symbol, if it resolves, and that symbol's source files.
  static void addFrame(const QVAbstractCallFrame& frame, std::unordered_set<QVSymbolId>& symbolIds,
                       std::unordered_set<QVFileId>& sourceFileIds);
};

}  // namespace Quorvel
