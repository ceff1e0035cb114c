#pragma once

#include <string>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"

namespace Quorvel {

// The archivable base of every configuration: a name and a description.
// Archive keys "Name" and "Description".
class QVConfig : public QVArchivable, public QVUnarchivable {
 public:
  QVConfig(std::string name, std::string description);
  QVConfig(const QVConfig&) = default;
  QVConfig& operator=(const QVConfig&) = default;
  ~QVConfig() override = default;

  const std::string& name() const { return name_; }
  void setName(const std::string& name) { name_ = name; }
  const std::string& description() const { return description_; }
  void setDescription(const std::string& description) { description_ = description; }

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  std::string name_;
  std::string description_;
};

}  // namespace Quorvel
