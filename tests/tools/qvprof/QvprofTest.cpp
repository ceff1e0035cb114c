#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CpuFreqCommand.h"
#include "DriverCatalog.h"
#include "DriversCommand.h"
#include "Linux/driver/QVDriverModule.h"
#include "Linux/notify/QVNotifyDriverLinux.h"
#include "MetricsCommand.h"
#include "RecordCommand.h"
#include "support/CallChainProbe.h"
#include "support/ChildProbe.h"
#include "support/ElfProbes.h"
#include "support/FakeCpuFreqTree.h"
#include "support/QvprofRun.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"
#include "UsageError.h"

// The qvprof program as a user runs it: every command through the binary,
// with its exit status and both output streams.
namespace Quorvel {
namespace {

using Clock = std::chrono::steady_clock;

using Result = test::ProgramResult;
using test::QvprofArgs;
using test::RunQvprof;

std::string ReadFile(const std::string& path) {
  std::string text;
  FileReadString(path, text);
  return text;
}

size_t LineCount(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

// ptrace needs to be allowed for the profiling cases.
bool TracingAllowed(std::string& why) {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  qvprof::DriverCatalog::processEnvironment(errors, warnings);
  if (!errors.empty()) why = errors.front();
  return errors.empty();
}

TEST(QvprofHelp, EveryCommandAnswersHelpWithItsOwnOptions) {
  const Result top = RunQvprof({"--help"});
  EXPECT_EQ(0, top.status);
  EXPECT_EQ(2, RunQvprof({}).status) << "no command is a usage error";
  const std::map<std::string, std::string> usages = {
      {"record", "Usage: qvprof record [OPTIONS] -- COMMAND [ARGS...]"},
      {"report", "Usage: qvprof report [OPTIONS] FILE"},
      {"info", "Usage: qvprof info [OPTIONS] FILE"},
      {"script", "Usage: qvprof script [OPTIONS] FILE"},
      {"drivers", "Usage: qvprof drivers [OPTIONS]"},
  };
  for (const auto& usage : usages) {
    EXPECT_NE(std::string::npos, top.out.find("\n  " + usage.first + " ")) << usage.first << "\n" << top.out;
    for (const char* flag : {"--help", "-h"}) {
      const Result result = RunQvprof({usage.first, flag});
      EXPECT_EQ(0, result.status) << usage.first;
      EXPECT_EQ("", result.err) << usage.first;
      EXPECT_EQ(0u, result.out.find(usage.second)) << usage.first << " " << flag << "\n" << result.out;
    }
  }
  EXPECT_EQ(0, RunQvprof({"help", "report"}).out.find("Usage: qvprof report"));
  const Result version = RunQvprof({"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("qvprof [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
}

TEST(QvprofArguments, MistakesExitWithStatusTwoAndOneLineNamingTheArgument) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"record", "--interval", "0", "--", "true"}, "qvprof record: --interval: expected a number greater than 0"},
      {{"record", "--interval", "--", "true"}, "qvprof record: option '--interval' needs a value (SECONDS)"},
      {{"record"}, "qvprof record: nothing to profile"},
      {{"record", "--pid", "abc"}, "qvprof record: --pid: expected an integer"},
      {{"record", "--pid", "1", "--", "true"}, "qvprof record: --pid: give either"},
      {{"record", "--wrap", "--", "true"}, "qvprof record: --wrap: only applies together with --sample-limit"},
      {{"record", "--driver", "process", "--sample-limit", "5", "--wrap", "--", "true"}, "qvprof record: --wrap: the process driver"},
      {{"record", "--driver", "nosuch", "--", "true"}, "qvprof record: --driver: unknown driver 'nosuch'"},
      {{"record", "--time-limit", "-2", "--", "true"}, "qvprof record: --time-limit:"},
      {{"record", "--interval", "1e-10", "--", "true"}, "qvprof record: --interval: shorter than the timer's"},
      {{"record", "--interval", "1e-300", "--", "true"}, "qvprof record: --interval: shorter than the timer's"},
      {{"record", "--time-limit", "1e-12", "--", "true"}, "qvprof record: --time-limit: shorter than the timer's"},
      {{"record", "--bogus", "--", "true"}, "qvprof record: unknown option '--bogus'"},
      {{"record", "-o"}, "qvprof record: option '-o' needs a value (FILE)"},
      {{"report"}, "qvprof report: missing FILE"},
      {{"report", "f", "--granularity", "function"}, "qvprof report: --granularity: expected one of address,"},
      {{"report", "f", "--topology", "up"}, "qvprof report: --topology: expected one of tree, leaf, got 'up'"},
      {{"report", "f", "--min-percent", "101"}, "qvprof report: --min-percent:"},
      {{"report", "f", "--depth", "0"}, "qvprof report: --depth:"},
      {{"report", "f", "--thread", "x"}, "qvprof report: --thread:"},
      {{"info", "a", "b"}, "qvprof info: unexpected extra argument 'b'"},
      {{"script", "f", "--log-level", "chatty"}, "qvprof script: --log-level:"},
      {{"drivers", "extra"}, "qvprof drivers: unexpected argument 'extra'"},
      {{"frobnicate"}, "qvprof: unknown command 'frobnicate'"},
      {{"record", "--sched", "--", "true"}, "qvprof record: --sched: only the perf driver takes it"},
      {{"record", "--driver", "perf", "--trigger", "cycles"}, "qvprof record: --trigger: expected one of"},
      {{"record", "--driver", "perf", "--trigger", "event"}, "qvprof record: --trigger event: name the event"},
      {{"record", "--driver", "perf", "--count", "5"}, "qvprof record: --count: only applies together with"},
      {{"record", "--driver", "perf", "--sample-limit", "5"}, "qvprof record: --sample-limit: perf counts"},
      {{"import-perf"}, "qvprof import-perf: missing PERF.DATA"},
      {{"import-perf", "a", "-o", ""}, "qvprof import-perf: --output: the file name is empty"},
      {{"export", "f"}, "qvprof export: --format: required (folded, pprof, trace or speedscope)"},
      {{"export", "f", "--format", "svg"}, "qvprof export: --format: expected one of folded, pprof, trace, speedscope"},
      {{"export", "f", "--format", "folded", "--thread", "x"}, "qvprof export: --thread: expected an integer"},
      {{"export"}, "qvprof export: missing FILE"},
      {{"diff", "a"}, "qvprof diff: missing BASE NEW"},
      {{"diff", "a", "b", "--min-percent", "200"}, "qvprof diff: --min-percent: expected a percentage from 0 to 100"},
      {{"diff", "a", "b", "--format", "pprof"}, "qvprof diff: --format: expected one of text, folded, got 'pprof'"},
      {{"report", "f", "--format", "xml"}, "qvprof report: --format: expected one of text, json, got 'xml'"},
      {{"html", "f", "--granularity", "word"}, "qvprof html: --granularity: expected one of address,"},
      {{"html", "f", "--process", "x"}, "qvprof html: --process: expected an integer"},
      {{"html", "f", "-o", ""}, "qvprof html: --output: the file name is empty"},
  };
  for (const auto& entry : cases) {
    const Result result = RunQvprof(entry.first);
    std::string words;
    for (const auto& word : entry.first) words += word + " ";
    EXPECT_EQ(2, result.status) << words;
    EXPECT_EQ(0u, result.err.find(entry.second)) << words << "\n" << result.err;
    EXPECT_EQ(1u, LineCount(result.err)) << words << "\n" << result.err;
    EXPECT_EQ("", result.out) << words;
  }
}

// A session that is missing or damaged, a pid that does not exist, a
// program that cannot run and an output that cannot be written (a missing
// folder, or a FIFO, which is left as it was) each fail with one line, write
// no session and never wait for the program (its 30 s would show).
TEST(QvprofFailures, FailuresGiveOneLineWriteNothingAndNeverWaitForTheProgram) {
  // A pid that was just freed: the child is reaped before qvprof runs.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  test::ScratchDirectory scratch("qvprofnopid");
  const std::string output = scratch.file("none.qvprof");
  const std::string missing = "/nonexistent-qvprof-dir/x.qvprof";
  const std::string fifo = scratch.file("fifo.qvprof");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0666)) << std::strerror(errno);
  struct stat before {};
  ASSERT_EQ(0, ::lstat(fifo.c_str(), &before));
  const std::string garbage = scratch.file("garbage.qvprof");
  ASSERT_TRUE(FileWriteString(garbage, "<Session><SessionInfo>"));
  std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"record", "--driver", "process", "-o", output, "--pid", std::to_string(child)},
       "qvprof: no process with pid " + std::to_string(child) + "\n"},
      {{"record", "-o", output, "--", "/nonexistent/program"},
       "qvprof: cannot run '/nonexistent/program': No such file or directory\n"},
      {{"record", "-o", missing, "--", "sleep", "30"},
       "qvprof: cannot write the session file '" + missing + "': /nonexistent-qvprof-dir: No such file or directory\n"},
      {{"record", "-o", fifo, "--", "sleep", "30"},
       "qvprof: cannot write the session file '" + fifo + "': it is a FIFO, not a regular file\n"},
  };
  const std::string absent = scratch.file("missing.qvprof");
  for (const char* command : {"report", "info", "script"}) {
    cases.push_back(
        {{command, absent}, "qvprof: cannot open session file '" + absent + "': No such file or directory\n"});
    cases.push_back({{command, garbage}, "qvprof: expected element 'SystemIds' but found 'SessionInfo' at line 1\n"});
  }
  for (const auto& c : cases) {
    const auto started = Clock::now();
    const Result result = RunQvprof(c.first);
    EXPECT_EQ(1, result.status) << c.second;
    EXPECT_EQ(c.second, result.err);
    EXPECT_FALSE(FileExists(output)) << "no session is written for a failed recording";
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(20)) << c.second;
  }
  struct stat after {};
  ASSERT_EQ(0, ::lstat(fifo.c_str(), &after));
  EXPECT_EQ(before.st_mode, after.st_mode);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

