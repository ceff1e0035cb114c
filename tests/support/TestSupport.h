#pragma once

#include <sys/types.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

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

// A whole file's bytes; throws when it cannot be read.
std::string ReadWholeFile(const std::string& path);
// Writes the bytes, making the folders on the way; throws when it cannot.
void WriteWholeFile(const std::string& path, const std::string& bytes);
void CopyFile(const std::string& from, const std::string& to);

// The names in a directory, in the order the file system lists them.
std::vector<std::string> DirectoryEntries(const std::string& directory);

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

// Runs body in a forked child process, which exits with body's result.
// Checks inside body cannot use gtest assertions: body reports on stderr and
// answers 0 for success.
pid_t StartChild(const std::function<int()>& body);
// Reaps the child: its exit status, 128 + the signal when killed, -1 when
// it cannot be waited for.
int WaitForChild(pid_t pid);
int RunInChild(const std::function<int()>& body);
// Drops every capability of this process for good, so that even root sees
// file modes as an ordinary owner does (a 0444 file cannot be written).
// Meant for a child of RunInChild. False when the kernel refuses.
bool DropCapabilities();

// The sanitizer these tests were built with: GCC says so by macros, clang
// by __has_feature.
enum class Sanitizer { None, Address, Thread };
constexpr Sanitizer BuildSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return Sanitizer::Address;
#elif defined(__SANITIZE_THREAD__)
  return Sanitizer::Thread;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return Sanitizer::Address;
#elif __has_feature(thread_sanitizer)
  return Sanitizer::Thread;
#else
  return Sanitizer::None;
#endif
#else
  return Sanitizer::None;
#endif
}

// Whether these tests were built with a sanitizer. An instrumented program
// then spends much of its time in the sanitizer's runtime, so where its
// samples land says little about its own functions.
constexpr bool SanitizedBuild() { return BuildSanitizer() != Sanitizer::None; }

// Runs body and returns what the library logged meanwhile.
std::string CaptureLog(const std::function<void()>& body);

// The QVException that action throws, as "<message> @ <source>:<line>";
// "no exception" when it returns normally.
std::string ThrownQVException(const std::function<void()>& action);

}  // namespace test
}  // namespace Quorvel
