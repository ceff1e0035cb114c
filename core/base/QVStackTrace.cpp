#include "base/QVStackTrace.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace Quorvel {

namespace {

constexpr int kMaxFrames = 128;
constexpr int kOwnFrameSearch = 8;
// Part of this function's mangled name, as backtrace_symbols reports it.
constexpr const char* kOwnMangledName = "12QVStackTrace7capture";

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};

// backtrace_symbols gives "module(mangled+0xoff) [0xaddr]"; the mangled part
// is empty for symbols the dynamic table does not carry (static functions,
// executables linked without -rdynamic).
std::string DescribeFrame(const std::string& raw) {
  const size_t open = raw.find('(');
  const size_t plus = raw.find('+', open == std::string::npos ? 0 : open);
  const size_t close = raw.find(')', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || close == std::string::npos || plus == std::string::npos || plus > close) {
    return raw;
  }
  const std::string module = raw.substr(0, open);
  const std::string mangled = raw.substr(open + 1, plus - open - 1);
  const std::string offset = raw.substr(plus + 1, close - plus - 1);
  if (mangled.empty()) {
    return module + " +" + offset;
  }
  int status = 0;
  std::unique_ptr<char, FreeDeleter> demangled(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status));
  const std::string name = (status == 0 && demangled) ? std::string(demangled.get()) : mangled;
  return name + " +" + offset + " (" + module + ")";
}

}  // namespace

__attribute__((noinline)) std::string QVStackTrace::capture(int skipFrames) {
  void* frames[kMaxFrames];
  const int count = ::backtrace(frames, kMaxFrames);
  if (count <= 0) {
    return std::string();
  }
  std::unique_ptr<char*, FreeDeleter> symbols(::backtrace_symbols(frames, count));
  if (!symbols) {
    return std::string();
  }
  // Frame 0 is normally this function, but sanitizers interpose backtrace()
  // and add frames of their own in front, so look for it by name.
  int own = 0;
  for (int i = 0; i < count && i < kOwnFrameSearch; ++i) {
    if (std::strstr(symbols.get()[i], kOwnMangledName) != nullptr) {
      own = i;
      break;
    }
  }
  const int first = own + 1 + (skipFrames > 0 ? skipFrames : 0);
  std::ostringstream out;
  for (int i = first; i < count; ++i) {
    if (i > first) {
      out << '\n';
    }
    out << DescribeFrame(symbols.get()[i]);
  }
  return out.str();
}

std::string QVStackTrace::dropLeadingFrames(std::string trace, const std::string& functionPrefix) {
  while (!functionPrefix.empty() && trace.compare(0, functionPrefix.size(), functionPrefix) == 0) {
    const size_t end = trace.find('\n');
    trace = end == std::string::npos ? std::string() : trace.substr(end + 1);
  }
  return trace;
}

}  // namespace Quorvel