// The process driver is the default unless qvprofile is installed; whatever
// the kernel drivers report comes with its text, not just an id; the
// notification driver is either installed or advised.
TEST(QvprofDrivers, ListsTheDefaultDriverAndTheKernelDriversProblemsWithTexts) {
  const Result result = RunQvprof({"drivers"});
  EXPECT_EQ(0, result.status) << result.err;
  // An installed qvprofile driver records the whole machine without
  // stopping anything, so it is the default where it is available.
  const bool qvprofile = result.out.find("\n  qvprofile  available ") != std::string::npos ||
                         result.out.find("\n* qvprofile  available ") != std::string::npos;
  const std::string expected = qvprofile ? "qvprofile" : "process";
  EXPECT_NE(std::string::npos, result.out.find("\n* " + expected + " ")) << result.out;
  EXPECT_NE(std::string::npos, result.out.find("\nDefault driver: " + expected + "\n")) << result.out;
  EXPECT_NE(std::string::npos, result.out.find("Environment of the process driver:\n")) << result.out;
  const size_t kernelPart = result.out.find("Environment of the kernel profile driver");
  ASSERT_NE(std::string::npos, kernelPart) << result.out;
  const std::string kernel = result.out.substr(kernelPart);
  // "  error QVProfileDriver...: text" or a warning alike.
  const bool idWithText =
      std::regex_search(kernel, std::regex("(^|\n)  (error|warning) QVProfileDriver[^:\n]*: [^ \n]"));
  EXPECT_TRUE(idWithText || kernel.find("no problems found") != std::string::npos) << kernel;

  const size_t at = result.out.find("\nProcess-exit notification driver ");
  ASSERT_NE(std::string::npos, at) << result.out;
  const std::string section = result.out.substr(at);
  // Either the installed driver, or the stand-in with the advice to install it.
  const bool installed = section.find("qvnotify (notify.driver.linux.qvnotify)") != std::string::npos;
  const bool advised = section.find("unknown (notify.driver.unknown): unavailable, not loaded") != std::string::npos &&
                       section.find("The process exit notification kernel driver is not installed.") != std::string::npos;
  EXPECT_NE(installed, advised) << section;
}

// One block of qvprof script output.
struct Block {
  std::string command;
  long pid = 0;
  long tid = 0;
  double seconds = 0;
  int processor = -1;
  std::string state;    // empty when the session has none
  long cpuMicros = -1;  // -1 when the session has none
  std::vector<std::string> symbols;  // innermost first, offsets removed
};

// Blocks of a header "COMM PID/TID [CPU] SECONDS.MICROSECONDS[ STATE][
// cpu=Nus]", frame lines "<TAB>ADDRESS SYMBOL+0xOFFSET (MODULE)" (or
// "[unknown]" without an offset) and a blank line; a line that fits none of
// them fails the test, and the blocks before it are returned.
std::vector<Block> ParseScript(const std::string& text) {
  static const std::regex header(
      R"(^(.+) (\d+)/(\d+) \[(\d{3})\] (\d+\.\d{6})(?: ([a-z]+))?(?: cpu=(\d+)us)?$)");
  static const std::regex frame(R"(^\t[0-9a-f]+ (.+?)(?:\+0x[0-9a-f]+)? \([^()]*\)$)");
  std::vector<Block> blocks;
  bool inBlock = false;
  std::smatch match;
  for (const std::string& line : Lines(text)) {
    if (inBlock && line.empty()) {
      inBlock = false;
    } else if (!inBlock && std::regex_match(line, match, header)) {
      blocks.push_back({match[1], std::stol(match[2]), std::stol(match[3]), std::stod(match[5]), std::stoi(match[4]),
                        match[6], match[7].matched ? std::stol(match[7]) : -1, {}});
      inBlock = true;
    } else if (inBlock && std::regex_match(line, match, frame)) {
      blocks.back().symbols.push_back(match[1]);
    } else {
      ADD_FAILURE() << (inBlock ? "bad frame line: " : "bad header: ") << line;
      return blocks;
    }
  }
  EXPECT_FALSE(inBlock) << "last block not ended by a blank line";
  return blocks;
}

// Position of `name` in the stack, or -1.
int Position(const Block& block, const std::string& name) {
  const auto at = std::find(block.symbols.begin(), block.symbols.end(), name);
  return at == block.symbols.end() ? -1 : static_cast<int>(at - block.symbols.begin());
}

// The rows of a report: total and self percentages and the node's text.
struct Row {
  double total = 0;
  double self = 0;
  size_t indent = 0;
  std::string label;
};

