#pragma once

#include <string>

#include "support/TestSupport.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {
namespace test {

// A kernel driver's files below a fixture root that stands for "/" while
// the object lives: its control files in dev/NAME, its init script in
// etc/init.d/NAME.
struct FixtureDriverRoot {
  explicit FixtureDriverRoot(const std::string& name);

  ScratchDirectory root;
  QVSystemPaths::ScopedRoot paths{root.path()};

  std::string dir() const { return root.file("dev/" + name_); }
  std::string file(const std::string& entry) const { return dir() + "/" + entry; }
  // The entry's text; empty when it is missing.
  std::string read(const std::string& entry) const;
  // Writes the entry, making the folders on its way.
  void write(const std::string& entry, const std::string& text) const;
  // An executable init script with the given body; returns its path.
  std::string initScript(const std::string& body) const;
  // A stand-in modprobe beside the root's folders that finds every module,
  // or none; returns its path.
  std::string modprobe(bool finds) const;

 private:
  std::string name_;
};

}  // namespace test
}  // namespace Quorvel
