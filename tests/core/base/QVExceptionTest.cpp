#include "base/QVException.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/QVLog.h"

namespace Quorvel {
namespace {

// Kept out of line so the trace has a frame of the test between the
// constructor and gtest.
__attribute__((noinline)) QVException MakeException() { return QVException("boom", 42, "/src/core/QVThing.cpp"); }

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(QVExceptionTest, TraceStartsAtTheCallerAndPrintsAndLogsAfterTheLocation) {
  const QVException exception = MakeException();
  const std::string& trace = exception.stackTrace();
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.find("QVException::QVException"), std::string::npos) << trace;
  // The innermost frame is in this test program (its symbols are not
  // exported, so the frame names the executable), not in the core library.
  EXPECT_NE(FirstLine(trace).find("QVExceptionTest"), std::string::npos) << trace;
  EXPECT_EQ(FirstLine(trace).find("libQVCore"), std::string::npos) << trace;
  // Printed, the location comes first, then the trace.
  EXPECT_STREQ(exception.what(), "boom");
  std::ostringstream out;
  exception.printStackTrace(out);
  EXPECT_EQ(out.str().rfind("boom at /src/core/QVThing.cpp:42\nStack Trace: " + FirstLine(exception.stackTrace()), 0), 0u)
      << out.str();

  // Logged, it is one error with the location and the trace.
  StartCaptureLog();
  try {
    throw exception;
  } catch (const QVException& caught) {
    LogException(caught);
  }
  std::string text;
  StopCaptureLog(text);
  const std::string expected = "ERROR boom at /src/core/QVThing.cpp:42\nStack Trace: " + exception.stackTrace() + " [";
  EXPECT_EQ(text.rfind(expected, 0), 0u) << text;
  EXPECT_NE(text.find("[QVException:"), std::string::npos) << text;
}

}  // namespace
}  // namespace Quorvel