// Rows are "%6.2f%% %6.2f%% %9.0f %9.0f  " (37 characters), then two
// blanks a level of depth, then the node.
std::vector<Row> ParseReport(const std::string& text) {
  const size_t columns = 37;
  std::vector<Row> rows;
  for (const std::string& line : Lines(text)) {
    Row row;
    unsigned long total = 0;
    unsigned long self = 0;
    if (line.size() <= columns || line.compare(columns - 2, 2, "  ") != 0 ||
        sscanf(line.c_str(), "%lf%% %lf%% %lu %lu", &row.total, &row.self, &total, &self) != 4) {
      continue;
    }
    const size_t label = line.find_first_not_of(' ', columns);
    if (label == std::string::npos) continue;
    row.indent = label - columns;
    row.label = line.substr(label);
    rows.push_back(row);
  }
  return rows;
}

class QvprofRecording : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!TracingAllowed(why)) GTEST_SKIP() << "ptrace is not permitted here: " << why;
  }
  test::ScratchDirectory scratch_{"qvprofrec"};
};

// The call-chain probe (frame pointers, debug information) recorded by
// qvprof itself: "spin" runs main -> outer_a -> middle_a -> inner_a and
// thread_b -> work_b -> leaf_b until it exits. One recording, read by
// every command and checked view against view.
TEST_F(QvprofRecording, TheProbesSessionReadsAlikeInScriptInfoAndEveryReportView) {
  const std::string path = scratch_.file("probe.qvprof");
  const Result record =
      RunQvprof({"record", "--driver", "process", "-o", path, "--", QV_CALL_CHAIN_PROBE_FP_G, "spin", "1.5"});
  ASSERT_EQ(0, record.status) << record.err;
  EXPECT_NE(std::string::npos, record.err.find(" to " + path + " (")) << record.err;
  // The probe ran to its end. Whichever sees it first ends the recording:
  // the sampler, which reports it as a warning with its text, or qvprof's
  // own wait for the program, which gives its exit status; on a loaded
  // machine either can come first, and both say that the target exited.
  const bool warned = record.err.find("qvprof: warning QVSamplerProcessWarningTargetProcessExited: The "
                                      "target process exited.\n") != std::string::npos;
  const bool exitStated = record.err.find(" exited with status 0)\n") != std::string::npos;
  EXPECT_TRUE(warned || exitStated) << record.err;
  EXPECT_EQ(std::string::npos, record.err.find('\r')) << "no progress line when stderr is not a terminal";

  const Result script = RunQvprof({"script", path});
  ASSERT_EQ(0, script.status) << script.err;
  const std::vector<Block> blocks = ParseScript(script.out);
  ASSERT_GT(blocks.size(), 10u);
  size_t mainChains = 0;
  size_t threadBChains = 0;
  long threadB = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const Block& block = blocks[i];
    if (i > 0) {
      EXPECT_LE(blocks[i - 1].seconds, block.seconds) << "block " << i;
    }
    EXPECT_EQ(blocks.front().pid, block.pid);
    // Callers appear outside (after) their callees.
    const int inner = Position(block, "inner_a");
    if (inner >= 0 && Position(block, "middle_a") == inner + 1 && Position(block, "outer_a") == inner + 2 &&
        Position(block, "main") == inner + 3) {
      ++mainChains;
    }
    const int leaf = Position(block, "leaf_b");
    if (leaf >= 0 && Position(block, "work_b") == leaf + 1 && Position(block, "thread_b") == leaf + 2) {
      ++threadBChains;
    }
    if (threadB == 0 && Position(block, "thread_b") >= 0) threadB = block.tid;
  }
  // Both threads spin in their innermost function nearly all the time;
  // a few samples land in the clock calls around the loops.
  EXPECT_GT(mainChains, blocks.size() / 4) << script.out.substr(0, 2000);
  EXPECT_GT(threadBChains, blocks.size() / 4) << script.out.substr(0, 2000);

  // info counts what the script shows.
  const Result info = RunQvprof({"info", path});
  ASSERT_EQ(0, info.status) << info.err;
  EXPECT_NE(std::string::npos, info.out.find("Samples:       " + std::to_string(blocks.size()) + " call stacks\n"))
      << info.out;
  EXPECT_NE(std::string::npos, info.out.find("Stop reason:   target exited\n")) << info.out;
  EXPECT_NE(std::string::npos, info.out.find("Command:       " + std::string(QV_CALL_CHAIN_PROBE_FP_G) + " spin 1.5\n"))
      << info.out;
  EXPECT_NE(std::string::npos, info.out.find("Processes:     1\n")) << info.out;
  EXPECT_NE(std::string::npos, info.out.find("Threads:       2\n")) << info.out;
  EXPECT_NE(std::string::npos, info.out.find("Configuration: Samples are taken")) << info.out;

  const Result report = RunQvprof({"report", path, "--min-percent", "0"});
  ASSERT_EQ(0, report.status) << report.err;
  const std::vector<Row> rows = ParseReport(report.out);
  ASSERT_FALSE(rows.empty()) << report.out;
  double topLevel = 0;
  double selfSum = 0;
  double innerSelf = 0;
  double leafSelf = 0;
  double mainTotal = 0;
  double threadBTotal = 0;
  for (const Row& row : rows) {
    if (row.indent == 0) {
      topLevel += row.total;
    }
    selfSum += row.self;
    EXPECT_LE(row.self, row.total) << row.label;
    if (row.label.compare(0, 8, "inner_a ") == 0) innerSelf += row.self;
    if (row.label.compare(0, 7, "leaf_b ") == 0) leafSelf += row.self;
    if (row.label.compare(0, 5, "main ") == 0) mainTotal += row.total;
    if (row.label.compare(0, 9, "thread_b ") == 0) threadBTotal += row.total;
  }
  // Every sample has one outermost frame and one sampled frame; each row is
  // rounded to 0.01.
  EXPECT_NEAR(100.0, topLevel, 0.01 * rows.size());
  EXPECT_NEAR(100.0, selfSum, 0.01 * rows.size());
  // The report weighs by CPU time, and how the processors were shared
  // between the two threads is the machine's business (under load either can
  // get most of them), so each spinning function is weighed against its own
  // thread.
  EXPECT_GT(mainTotal, 0.0) << report.out;
  EXPECT_GT(threadBTotal, 0.0) << report.out;
  EXPECT_GT(innerSelf, 0.9 * mainTotal) << report.out;
  EXPECT_GT(leafSelf, 0.9 * threadBTotal) << report.out;

  const Result leafView = RunQvprof({"report", path, "--topology", "leaf", "--depth", "1", "--min-percent", "0"});
  ASSERT_EQ(0, leafView.status) << leafView.err;
  const std::vector<Row> leafRows = ParseReport(leafView.out);
  for (const Row& row : leafRows) {
    EXPECT_EQ(0u, row.indent) << "--depth 1 shows one level";
    EXPECT_DOUBLE_EQ(row.total, row.self) << "in the leaf view the first level is the sampled frames";
  }
  ASSERT_FALSE(leafRows.empty());
  EXPECT_TRUE(leafRows[0].label.compare(0, 8, "inner_a ") == 0 || leafRows[0].label.compare(0, 7, "leaf_b ") == 0)
      << leafView.out;

  ASSERT_NE(0, threadB);
  const Result onlyB = RunQvprof({"report", path, "--thread", std::to_string(threadB), "--min-percent", "0"});
  ASSERT_EQ(0, onlyB.status) << onlyB.err;
  EXPECT_NE(std::string::npos, onlyB.out.find("1 thread of 1 process")) << onlyB.out;
  EXPECT_EQ(std::string::npos, onlyB.out.find("inner_a")) << onlyB.out;
  EXPECT_NE(std::string::npos, onlyB.out.find("leaf_b")) << onlyB.out;
  const Result nobody = RunQvprof({"report", path, "--process", "999999999"});
  EXPECT_EQ(2, nobody.status) << "out of range is an argument error: " << nobody.err;
  const Result noMatch = RunQvprof({"report", path, "--thread", std::to_string(blocks.front().pid + 100000)});
  EXPECT_EQ(1, noMatch.status);
  EXPECT_EQ(0u, noMatch.err.find("qvprof: no samples in ")) << noMatch.err;
}

