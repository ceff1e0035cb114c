#pragma once

#include <functional>
#include <unordered_set>

#include "ids/QVContext.h"
#include "ids/QVFileId.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSectionId.h"
#include "symbols/QVSymbolId.h"

namespace Quorvel {

class QVAbstractCallFrame;

// What a session file must carry for its samples: the identifiers their
// contexts and frames refer to. Every set only grows, so a session gathers
// from several archivers into one of these.
struct QVSampleIdentifiers {
  using ModuleAdder = std::function<void(const QVModuleId&)>;

  std::unordered_set<QVSystemId> systemIds;
  std::unordered_set<QVProcessId> processIds;
  std::unordered_set<QVThreadId> threadIds;
  std::unordered_set<QVContext> contexts;
  std::unordered_set<QVModuleId> moduleIds;
  std::unordered_set<QVSectionId> sectionIds;
  std::unordered_set<QVSymbolId> symbolIds;
  std::unordered_set<QVFileId> sourceFileIds;

  // A context not yet in `contexts` is added with what it brings: a new
  // valid thread adds itself and its process, a process added for the first
  // time adds its modules (after its section map is loaded), and a new
  // system adds the modules of its kernel. Modules go through addModule.
  // False when the context was already there.
  bool addContext(const QVContext& context, const ModuleAdder& addModule);

  // addContext for the context of every sample, in order.
  template <class SampleList>
  void addContexts(const SampleList& samples, const ModuleAdder& addModule) {
    for (const auto& sample : samples) {
      addContext(sample->context(), addModule);
    }
  }

  // Adds the module id and, the first time, the ids of its registered
  // module's sections.
  void addModule(const QVModuleId& moduleId);

  // Adds the frame's symbol, if it resolves, and that symbol's source files.
  void addFrame(const QVAbstractCallFrame& frame);
};

bool operator==(const QVSampleIdentifiers& a, const QVSampleIdentifiers& b);

}  // namespace Quorvel
