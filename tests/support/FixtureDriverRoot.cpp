#include "support/FixtureDriverRoot.h"

#include <sys/stat.h>

#include "system/QVFileUtils.h"

namespace Quorvel {
namespace test {

FixtureDriverRoot::FixtureDriverRoot(const std::string& name) : root(name), name_(name) {}

std::string FixtureDriverRoot::read(const std::string& entry) const {
  std::string text;
  FileReadString(file(entry), text);
  return text;
}

void FixtureDriverRoot::write(const std::string& entry, const std::string& text) const {
  WriteWholeFile(file(entry), text);
}

std::string FixtureDriverRoot::initScript(const std::string& body) const {
  const std::string path = root.file("etc/init.d/" + name_);
  WriteWholeFile(path, body);
  ::chmod(path.c_str(), 0755);
  return path;
}

std::string FixtureDriverRoot::modprobe(bool finds) const {
  const std::string path = root.file(finds ? "modprobe-finds" : "modprobe-fails");
  FileWriteString(path, finds ? "#!/bin/sh\nexit 0\n" : "#!/bin/sh\nexit 1\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

}  // namespace test
}  // namespace Quorvel
