#include "session/QVSession.h"

#include <algorithm>
#include <vector>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVLog.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/QVSourceFile.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSystem.h"

namespace Quorvel {

namespace {

// Hash order differs between runs; identifier order does not, so the same
// session always gives the same document.
template <class Id>
std::vector<Id> Sorted(const std::unordered_set<Id>& ids) {
  std::vector<Id> sorted(ids.begin(), ids.end());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

template <class Id>
void EncodeIds(QVArchiver* archiver, const char* list, const char* element, const std::vector<Id>& ids) {
  archiver->beginList(list);
  for (const Id& id : ids) {
    archiver->encodeObject(id, element);
  }
  archiver->endList(list);
}

template <class Id>
void DecodeIds(QVUnarchiver* unarchiver, const char* list, const char* element, std::unordered_set<Id>& ids) {
  unarchiver->enterElement(list);
  while (unarchiver->hasValueForKey(element)) {
    std::shared_ptr<Id> id;
    unarchiver->decodeObjectForKey(element, id);
    if (id->isValid()) {
      ids.insert(*id);
    }
  }
  unarchiver->leaveElement(list);
}

// Writes the object of every id that `lookup` finds; the others are
// reported with `failure` and left out.
template <class Id, class Lookup>
void EncodeObjects(QVArchiver* archiver, const char* list, const char* element, const std::vector<Id>& ids,
                   Lookup lookup, const char* failure) {
  archiver->beginList(list);
  for (const Id& id : ids) {
    const auto object = lookup(id);
    if (object) {
      archiver->encodeObject(*object, element);
    } else {
      QV_ERROR(failure << id);
    }
  }
  archiver->endList(list);
}

template <class T>
std::vector<std::shared_ptr<T>> DecodeObjects(QVUnarchiver* unarchiver, const char* list, const char* element) {
  std::vector<std::shared_ptr<T>> objects;
  unarchiver->enterElement(list);
  while (unarchiver->hasValueForKey(element)) {
    std::shared_ptr<T> object;
    unarchiver->decodeObjectForKey(element, object);
    objects.push_back(std::move(object));
  }
  unarchiver->leaveElement(list);
  return objects;
}

// Registers each decoded object unless the registry already holds one for
// its id: a session read back by the process that recorded it must not
// replace the live objects, which the samples' sources still point at.
template <class T, class Find, class Register, class IdOf>
void RegisterDecoded(const std::vector<std::shared_ptr<T>>& objects, Find find, Register registerObject,
                     IdOf idOf, const char* kind) {
  for (const std::shared_ptr<T>& object : objects) {
    if (find(idOf(*object))) {
      QV_DEBUG("keeping the registered " << kind << " " << idOf(*object));
      continue;
    }
    registerObject(object);
  }
}

}  // namespace

QVSession::QVSession(bool indentDocument, bool shareObjects)
    : indentDocument_(indentDocument), shareObjects_(shareObjects) {}

QVSession::~QVSession() = default;

void QVSession::_ensureGathered() const {
  std::lock_guard<std::recursive_mutex> guard(gatherMutex_);
  if (gathered_) {
    return;
  }
  // Set first, so that a subclass asking an accessor while it gathers does
  // not start over.
  gathered_ = true;
  try {
    gatherIdentifiers();
  } catch (...) {
    gathered_ = false;
    throw;
  }
}

void QVSession::_invalidateIdentifiers() {
  std::lock_guard<std::recursive_mutex> guard(gatherMutex_);
  gathered_ = false;
}

void QVSession::_clearIdentifiers() const {
  systemIds_.clear();
  processIds_.clear();
  threadIds_.clear();
  contexts_.clear();
  moduleIds_.clear();
  sectionIds_.clear();
  symbolIds_.clear();
  sourceFileIds_.clear();
}

const std::unordered_set<QVSystemId>& QVSession::systemIds() const {
  _ensureGathered();
  return systemIds_;
}

const std::unordered_set<QVProcessId>& QVSession::processIds() const {
  _ensureGathered();
  return processIds_;
}

const std::unordered_set<QVThreadId>& QVSession::threadIds() const {
  _ensureGathered();
  return threadIds_;
}

const std::unordered_set<QVContext>& QVSession::contexts() const {
  _ensureGathered();
  return contexts_;
}

const std::unordered_set<QVModuleId>& QVSession::moduleIds() const {
  _ensureGathered();
  return moduleIds_;
}

const std::unordered_set<QVSectionId>& QVSession::sectionIds() const {
  _ensureGathered();
  return sectionIds_;
}

const std::unordered_set<QVSymbolId>& QVSession::symbolIds() const {
  _ensureGathered();
  return symbolIds_;
}

const std::unordered_set<QVFileId>& QVSession::sourceFileIds() const {
  _ensureGathered();
  return sourceFileIds_;
}

void QVSession::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->setShareObjects(shareObjects_);
  archiver->setIndent(indentDocument_);
  _ensureGathered();
  archiver->encodeAttribute(schemaNameSpace(), "xmlns");
  archiver->encodeAttribute(schemaInstance(), "xmlns:xsi");
  archiver->encodeAttribute(schemaLocation(), "xsi:schemaLocation");
  _encodeIdentifiers(archiver);
  _encodeObjects(archiver);
}

void QVSession::_encodeIdentifiers(QVArchiver* archiver) const {
  EncodeIds(archiver, "SystemIds", "SystemId", Sorted(systemIds_));
  EncodeIds(archiver, "ProcessIds", "ProcessId", Sorted(processIds_));
  EncodeIds(archiver, "ThreadIds", "ThreadId", Sorted(threadIds_));
  EncodeIds(archiver, "Contexts", "Context", Sorted(contexts_));
  std::vector<QVModuleId> modules;
  for (const QVModuleId& id : Sorted(moduleIds_)) {
    if (id.architecture() == QVArchitectureUnknown) {
      QV_WARNING("skipping module id with unknown architecture: " << id);
      continue;
    }
    modules.push_back(id);
  }
  EncodeIds(archiver, "ModuleIds", "ModuleId", modules);
  EncodeIds(archiver, "SymbolIds", "SymbolId", Sorted(symbolIds_));
  EncodeIds(archiver, "SourceFileIds", "SourceFileId", Sorted(sourceFileIds_));
}

void QVSession::_encodeObjects(QVArchiver* archiver) const {
  EncodeObjects(
      archiver, "SourceFiles", "SourceFile", Sorted(sourceFileIds_),
      [](const QVFileId& id) { return QVSourceFile::sourceFileWithId(id); }, "failed to lookup source file: ");
  EncodeObjects(
      archiver, "Symbols", "Symbol", Sorted(symbolIds_),
      [](const QVSymbolId& id) { return QVSymbol::symbolWithId(id); }, "failed to lookup symbol: ");
  EncodeObjects(
      archiver, "Modules", "Module", Sorted(moduleIds_),
      [](const QVModuleId& id) { return QVModule::moduleWithId(id); }, "failed to lookup module: ");
  EncodeObjects(
      archiver, "Systems", "System", Sorted(systemIds_),
      [](const QVSystemId& id) {
        // This machine's description is built on first demand; a session
        // may be saved before anything asked for it.
        std::shared_ptr<QVSystem> system = QVSystem::systemWithId(id);
        if (!system && id == QVSystemId::currentSystemId()) {
          system = QVSystem::currentSystem();
        }
        return system;
      },
      "failed to lookup system: ");
  EncodeObjects(
      archiver, "Processes", "Process", Sorted(processIds_),
      [](const QVProcessId& id) { return QVProcess::processWithId(id, false, false); },
      "failed to lookup process: ");
  EncodeObjects(
      archiver, "Threads", "Thread", Sorted(threadIds_),
      [](const QVThreadId& id) { return QVThread::threadWithId(id, false, false); }, "failed to lookup thread: ");
}

void QVSession::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::lock_guard<std::recursive_mutex> guard(gatherMutex_);
  _clearIdentifiers();
  _decodeIdentifiers(unarchiver);
  _decodeObjects(unarchiver);
  // What the document named is what this session refers to; gathering again
  // would only ask the decoded content the same question.
  gathered_ = true;
}