// A sample limit ends the recording; without call stacks every sample
// holds only the frame it was taken in.
TEST_F(QvprofRecording, ASampleLimitEndsTheRecordingAndWithoutCallStacksEverySampleHasOneFrame) {
  const std::string path = scratch_.file("counted.qvprof");
  const Result record = RunQvprof({"record", "--driver", "process", "--sample-limit", "20", "--no-callstacks", "-o",
                                   path, "--", QV_CALL_CHAIN_PROBE_FP_G, "spin", "60"});
  ASSERT_EQ(0, record.status) << record.err;
  const Result info = RunQvprof({"info", path});
  EXPECT_NE(std::string::npos, info.out.find("Stop reason:   sample limit\n")) << info.out;
  const size_t samplesAt = info.out.find("Samples:");
  ASSERT_NE(std::string::npos, samplesAt) << info.out;
  const unsigned long samples = std::strtoul(info.out.c_str() + samplesAt + 8, nullptr, 10);
  // Each tick samples both threads, so the limit may be passed by one tick.
  EXPECT_GE(samples, 20u);
  EXPECT_LE(samples, 21u);
  const std::vector<Block> blocks = ParseScript(RunQvprof({"script", path}).out);
  EXPECT_EQ(samples, blocks.size());
  for (const Block& block : blocks) {
    EXPECT_EQ(1u, block.symbols.size());
  }
}

// The state letters of every thread of a process ("RRS"); empty when the
// process is gone.
std::string TaskStates(pid_t pid) {
  std::string states;
  DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (!tasks) return states;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    states += test::ChildProbe::taskState(pid, static_cast<pid_t>(std::atoi(entry->d_name)));
  }
  closedir(tasks);
  return states;
}

// Whether a user with no rights of its own can run the program: every
// folder above it searchable by others, the program executable by others.
bool OthersCanRun(const std::string& program) {
  std::string path = program;
  for (;;) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) return false;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    path.resize(slash);
  }
}

TEST_F(QvprofRecording, AnotherUsersProcessIsNotPermittedAndSaidSoOnOneLine) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run qvprof as another user";
  if (!OthersCanRun(QV_QVPROF_PATH)) {
    GTEST_SKIP() << "another user cannot reach " << QV_QVPROF_PATH << " (a folder above it is closed to others)";
  }
  test::CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_G, {"spin", "60"});
  ASSERT_TRUE(probe.start());
  // Writable for the unprivileged user, who also writes the output files.
  ASSERT_EQ(0, chmod(scratch_.path().c_str(), 0777));
  const uid_t nobody = 65534;
  test::BackgroundProgram qvprof(
      scratch_, QvprofArgs({"record", "--driver", "process", "-o", scratch_.file("denied.qvprof"), "--pid", std::to_string(probe.pid())}),
      nobody);
  const Result result = qvprof.wait(60.0);
  EXPECT_EQ(1, result.status);
  EXPECT_EQ("qvprof: cannot profile pid " + std::to_string(probe.pid()) +
                ": not permitted to trace it (it belongs to another user)\n",
            result.err);
  EXPECT_FALSE(FileExists(scratch_.file("denied.qvprof")));
  EXPECT_EQ(std::string::npos, TaskStates(probe.pid()).find('t'));
}

// A number after "Duration:" in qvprof info; -1 when missing.
double InfoDuration(const std::string& info) {
  const size_t at = info.find("Duration:");
  return at == std::string::npos ? -1.0 : std::atof(info.c_str() + at + 9);
}

// Waits until qvprof has been seen tracing a thread of `pid` (each tick
// holds the running threads for a moment); the timeout is only an upper
// bound.
bool SeenTracing(pid_t tracer, pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  const std::string line = "TracerPid:\t" + std::to_string(tracer) + "\n";
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    DIR* directory = opendir(tasks.c_str());
    bool seen = false;
    while (directory != nullptr && !seen) {
      const dirent* entry = readdir(directory);
      if (entry == nullptr) break;
      seen = entry->d_name[0] != '.' && ReadFile(tasks + "/" + entry->d_name + "/status").find(line) != std::string::npos;
    }
    if (directory != nullptr) closedir(directory);
    if (seen) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return false;
}


