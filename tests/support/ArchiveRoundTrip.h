#pragma once

#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "archive/QVArchivable.h"
#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {
namespace test {

// The XML document that archiving one object under `key` produces.
inline std::string ArchiveToString(const QVArchivable& object, const std::string& key) {
  std::ostringstream stream;
  std::unique_ptr<QVArchiver> archiver = QVArchiver::createArchiver(stream);
  archiver->encodeObject(object, key);
  archiver->finish();
  return stream.str();
}

// Reads the root element `key` of a document through decodeObjectForKey,
// so that classes are made the way a session file makes them.
template <class T>
std::shared_ptr<T> UnarchiveFromString(const std::string& document, const std::string& key) {
  std::istringstream stream(document);
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
  std::shared_ptr<T> object;
  unarchiver->decodeObjectForKey(key, object);
  return object;
}

// The document whose root is the list `root` holding what `body` encodes.
inline std::string ArchiveList(const std::string& root, const std::function<void(QVArchiver&)>& body,
                               const QVArchiver::Options& options = {}) {
  std::ostringstream stream;
  std::unique_ptr<QVArchiver> archiver = QVArchiver::createArchiver(stream, options);
  archiver->beginList(root);
  body(*archiver);
  archiver->endList(root);
  archiver->finish();
  return stream.str();
}

// Reads the root list `root` of a document with `body`.
inline void UnarchiveList(const std::string& document, const std::string& root,
                          const std::function<void(QVUnarchiver&)>& body) {
  std::istringstream stream(document);
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
  unarchiver->enterElement(root);
  body(*unarchiver);
  unarchiver->leaveElement(root);
}

// The object the unarchiver decodes next under `key`.
template <class T>
std::shared_ptr<T> DecodeObject(QVUnarchiver& unarchiver, const std::string& key) {
  std::shared_ptr<T> object;
  unarchiver.decodeObjectForKey(key, object);
  return object;
}

// The document with the first `from` replaced by `to`; a `from` that is not
// there fails the test, so an edit of a hostile document cannot miss.
inline std::string ReplaceOnce(std::string document, const std::string& from, const std::string& to) {
  const size_t at = document.find(from);
  EXPECT_NE(std::string::npos, at) << from << " not in " << document;
  return at == std::string::npos ? document : document.replace(at, from.size(), to);
}

}  // namespace test
}  // namespace Quorvel
