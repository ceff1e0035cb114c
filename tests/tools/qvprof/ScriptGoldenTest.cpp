#include <gtest/gtest.h>

#include <sstream>

#include "ImportPerfCommand.h"
#include "ScriptCommand.h"
#include "SessionSamples.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"
#include "support/ElfProbes.h"
#include "support/ElfProbes.h"
#include "support/TestSupport.h"
#include "system/QVSystemPaths.h"

using namespace Quorvel;
using namespace Quorvel::qvprof;

namespace {

// perf.data files that perf recorded of a program without a C library,
// each beside what `qvprof script --all-processes` printed for its import
// (README.md beside them says how they were made). The program and the
// kernel symbols sampled are under root/, so nothing of this machine shows
// through.
const std::string kGolden = QV_TEST_DATA_DIR "/profile/Linux/perf/golden/";

TEST(ScriptGoldenTest, ImportedRecordingsPrintAsCheckedIn) {
  const std::string root = kGolden + "root";
  test::ScratchDirectory scratch("qvgolden");
  // The kernel's symbols are read once per process, from the root the
  // whole test runs under.
  const QVSystemPaths::ScopedRoot fixture(root);
  for (const char* name : {"prog-callstacks", "prog-traces", "prog-leaf", "prog-dwarf"}) {
    SCOPED_TRACE(name);
    const std::string session = scratch.file(std::string(name) + ".session");
    QVSessionFile::write(*ImportPerfCommand::import(kGolden + name + ".data", nullptr, root), session, false);
    std::ostringstream out;
    ScriptCommand::writeScript(out, SessionSamples(session), -1);
    // Module paths name the copy under the root.
    std::string text = out.str();
    for (size_t at = text.find(root); at != std::string::npos; at = text.find(root, at)) text.erase(at, root.size());
    EXPECT_EQ(test::ReadWholeFile(kGolden + name + ".script.txt"), text);
  }
}

}  // namespace