// Sixteen busy threads on two cores: every thread must be stopped for its
// stack, and a loaded machine is slow to schedule them. Both ways of ending
// still end sampling promptly and keep what was taken. The bounds are
// generous upper bounds for a loaded machine; the figure the sampler is
// held to (100 ms) is measured by the sampler benchmark. Either way the
// session is written and the target left running, untraced.
TEST_F(QvprofRecording, TimeLimitAndInterruptEndSamplingOfSixteenBusyThreadsPromptly) {
  struct Case {
    const char* name;
    bool interrupt;  // else the time limit ends it
    const char* stopReason;
  };
  const Case cases[] = {{"time limit", false, "Stop reason:   time limit\n"},
                        {"Ctrl-C in the first tick", true, "Stop reason:   user\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ChildProbe probe(QV_WORKLOAD_PROBE, {"busy", "16", "120"});
    ASSERT_TRUE(probe.start());
    const std::string path = scratch_.file("busy.qvprof");
    std::vector<std::string> args{"record", "--driver", "process", "--no-compress", "-o", path, "--pid", std::to_string(probe.pid())};
    constexpr double kLimit = 1.0;
    if (!c.interrupt) {
      args.insert(args.end(), {"--time-limit", "1"});
    }
    test::BackgroundProgram qvprof(scratch_, QvprofArgs(args));
    Result result;
    if (c.interrupt) {
      // Sent as soon as the first tick holds a thread: the start's own
      // sample is kept, so there is something to write.
      ASSERT_TRUE(SeenTracing(qvprof.pid(), probe.pid()));
      ASSERT_EQ(0, kill(qvprof.pid(), SIGINT));
      const auto sent = Clock::now();
      result = qvprof.wait(60.0);
      EXPECT_LT(Clock::now() - sent, std::chrono::seconds(5));
    } else {
      result = qvprof.wait(60.0);
    }
    ASSERT_EQ(0, result.status) << result.err;
    EXPECT_EQ("<?xml", ReadFile(path).substr(0, 5)) << "--no-compress writes plain XML";
    const Result info = RunQvprof({"info", path});
    EXPECT_NE(std::string::npos, info.out.find(c.stopReason)) << info.out;
    const double duration = InfoDuration(info.out);
    EXPECT_GE(duration, 0.0) << info.out;
    EXPECT_LT(duration, c.interrupt ? 5.0 : kLimit + 1.0) << info.out;
    if (!c.interrupt) {
      EXPECT_GE(duration, kLimit - 0.01) << info.out;
    }
    EXPECT_NE(std::string::npos, result.err.find("qvprof: wrote ")) << result.err;
    // The probe goes on running, and none of its threads is left stopped by
    // a tracer (state 't') or still attached, now or a moment later.
    for (int look = 0; look < 5; ++look) {
      const std::string states = TaskStates(probe.pid());
      ASSERT_FALSE(states.empty()) << "the probe is gone";
      EXPECT_EQ(std::string::npos, states.find('t')) << states;
      const std::string status = ReadFile("/proc/" + std::to_string(probe.pid()) + "/status");
      EXPECT_NE(std::string::npos, status.find("TracerPid:\t0\n")) << status;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

// A program that is gone before the first sample never makes qvprof name
// its own child as a process that does not exist; it says the target
// exited and writes nothing, or (when the start caught it alive) writes
// what it saw.
TEST_F(QvprofRecording, AProgramThatExitsAtOnceIsReportedAsExitedEveryTime) {
  constexpr int kRuns = 20;  // the fault showed two times in three
  int exitedRuns = 0;
  for (int run = 0; run < kRuns; ++run) {
    const std::string path = scratch_.file("true-" + std::to_string(run) + ".qvprof");
    const Result result = RunQvprof({"record", "--driver", "process", "-o", path, "--", "/bin/true"});
    if (result.status == 1) {
      ++exitedRuns;
      EXPECT_EQ("qvprof: no samples were taken: the target exited before a sample; no session written\n",
                result.err)
          << "run " << run;
      EXPECT_FALSE(FileExists(path));
    } else {
      EXPECT_EQ(0, result.status) << result.err;
      EXPECT_NE(std::string::npos, result.err.find("qvprof: wrote ")) << result.err;
    }
  }
  EXPECT_GT(exitedRuns, 0) << "/bin/true outlived the start every time";
}

// The line holding `marker` in the workload's source; 0 when none does.
int SourceLine(const std::string& marker) {
  const std::vector<std::string> lines = Lines(ReadFile(QV_WORKLOAD_PROBE_SOURCE));
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(marker) != std::string::npos) return static_cast<int>(i + 1);
  }
  return 0;
}

// Callers are named where they call: a caller whose call to a function that
// never returns is its last instruction (its return address is the next
// function's first byte), and the line of a call rather than the line after
// it. The session is written compressed, the default.
TEST_F(QvprofRecording, CallersAreNamedAtTheirCallSite) {
  const std::string path = scratch_.file("callsite.qvprof");
  const Result record = RunQvprof({"record", "--driver", "process", "-o", path, "--", QV_WORKLOAD_PROBE, "callsite", "1.5"});
  ASSERT_EQ(0, record.status) << record.err;
  EXPECT_EQ("\x1f\x8b", ReadFile(path).substr(0, 2)) << "sessions are gzip-compressed by default";

  const std::vector<Block> blocks = ParseScript(RunQvprof({"script", path}).out);
  size_t spinning = 0;
  for (const Block& block : blocks) {
    const auto at = std::find(block.symbols.begin(), block.symbols.end(), "spin_until");
    if (at == block.symbols.end() || at + 1 == block.symbols.end()) continue;
    ++spinning;
    EXPECT_EQ("tail_caller", *(at + 1)) << "the noreturn call's caller";
  }
  EXPECT_GT(spinning, 0u);

  const int callLine = SourceLine("line_leaf();  // the call site");
  ASSERT_GT(callLine, 0);
  const Result report = RunQvprof({"report", path, "--granularity", "line", "--min-percent", "0"});
  ASSERT_EQ(0, report.status) << report.err;
  const std::string file = "WorkloadProbe.cpp:";
  bool atCall = false;
  for (const Row& row : ParseReport(report.out)) {
    if (row.label.find(" (line_caller)") == std::string::npos) continue;
    EXPECT_NE(std::string::npos, row.label.find(file + std::to_string(callLine) + " ")) << row.label;
    atCall = atCall || row.label.find(file + std::to_string(callLine) + " ") != std::string::npos;
  }
  EXPECT_TRUE(atCall) << report.out;
}


// One busy worker and four threads that sleep, ended by a time limit:
// weighed by CPU time (the default for a session that has it) the worker
// carries nearly everything; counted by samples the sleepers do. The script
// tells each sample's state, processor and CPU time, and --state keeps only
// the samples in a state.
TEST_F(QvprofRecording, CpuViewWeighsTheBusyWorkerAndTellsEachSamplesState) {
  const std::string path = scratch_.file("sleepers.qvprof");
  const auto started = Clock::now();
  const Result record =
      RunQvprof({"record", "--driver", "process", "--time-limit", "1.5", "-o", path, "--", QV_WORKLOAD_PROBE, "sleepers", "60"});
  ASSERT_EQ(0, record.status) << record.err;
  // Far below the program's 60 s: the limit ended the recording, and the
  // program qvprof started with it.
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(30));
  const Result info = RunQvprof({"info", path});
  EXPECT_NE(std::string::npos, info.out.find("Stop reason:   time limit\n")) << info.out;
  const size_t pidAt = info.out.find("\n  pid ");
  ASSERT_NE(std::string::npos, pidAt) << info.out;
  const pid_t probePid = static_cast<pid_t>(std::atol(info.out.c_str() + pidAt + 7));
  ASSERT_GT(probePid, 0) << info.out;
  EXPECT_EQ(-1, kill(probePid, 0)) << "the probe was left running";

  const auto percentOf = [&](const std::vector<std::string>& extra, const std::string& function) {
    std::vector<std::string> args{"report", path, "--min-percent", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    const Result report = RunQvprof(args);
    EXPECT_EQ(0, report.status) << report.err;
    double total = 0;
    for (const Row& row : ParseReport(report.out)) {
      if (row.label.rfind(function + " ", 0) == 0) total = std::max(total, row.total);
    }
    return total;
  };
  EXPECT_GE(percentOf({}, "work_a"), 90.0);
  EXPECT_GE(percentOf({"--weight", "cpu"}, "work_a"), 90.0);
  // Five threads and the main one waiting for them: the worker is one of six.
  const double bySamples = percentOf({"--weight", "samples"}, "work_a");
  EXPECT_LT(bySamples, 50.0);
  EXPECT_EQ(0.0, percentOf({"--weight", "samples", "--state", "sleeping"}, "work_a"));
  // Sleepers just woken are running too, the more so on a loaded machine.
  const double running = percentOf({"--weight", "samples", "--state", "running"}, "work_a");
  EXPECT_GE(running, 50.0);
  EXPECT_GE(running, bySamples + 20.0);
  EXPECT_EQ(2, RunQvprof({"report", path, "--state", "asleep"}).status);

  const std::vector<Block> blocks = ParseScript(RunQvprof({"script", path}).out);
  const long processors = ::sysconf(_SC_NPROCESSORS_CONF);
  std::map<std::string, std::map<std::string, size_t>> statesOf;  // function -> state -> samples
  std::map<long, long> cpuMicrosOf;                                // thread -> CPU time
  for (const Block& block : blocks) {
    EXPECT_GE(block.processor, 0);
    EXPECT_LT(block.processor, processors);
    ASSERT_GE(block.cpuMicros, 0) << "every sample says its CPU time";
    cpuMicrosOf[block.tid] += block.cpuMicros;
    for (const char* function : {"work_a", "sleeper"}) {
      if (std::find(block.symbols.begin(), block.symbols.end(), function) != block.symbols.end()) {
        ++statesOf[function][block.state];
      }
    }
  }
  EXPECT_GE(statesOf["work_a"]["running"], 9 * (statesOf["work_a"]["sleeping"] + 1)) << "the worker runs";
  // A sleeper woken on a busy machine waits its turn in the run queue, and
  // is rightly seen runnable then: on a 2-core machine at load 10 the four
  // sleepers spent 12 % of their time waiting (their schedstat), profiled
  // or not.
  EXPECT_GE(statesOf["sleeper"]["sleeping"], 3 * (statesOf["sleeper"]["running"] + 1)) << "the sleepers sleep";
  // Time since each thread's previous sample adds up to no more than the
  // recording (1.5 s, with room for the start), whatever the thread.
  for (const auto& entry : cpuMicrosOf) {
    EXPECT_LE(entry.second, 2000000) << "thread " << entry.first;
  }
}

int RunMetrics(const std::vector<std::string>& args, std::string& out, std::string& err) {
  std::ostringstream outStream, errStream;
  const int status = qvprof::MetricsCommand().run(args, outStream, errStream);
  out = outStream.str();
  err = errStream.str();
  return status;
}

size_t CountLines(const std::string& text, const std::string& needle) {
  std::size_t lines = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++lines;
  return lines;
}

TEST(MetricsCommand, ListCsvPassesAndArgumentErrors) {
  std::string out, err;
  ASSERT_EQ(RunMetrics({"--list"}, out, err), qvprof::Command::ExitSuccess);
  // 15 system, 8 process, 6 disk and 4 network metrics.
  EXPECT_EQ(CountLines(out, "\n"), 33u);
  EXPECT_NE(out.find("system.time.user"), std::string::npos);

  // Not a terminal: CSV, one row per metric per pass, after the baseline pass.
  ASSERT_EQ(RunMetrics({"--count", "2", "--interval", "0.1", "--metrics", "system.time.user,system.interrupt_count"},
                       out, err),
            qvprof::Command::ExitSuccess);
  EXPECT_EQ(out.rfind("seconds,entity,metric,view,value\n", 0), 0u);
  EXPECT_EQ(CountLines(out, ",system,system.time.user,DELTA_PERCENT_TIME,"), 2u);
  EXPECT_EQ(CountLines(out, ",system,system.interrupt_count,DELTA_VALUE,"), 2u);

  struct Case {
    std::vector<std::string> args;
    const char* named;
  };
  const Case usage[] = {
      {{"--metrics", "no.such.metric"}, "no.such.metric"},
      {{"--interval", "0.05"}, "--interval"},
      {{"--pid", "abc"}, "--pid"},
      {{"--metrics", "process.time.user"}, "--pid"},
  };
  for (const Case& c : usage) {
    EXPECT_THROW(RunMetrics(c.args, out, err), qvprof::UsageError) << c.named;
  }
}

TEST(MetricsCommand, RecordedMetricsReadBackInFreshProcessesEvenFromARecordingShorterThanTheInterval) {
  test::ScratchDirectory scratch("qvmetrics");
  const std::string session = scratch.file("m.session");
  const std::string qvprof = QV_QVPROF_PATH;
  int status = 0;
  // The target spins for about a second of CPU so that several 0.2 s metric
  // passes fall inside the recording.
  test::RunCommand(qvprof + " record --metrics --metric-interval 0.2 -o " + session +
               " -- /bin/sh -c 'i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done' 2>&1", &status);
  ASSERT_EQ(status, 0);

  const std::string info = test::RunCommand(qvprof + " info " + session, &status);
  ASSERT_EQ(status, 0);
  EXPECT_NE(info.find("Metrics:"), std::string::npos) << info;
  EXPECT_NE(info.find("User Time"), std::string::npos) << info;
  EXPECT_NE(info.find("MIN"), std::string::npos) << info;

  const std::string csv = test::RunCommand(qvprof + " metrics --from " + session, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(csv.rfind("seconds,entity,metric,view,value\n", 0), 0u);
  EXPECT_NE(csv.find(",process.time.user,DELTA_PERCENT_TIME,"), std::string::npos) << csv.substr(0, 400);
  EXPECT_GE(CountLines(csv, ",system,system.memory.used_size,VALUE,"), 2u) << "every pass is kept";

  // About 0.3 s of shell arithmetic against a 30 s interval (long, so that a
  // loaded machine cannot stretch the program past it): the timer takes no
  // pass, so the change can only come from the pass taken when the
  // recording stops.
  const std::string brief = scratch.file("short.session");
  test::RunCommand(qvprof + " record --metrics --metric-interval 30 --metric-ids system.time.user -o " + brief +
               " -- /bin/sh -c 'i=0; while [ $i -lt 100000 ]; do i=$((i+1)); done' 2>&1", &status);
  ASSERT_EQ(status, 0);
  const std::string briefCsv = test::RunCommand(qvprof + " metrics --from " + brief, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(CountLines(briefCsv, ",system,system.time.user,DELTA_PERCENT_TIME,"), 1u) << briefCsv;
}

// qvprof with the words of `args`, which hold no blanks of their own.
Result RunQvprofWords(const std::string& args) {
  std::istringstream stream(args);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return RunQvprof(words);
}

bool Mounted(const std::string& path) {
  return ReadFile("/proc/self/mounts").find(" " + path + " ") != std::string::npos;
}

// "qvprof driver install|uninstall" run as a user runs it, into a temporary
// root: what install puts there, the init script it writes starting and
// stopping the driver, and uninstall taking every file away again.
TEST(QvprofDriver, MistakesAreRefusedBeforeAnythingIsWritten) {
  test::ScratchDirectory scratch("qvdrivercmd");
  const struct {
    std::string args;
    int status;
    const char* says;
  } cases[] = {
      {"driver", 2, "install|uninstall"},
      {"driver frob", 2, "unknown action 'frob'"},
      {"driver install --root relative/dir", 2, "--root: give an absolute directory"},
      {"driver install --root " + scratch.path() + " --mount relative", 2, "--mount: give an absolute directory"},
      {"driver install --root " + scratch.path() + " --daemon /nonexistent/qvprofiled", 1, "no qvprofiled to install"},
  };
  for (const auto& c : cases) {
    const Result run = RunQvprofWords(c.args);
    EXPECT_EQ(run.status, c.status) << c.args;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << ": " << run.err;
  }
  EXPECT_FALSE(FileExists(scratch.file("etc")));
  EXPECT_FALSE(FileExists(scratch.file("usr")));
}

// What "qvprof drivers" says before and after the install is read the way
// the library finds a driver: modprobe's answer and the init script. The
// stand-in modprobe finds a module exactly when the root holds its
// modprobe.d line.
TEST(QvprofDriver, InstallsWhatTheInitScriptsRunDriversListsItAndUninstallRemovesIt) {
  test::ScratchDirectory scratch("qvdrivercmd");
  const std::string root = scratch.path();
  const std::string modprobe = scratch.file("modprobe");
  FileWriteString(modprobe, "#!/bin/sh\nfor name; do :; done\ntest -f " + root + "/etc/modprobe.d/$name.conf\n");
  ::chmod(modprobe.c_str(), 0755);
  QVDriverModule::setModprobePath(modprobe);
  auto notifyLine = [&]() {
    QVSystemPaths::ScopedRoot paths(root);
    QVNotifyDriverLinux driver(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY, "/dev/qvnotify");
    return driver.isAvailable();
  };
  EXPECT_FALSE(notifyLine());
  // Each driver: its mount option, where the test serves it, the entry
  // that shows it served.
  const struct {
    std::string name, option, mount, ready;
  } drivers[] = {
      {"qvprofile", "--mount", scratch.file("dev/qvprofile"), "cpu_type"},
      {"qvnotify", "--notify-mount", scratch.file("dev/qvnotify"), "dcookies"},
  };
  std::string where = " --root " + root;
  for (const auto& d : drivers) where += " " + d.option + " " + d.mount;
  ASSERT_EQ(RunQvprofWords("driver install" + where).status, 0);
  const std::string daemon = scratch.file("usr/local/sbin/qvprofiled");
  EXPECT_EQ(FileModeFlags(daemon) & 0777, 0755u);
  for (const auto& d : drivers) {
    SCOPED_TRACE(d.name);
    const std::string init = scratch.file("etc/init.d/" + d.name);
    EXPECT_EQ(FileModeFlags(init) & 0777, 0755u);
    std::string line, script;
    ASSERT_TRUE(FileReadString(scratch.file("etc/modprobe.d/" + d.name + ".conf"), line));
    EXPECT_EQ(line, "install " + d.name + " " + init + " start\n");
    ASSERT_TRUE(FileReadString(init, script));
    for (const std::string& text : {"DAEMON=\"" + daemon + "\"", "ROOT=\"" + d.mount + "\"",
                                    "PIDFILE=\"" + root + "/run/" + d.name + ".pid\""}) {
      EXPECT_NE(script.find(text), std::string::npos) << text;
    }
  }
  // A second install replaces the files in place.
  EXPECT_EQ(RunQvprofWords("driver install" + where).status, 0);
  EXPECT_TRUE(notifyLine());
  {
    // The command's own listing, from a registry filled after the install.
    QVSystemPaths::ScopedRoot paths(root);
    std::ostringstream out;
    qvprof::DriversCommand::writeDrivers(out);
    EXPECT_NE(out.str().find("Process-exit notification driver qvnotify (notify.driver.linux.qvnotify): available"),
              std::string::npos)
        << out.str();
    // The profile drivers' lines: name, then whether it is available.
    std::istringstream lines(out.str());
    std::string line;
    bool oprofile = false;
    while (std::getline(lines, line)) {
      std::istringstream words(line.substr(std::min<size_t>(2, line.size())));
      std::string name, state;
      words >> name >> state;
      if (name == "oprofile") oprofile = state == "available";
    }
    EXPECT_TRUE(oprofile) << out.str();
  }

  bool started = access("/dev/fuse", R_OK | W_OK) == 0;
  for (const auto& d : drivers) {
    const std::string init = scratch.file("etc/init.d/" + d.name);
    if (!started || std::system((init + " start >/dev/null 2>&1").c_str()) != 0) {
      started = false;
      break;
    }
    EXPECT_TRUE(Mounted(d.mount)) << d.name;
    // Each mount serves its own layout.
    EXPECT_TRUE(FileExists(d.mount + "/" + d.ready)) << d.name;
  }
  // Uninstall stops the running drivers before removing their files.
  ASSERT_EQ(RunQvprofWords("driver uninstall --root " + root).status, 0);
  for (const auto& d : drivers) {
    EXPECT_FALSE(Mounted(d.mount)) << d.name;
    for (const std::string& path : {scratch.file("etc/init.d/" + d.name),
                                    scratch.file("etc/modprobe.d/" + d.name + ".conf"),
                                    scratch.file("run/" + d.name + ".pid")}) {
      EXPECT_FALSE(FileExists(path)) << path;
    }
  }
  EXPECT_FALSE(FileExists(daemon));
  EXPECT_FALSE(FileExists(scratch.file("run")));
  EXPECT_FALSE(notifyLine());
  QVDriverModule::setModprobePath("");
  EXPECT_EQ(RunQvprofWords("driver uninstall --root " + root).status, 0);  // nothing left to remove
  if (!started) GTEST_SKIP() << "the drivers could not be mounted here (FUSE refused); files checked only";
}

// "qvprof record --pin-cpufreq" and "qvprof cpufreq" on fixture /sys trees:
// each command runs in a process of its own, as a user runs it, with the
// fixture as its root; the fixture's /proc is the machine's, so recordings
// sample real programs.
using test::FakeCpuFreqTree;

const char* const kFound = "powersave 800000 2400000";
const char* const kPinned = "performance 2400000 2400000";

bool Contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

// "governor min max" of one processor.
std::string Settings(const FakeCpuFreqTree& tree, unsigned index) {
  return tree.read(index, "scaling_governor") + " " + tree.read(index, "scaling_min_freq") + " " +
         tree.read(index, "scaling_max_freq");
}

// A fixture machine with two processors offering frequency scaling, and
// files for the output of the commands run on it.
struct Machine {
  explicit Machine(bool withCpufreq = true) : tree(2) {
    if (withCpufreq) {
      tree.addProcessor(0);
      tree.addProcessor(1);
    }
    tree.linkRealSystemTrees();
  }
  std::string state() const { return tree.root() + "/run/qvprof/cpufreq.state"; }
  // What a killed run leaves: its state file, with the settings it found.
  void leaveState(const std::string& lines) const {
    ASSERT_EQ(::mkdir((tree.root() + "/run").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((tree.root() + "/run/qvprof").c_str(), 0755), 0);
    std::ofstream(state()) << "cpufreq-state 1\n" << lines;
  }
  std::string file(const std::string& name) const { return scratch.file(name); }

  // Starts the command in a child process under the fixture root; its
  // streams go to files named after `label`.
  pid_t start(qvprof::Command& command, const std::vector<std::string>& args, const std::string& label) const {
    const std::string outPath = file(label + ".out");
    const std::string errPath = file(label + ".err");
    const std::string root = tree.root();
    return test::StartChild([&command, args, outPath, errPath, root] {
      QVSystemPaths::ScopedRoot scoped(root);
      std::ofstream out(outPath);
      std::ofstream err(errPath);
      try {
        return command.run(args, out, err);
      } catch (const std::exception& error) {
        err << "qvprof: " << error.what() << '\n';
        return 1;
      }
    });
  }
  int run(qvprof::Command& command, const std::vector<std::string>& args, const std::string& label) const {
    return test::WaitForChild(start(command, args, label));
  }
  std::string out(const std::string& label) const { return ReadFile(file(label + ".out")); }
  std::string err(const std::string& label) const { return ReadFile(file(label + ".err")); }

  FakeCpuFreqTree tree;
  test::ScratchDirectory scratch{"qvcpufreqcli"};
};

// Waits (at most 20 s, an upper bound only) until check() holds.
bool WaitUntil(const std::function<bool()>& check) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!check()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A target that notes the governor it runs under, then spins long enough to
// be sampled (about half a second of shell arithmetic).
std::vector<std::string> BusyTarget(const Machine& machine) {
  return {"/bin/sh", "-c",
          "cat " + machine.tree.path(0, "scaling_governor") + " > " + machine.file("seen") + " 2>/dev/null" +
              "; i=0; while [ $i -lt 150000 ]; do i=$((i+1)); done"};
}

// However a pinned recording ends (its program's end, an error after
// pinning, Ctrl-C) it puts back the settings it found, and first what an
// earlier, killed run left pinned; a killed one leaves them to the next
// process. Without frequency scaling it says so once and records anyway.
TEST(CpuFreqCommandTest, EveryWayARecordingEndsRestoresWhatItPinnedAndAKilledOneIsRestoredByTheNextProcess) {
  struct Case {
    const char* name;
    bool withCpufreq;
    bool leftover;                    // an earlier run left the processors pinned
    int signal;                       // sent to qvprof once pinned and the program started; 0: none
    std::vector<std::string> target;  // after "-o FILE"; empty: the busy target, recorded to its end
    const char* said;
  };
  const std::vector<std::string> sleeper = {"--", "/bin/sh", "-c", "echo $$ > \"$0\"; exec sleep 30"};
  const Case cases[] = {
      {"pinned and restored", true, false, 0, {}, "qvprof: pinned 2 processors at 2.4 GHz for the recording"},
      {"an earlier run's pinning is put back first", true, true, 0, {},
       "qvprof: restored the CPU frequency settings of 2 processors an earlier qvprof left pinned"},
      {"no cpufreq: said once, recorded anyway", false, false, 0, {},
       "qvprof: no CPU frequency scaling on this machine (no /sys/devices/system/cpu/cpu*/cpufreq); recording "
       "without pinning"},
      {"Ctrl-C", true, false, SIGINT, sleeper, ""},
      // Pins first, then finds there is no such process: an error after pinning.
      {"an error", true, false, 0, {"--pid", "4194303"}, ""},
      {"SIGKILL", true, false, SIGKILL, sleeper, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine machine(c.withCpufreq);
    if (c.leftover) {
      for (unsigned cpu : {0u, 1u}) {
        machine.tree.write(cpu, "scaling_governor", "performance\n");
        machine.tree.write(cpu, "scaling_min_freq", "2400000\n");
      }
      machine.leaveState("cpu 0 governor powersave min 800000 max 2400000 user 0\n"
                         "cpu 1 governor powersave min 800000 max 2400000 user 0\n");
    }
    const std::string session = machine.file("s.session");
    // The sleeper notes its pid in the file named by its $0.
    const std::string targetPid = machine.file("target.pid");
    std::vector<std::string> args = {"--pin-cpufreq", "-o", session};
    const std::vector<std::string> target = c.target.empty() ? BusyTarget(machine) : c.target;
    if (c.target.empty()) args.push_back("--");
    args.insert(args.end(), target.begin(), target.end());
    if (c.target == sleeper) args.push_back(targetPid);
    qvprof::RecordCommand record;
    const pid_t pid = machine.start(record, args, "record");
    if (c.signal != 0) {
      // Pinned, and the program started (so that there is one to end).
      ASSERT_TRUE(WaitUntil([&] {
        return FileExists(machine.state()) && Settings(machine.tree, 1) == kPinned && !ReadFile(targetPid).empty();
      }));
      ::kill(pid, c.signal);
    }
    const int exit = test::WaitForChild(pid);
    const std::string err = machine.err("record");
    EXPECT_TRUE(Contains(err, c.said)) << err;
    if (c.target.empty()) {
      EXPECT_EQ(exit, 0) << err;
      EXPECT_TRUE(FileExists(session));
      if (c.withCpufreq) {
        EXPECT_EQ(ReadFile(machine.file("seen")), "performance") << "the program ran pinned";
      }
    }
    if (c.signal == SIGKILL) {
      EXPECT_EQ(exit, 128 + SIGKILL);
      // The launched program outlives its killed recorder; it is ours to end.
      const pid_t launched = static_cast<pid_t>(std::atoi(ReadFile(targetPid).c_str()));
      if (launched > 0) ::kill(launched, SIGKILL);
      EXPECT_EQ(Settings(machine.tree, 0), kPinned);
      EXPECT_TRUE(FileExists(machine.state()));
      qvprof::CpuFreqCommand status;
      EXPECT_EQ(machine.run(status, {}, "status"), 0);
      EXPECT_TRUE(Contains(machine.out("status"), "run 'qvprof cpufreq --restore'")) << machine.out("status");
      qvprof::CpuFreqCommand restore;
      EXPECT_EQ(machine.run(restore, {"--restore"}, "restore"), 0) << machine.err("restore");
      EXPECT_TRUE(Contains(machine.err("restore"), "restored the CPU frequency settings of 2 processors"))
          << machine.err("restore");
    }
    if (c.withCpufreq) {
      EXPECT_EQ(Settings(machine.tree, 0), kFound) << err;
      EXPECT_EQ(Settings(machine.tree, 1), kFound);
    }
    EXPECT_FALSE(FileExists(machine.state())) << "nothing is left to restore";
  }
}

TEST(CpuFreqCommandTest, StatusShowsEachProcessorAndRestoreSaysWhatItDidOrKeepsTheStateWhenItCannotWrite) {
  Machine machine;
  machine.tree.write(1, "scaling_governor", "performance\n");
  qvprof::CpuFreqCommand command;
  ASSERT_EQ(machine.run(command, {}, "status"), 0) << machine.err("status");
  const std::string expected =
      "CPU  GOVERNOR     MIN      MAX      CURRENT  GOVERNORS              FREQUENCIES\n"
      "0    powersave    800 MHz  2.4 GHz  1.6 GHz  performance powersave  800 MHz to 2.4 GHz (3 steps)\n"
      "1    performance  800 MHz  2.4 GHz  1.6 GHz  performance powersave  800 MHz to 2.4 GHz (3 steps)\n";
  EXPECT_EQ(machine.out("status"), expected);

  ASSERT_EQ(machine.run(command, {"--restore"}, "nothing"), 0);
  EXPECT_EQ(machine.out("nothing"), "Nothing to restore: " + machine.state() + " does not exist.\n");

  Machine bare(false);
  ASSERT_EQ(bare.run(command, {}, "bare"), 0);
  EXPECT_EQ(bare.out("bare"),
            "No CPU frequency scaling on this machine: no /sys/devices/system/cpu/cpuN/cpufreq directory for any "
            "of its 2 processors.\n");

  // A restore that cannot write keeps the state for later.
  machine.tree.write(0, "scaling_governor", "performance\n");
  machine.leaveState("cpu 0 governor powersave min 800000 max 2400000 user 0\n");
  ASSERT_EQ(::chmod(machine.tree.path(0, "scaling_governor").c_str(), 0444), 0);
  const std::string errPath = machine.file("denied.err");
  const std::string root = machine.tree.root();
  const int status = test::RunInChild([&] {
    if (::geteuid() == 0 && !test::DropCapabilities()) return 3;
    QVSystemPaths::ScopedRoot scoped(root);
    std::ostringstream out;
    std::ofstream err(errPath);
    return command.run({"--restore"}, out, err);
  });
  EXPECT_EQ(status, 1);
  const std::string err = ReadFile(errPath);
  EXPECT_TRUE(Contains(err, "qvprof: cpufreq: CPU0: failed to switch to 'powersave' governor")) << err;
  EXPECT_TRUE(Contains(err, "they stay in " + machine.state() + " for 'qvprof cpufreq --restore'")) << err;
  EXPECT_TRUE(FileExists(machine.state()));
}

}  // namespace
}  // namespace Quorvel
