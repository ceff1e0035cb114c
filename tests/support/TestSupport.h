#pragma once

#include <functional>
#include <sstream>
#include <string>

namespace Quorvel {
namespace test {

// A directory under $TMPDIR (or /tmp) that is removed with everything in it
// when the object goes out of scope.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& prefix = "qvtest");
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& relative) const;

 private:
  std::string path_;
};

// Sets (or, with a null value, removes) an environment variable for the
// scope of a test.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::string previous_;
  bool hadValue_ = false;
};

// What streaming the value writes.
template <class T>
std::string Text(const T& value) {
  std::ostringstream stream;
  stream << value;
  return stream.str();
}

// Runs this test program again, selecting the tests that match the gtest
// filter, with `variable` ("NAME=value") added to its environment. Its exit
// status (128 + the signal when killed), or -1 when it could not be run.
int RunThisProgramAgain(const std::string& filter, const std::string& variable);

// Runs body and returns what the library logged meanwhile.
std::string CaptureLog(const std::function<void()>& body);

// The QVException that action throws, as "<message> @ <source>:<line>";
// "no exception" when it returns normally.
std::string ThrownQVException(const std::function<void()>& action);

}  // namespace test
}  // namespace Quorvel
