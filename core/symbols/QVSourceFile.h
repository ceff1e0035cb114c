#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "ids/QVFileId.h"

namespace Quorvel {

// A source file that symbols' line tables refer to. Registered once per id
// in a process-wide registry, so that call trees and session files can turn
// a file id back into a file.
//
// Archive keys: "FileId" (object, shared), "Path" (string).
class QVSourceFile : public QVArchivable, public QVUnarchivable {
 public:
  QVSourceFile() = default;  // for decoding
  QVSourceFile(const QVFileId& fileId, const std::string& path);
  // The path of the file id.
  explicit QVSourceFile(const QVFileId& fileId);

  const QVFileId& fileId() const { return fileId_; }
  const std::string& path() const { return path_; }

  // A file id is its path, so two objects of one id say the same thing: the
  // first registered stays and is returned; later ones are dropped. Objects
  // with an invalid id are not registered (the empty pointer is returned).
  static std::shared_ptr<QVSourceFile> registerSourceFile(const std::shared_ptr<QVSourceFile>& file);
  // The registered file, or an empty pointer.
  static std::shared_ptr<QVSourceFile> sourceFileWithId(const QVFileId& fileId);
  static void flushRegisteredSourceFiles();

  void getDescription(std::ostream& os) const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  QVFileId fileId_;
  std::string path_;
};

std::ostream& operator<<(std::ostream& os, const QVSourceFile& file);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSourceFile>& file);

}  // namespace Quorvel
