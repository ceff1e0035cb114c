#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "archive/QVUnarchivable.h"
#include "archive/QVUniqueArchivable.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSectionId.h"
#include "system/QVMachine.h"

namespace Quorvel {

class QVSection;

// A loadable image (executable, shared library, kernel module) as a list of
// sections. A plain module is given its sections; a module decoded from a
// session file is a plain module whose sections answer from the registered
// symbols.
//
// Archive keys, in order: "ModuleId" (object, shared), "Path", "Name"
// (strings), "Offset", "BaseAddress" ("0x%llx"), "Sections" (a list of
// "Section" objects, shared).
class QVModule : public QVUniqueArchivable, public QVUnarchivable {
 public:
  QVModule();  // for decoding
  // `offset` is where the image starts in its file (0 for whole files).
  QVModule(const QVModuleId& moduleId, const std::string& path, uint64_t offset, const std::string& name);
  QVModule(const QVModule&) = delete;
  QVModule& operator=(const QVModule&) = delete;
  ~QVModule() override;

  const QVModuleId& moduleId() const { return moduleId_; }
  virtual const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  uint64_t offset() const { return offset_; }
  QVArchitecture architecture() const { return moduleId_.architecture(); }

  void setSections(const std::vector<std::shared_ptr<QVSection>>& sections);
  // A copy, so that callers never see the list change under them.
  std::vector<std::shared_ptr<QVSection>> sections() const;
  // The section of that id, or a reference to an empty pointer.
  const std::shared_ptr<QVSection>& sectionWithId(const QVSectionId& sectionId) const;

  // The address the image is linked to start at: a mapping's start minus
  // this is its load bias. For a plain module the lowest start of its
  // allocated sections (0 without any); a decoded module keeps the value
  // the file carried.
  virtual uint64_t baseAddress() const;

  // "<name> (<path>)".
  virtual void getDescription(std::ostream& os) const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  // Registry. A module with an invalid id raises QVException "invalid
  // module id"; another object under a registered id raises "duplicate
  // module id: " + id. Registering the same object again does nothing.
  static void registerModule(const std::shared_ptr<QVModule>& module);
  // The registered module, or a reference to an empty pointer. The
  // reference stays valid until the registry is flushed.
  static const std::shared_ptr<QVModule>& moduleWithId(const QVModuleId& moduleId);
  static void getRegisteredModules(std::vector<std::shared_ptr<QVModule>>& modules);
  static void flushRegisteredModules();

 private:
  QVModuleId moduleId_;
  std::string path_;
  uint64_t offset_ = 0;
  std::string name_;
  bool hasDecodedBase_ = false;
  uint64_t decodedBase_ = 0;

  mutable std::mutex sectionsMutex_;
  std::vector<std::shared_ptr<QVSection>> sections_;
};

std::ostream& operator<<(std::ostream& os, const QVModule& module);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVModule>& module);

}  // namespace Quorvel
