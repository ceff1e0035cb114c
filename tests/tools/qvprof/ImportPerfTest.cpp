#include "ImportPerfCommand.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include "base/QVException.h"
#include "export/QVFrameText.h"
#include "Linux/perf/QVProfileDriverLinuxPerf.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVProcessManager.h"

using namespace Quorvel;
using namespace Quorvel::qvprof;
using Quorvel::test::ScratchDirectory;

namespace {

std::string perfPath() {
  auto driver = QVProfileDriverLinuxPerf::defaultDriver();
  return driver ? driver->perfBinaryPath() : std::string();
}

// Runs a shell command line; its stdout (stderr is perf's chatter).
std::string shell(const std::string& line, int& status) {
  std::string output;
  status = QVProcessManager::defaultManager().run("/bin/sh", {"-c", line + " 2>/dev/null"}, std::string(), output);
  return output;
}

// Where perf and the session name one address differently: perf prefers
// the versioned alias (clock_gettime@@GLIBC_2.17) where the session takes
// the first in the table (__clock_gettime, or glibc's internal
// __GI___clone3 for clone3), and perf names PLT stubs after their target
// (clock_gettime@plt) where ELF symbol tables have nothing.
std::string plainName(std::string symbol) {
  if (symbol.size() > 4 && symbol.compare(symbol.size() - 4, 4, "@plt") == 0) return "[unknown]";
  const size_t version = symbol.find('@');
  if (version != std::string::npos) symbol.erase(version);
  const auto stripUnderscores = [&symbol] {
    const size_t first = symbol.find_first_not_of('_');
    if (first != std::string::npos) symbol.erase(0, first);
  };
  stripUnderscores();
  if (symbol.compare(0, 3, "GI_") == 0) {
    symbol.erase(0, 3);
    stripUnderscores();
  }
  return symbol;
}

// "TID IP SYMBOL" of every sample of the event, sorted: what perf script
// prints, and the same from the imported session. perf prints C++ names
// without their parameters, so a symbol of ours that starts with perf's
// name and "(" counts as the same.
std::vector<std::string> perfScriptSamples(const std::string& data, const std::string& event) {
  int status = 0;
  std::istringstream in(shell("'" + perfPath() + "' script -i '" + data + "' -F event,tid,ip,sym -G", status));
  std::vector<std::string> samples;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string tid, name, ip;
    words >> tid >> name >> ip;
    if (name != event + ":") continue;
    std::string symbol;
    std::getline(words >> std::ws, symbol);
    samples.push_back(tid + " " + ip + " " + plainName(symbol));
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

std::vector<std::string> importedSamples(const QVSessionProfile& profile, const std::vector<std::string>& perf) {
  std::vector<std::string> samples;
  if (!profile.callStackData()) return samples;
  std::vector<const QVAbstractCallFrame*> frames;
  for (const auto& sample : profile.callStackData()->samples()) {
    sample->getFrames(frames);
    std::string symbol =
        frames.empty() || !frames.front() ? "[unknown]" : plainName(QVFrameText::symbolName(*frames.front()));
    const std::string tid = std::to_string(sample->context().threadId().nativeIdentifier()) + " " +
                            (frames.empty() || !frames.front() ? "0" : QVFrameText::hex(frames.front()->address()));
    // Shorten to perf's form when perf printed the name without its
    // parameter list.
    const size_t open = symbol.find('(', symbol.rfind("(anonymous namespace)") == 0 ? 21 : 0);
    if (open != std::string::npos && open > 0) {
      const std::string bare = tid + " " + symbol.substr(0, open);
      if (std::binary_search(perf.begin(), perf.end(), bare)) symbol = symbol.substr(0, open);
    }
    samples.push_back(tid + " " + symbol);
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

class ImportPerfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (perfPath().empty()) GTEST_SKIP() << "perf is not installed";
  }
  ScratchDirectory scratch_{"qvimport"};
};

// perf.data files recorded here by real perf of the call-chain probe, then
// imported: the same samples with the same innermost symbols as perf script
// prints, and the traces recorded beside them.
TEST_F(ImportPerfTest, GivesTheSamplesPerfScriptPrints) {
  struct Case {
    const char* name;
    const char* options;
    bool traces;
  } cases[] = {
      {"call stacks", "-g -e cpu-clock -c 500000", false},
      {"raw call stacks", "-R -g -e cpu-clock -c 500000", false},
      {"with traces", "-R -g -e cpu-clock -c 500000 -e sched:sched_switch -e raw_syscalls:sys_enter "
                      "-e raw_syscalls:sys_exit", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string data = scratch_.file(std::to_string(&c - cases) + ".data");
    int status = 0;
    shell("'" + perfPath() + "' record -q " + c.options + " -o '" + data + "' -- " QV_CALL_CHAIN_PROBE_FP_G
          " spin 0.4 >/dev/null",
          status);
    if (status != 0 && c.traces) {
      GTEST_SKIP() << "perf cannot record tracepoints here (status " << status << ")";
    }
    ASSERT_EQ(0, status);
    const std::shared_ptr<QVSessionProfile> profile = ImportPerfCommand::import(data);
    const std::vector<std::string> perf = perfScriptSamples(data, "cpu-clock");
    ASSERT_GT(perf.size(), 50u);
    const std::vector<std::string> imported = importedSamples(*profile, perf);
    EXPECT_EQ(perf.size(), imported.size());
    std::vector<std::string> onlyPerf, onlyImported;
    std::set_difference(perf.begin(), perf.end(), imported.begin(), imported.end(), std::back_inserter(onlyPerf));
    std::set_difference(imported.begin(), imported.end(), perf.begin(), perf.end(),
                        std::back_inserter(onlyImported));
    // The same samples (thread and address) always; the same name except
    // where an address has several (kernel entry points such as
    // __x64_sys_sched_yield and __ia32_sys_sched_yield), which both sides
    // pick differently and only for the odd sample. Named against unknown
    // is never an alias.
    ASSERT_EQ(onlyPerf.size(), onlyImported.size());
    const auto place = [](const std::string& line) { return line.substr(0, line.find(' ', line.find(' ') + 1)); };
    const auto name = [](const std::string& line) { return line.substr(line.find(' ', line.find(' ') + 1) + 1); };
    for (size_t i = 0; i < onlyPerf.size(); ++i) {
      EXPECT_EQ(place(onlyPerf[i]), place(onlyImported[i]));
      EXPECT_NE("[unknown]", name(onlyPerf[i])) << onlyImported[i];
      EXPECT_NE("[unknown]", name(onlyImported[i])) << onlyPerf[i];
    }
    EXPECT_LE(onlyPerf.size() * 100, perf.size()) << "left: only perf script; right: only the session";
    EXPECT_EQ(c.traces, profile->threadTenureData() != nullptr);
    EXPECT_EQ(c.traces, profile->systemCallData() != nullptr);
  }
}

TEST_F(ImportPerfTest, FilesThatCannotBeOpenedSayWhy) {
  for (const std::string& path : {scratch_.file("missing.data"), scratch_.path()}) {
    try {
      ImportPerfCommand::import(path);
      ADD_FAILURE() << path << " imported";
    } catch (const QVException& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find("failed to open file")) << e.what();
    }
  }
}

}  // namespace
