#pragma once

#include <mutex>
#include <string>
#include <unordered_set>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "ids/QVContext.h"
#include "ids/QVFileId.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSectionId.h"
#include "symbols/QVSymbolId.h"

namespace Quorvel {

// The identifiers a recorded session refers to, and the objects they name.
// A subclass says how the identifiers are found (gatherIdentifiers); the
// first accessor call or encoding runs that once. Setting new content in a
// subclass calls _invalidateIdentifiers() so the next save gathers again.
//
// Encoding hands the two constructor flags to the archiver (second flag
// first: share objects, then indent), puts the schema attributes on the
// element being written, and writes, in this order:
//   "SystemIds" of "SystemId", "ProcessIds" of "ProcessId", "ThreadIds" of
//   "ThreadId", "Contexts" of "Context", "ModuleIds" of "ModuleId" (ids
//   with an unknown architecture are left out with a warning), "SymbolIds"
//   of "SymbolId", "SourceFileIds" of "SourceFileId" (section ids are not
//   written), then the objects: "SourceFiles" of "SourceFile", "Symbols" of
//   "Symbol", "Modules" of "Module", "Systems" of "System", "Processes" of
//   "Process", "Threads" of "Thread". An id whose object is not registered
//   is skipped with an error logged. Every list is in identifier order so
//   that a session always writes the same document.
//
// Decoding reads the same order. The objects of each list are registered
// once the whole list is read; where the registry already holds an object
// under an id (the session is read back by the process that recorded it),
// the registered object is kept. Afterwards the identifier sets hold what
// the document named, and the section ids are those of the named modules.
//
// The accessors are safe to call from several threads; encoding and
// decoding are not meant to run concurrently with anything else.
class QVSession : public QVArchivable, public QVUnarchivable {
 public:
  // `indentDocument` and `shareObjects` are handed to the archiver.
  QVSession(bool indentDocument, bool shareObjects);
  ~QVSession() override;
  QVSession(const QVSession&) = delete;
  QVSession& operator=(const QVSession&) = delete;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  // Clears every set and fills them from the session's content.
  virtual void gatherIdentifiers() const = 0;
  virtual std::string schemaNameSpace() const = 0;
  virtual std::string schemaInstance() const = 0;
  virtual std::string schemaLocation() const = 0;

  const std::unordered_set<QVSystemId>& systemIds() const;
  const std::unordered_set<QVProcessId>& processIds() const;
  const std::unordered_set<QVThreadId>& threadIds() const;
  const std::unordered_set<QVContext>& contexts() const;
  const std::unordered_set<QVModuleId>& moduleIds() const;
  const std::unordered_set<QVSectionId>& sectionIds() const;
  const std::unordered_set<QVSymbolId>& symbolIds() const;
  const std::unordered_set<QVFileId>& sourceFileIds() const;

  bool indentDocument() const { return indentDocument_; }
  bool shareObjects() const { return shareObjects_; }

 protected:
  // For gatherIdentifiers(): empties the eight sets.
  void _clearIdentifiers() const;
  // The next accessor call or encoding gathers again.
  void _invalidateIdentifiers();
  void _ensureGathered() const;

  // Filled by gatherIdentifiers() (a const operation: the sets are a cache
  // of what the content refers to).
  mutable std::unordered_set<QVSystemId> systemIds_;
  mutable std::unordered_set<QVProcessId> processIds_;
  mutable std::unordered_set<QVThreadId> threadIds_;
  mutable std::unordered_set<QVContext> contexts_;
  mutable std::unordered_set<QVModuleId> moduleIds_;
  mutable std::unordered_set<QVSectionId> sectionIds_;
  mutable std::unordered_set<QVSymbolId> symbolIds_;
  mutable std::unordered_set<QVFileId> sourceFileIds_;

 private:
  void _encodeIdentifiers(QVArchiver* archiver) const;
  void _encodeObjects(QVArchiver* archiver) const;
  void _decodeIdentifiers(QVUnarchiver* unarchiver);
  void _decodeObjects(QVUnarchiver* unarchiver);

  const bool indentDocument_;
  const bool shareObjects_;
  mutable std::recursive_mutex gatherMutex_;
  mutable bool gathered_ = false;
};

}  // namespace Quorvel