void QVSession::_decodeIdentifiers(QVUnarchiver* unarchiver) {
  DecodeIds(unarchiver, "SystemIds", "SystemId", systemIds_);
  DecodeIds(unarchiver, "ProcessIds", "ProcessId", processIds_);
  DecodeIds(unarchiver, "ThreadIds", "ThreadId", threadIds_);
  DecodeIds(unarchiver, "Contexts", "Context", contexts_);
  DecodeIds(unarchiver, "ModuleIds", "ModuleId", moduleIds_);
  DecodeIds(unarchiver, "SymbolIds", "SymbolId", symbolIds_);
  DecodeIds(unarchiver, "SourceFileIds", "SourceFileId", sourceFileIds_);
}

void QVSession::_decodeObjects(QVUnarchiver* unarchiver) {
  const auto sourceFiles = DecodeObjects<QVSourceFile>(unarchiver, "SourceFiles", "SourceFile");
  for (const std::shared_ptr<QVSourceFile>& file : sourceFiles) {
    // The registry keeps the first object of an id by itself.
    QVSourceFile::registerSourceFile(file);
  }

  const auto symbols = DecodeObjects<QVSymbol>(unarchiver, "Symbols", "Symbol");
  RegisterDecoded(
      symbols, [](const QVSymbolId& id) { return static_cast<bool>(QVSymbol::symbolWithId(id)); },
      [](const std::shared_ptr<QVSymbol>& symbol) { QVSymbol::registerSymbol(symbol); },
      [](const QVSymbol& symbol) { return symbol.symbolId(); }, "symbol");

  // Modules come after the symbols: their sections answer lookups from the
  // symbols registered under their ids, never from the original files.
  const auto modules = DecodeObjects<QVModule>(unarchiver, "Modules", "Module");
  RegisterDecoded(
      modules, [](const QVModuleId& id) { return static_cast<bool>(QVModule::moduleWithId(id)); },
      [](const std::shared_ptr<QVModule>& module) { QVModule::registerModule(module); },
      [](const QVModule& module) { return module.moduleId(); }, "module");

  const auto systems = DecodeObjects<QVSystem>(unarchiver, "Systems", "System");
  for (const std::shared_ptr<QVSystem>& system : systems) {
    QVSystem::registerSystem(system);
  }

  const auto processes = DecodeObjects<QVProcess>(unarchiver, "Processes", "Process");
  RegisterDecoded(
      processes,
      [](const QVProcessId& id) { return static_cast<bool>(QVProcess::processWithId(id, false, false)); },
      [](const std::shared_ptr<QVProcess>& process) { QVProcess::registerProcess(process); },
      [](const QVProcess& process) { return process.processId(); }, "process");

  const auto threads = DecodeObjects<QVThread>(unarchiver, "Threads", "Thread");
  RegisterDecoded(
      threads, [](const QVThreadId& id) { return static_cast<bool>(QVThread::threadWithId(id, false, false)); },
      [](const std::shared_ptr<QVThread>& thread) { QVThread::registerThread(thread); },
      [](const QVThread& thread) { return thread.threadId(); }, "thread");

  for (const QVModuleId& id : moduleIds_) {
    if (const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(id)) {
      for (const std::shared_ptr<QVSection>& section : module->sections()) {
        if (section) {
          sectionIds_.insert(section->sectionId());
        }
      }
    }
  }
}

}  // namespace Quorvel
