#include <execinfo.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <typeinfo>
#include <unordered_set>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "archive/QVArchiver.h"
#include "archivers/QVCallStackTenureArchiver.h"
#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "base/QVException.h"
#include "config/QVSessionConfig.h"
#include "Linux/process/QVProcessLinux.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "samples/QVAbstractCallFrame.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"
#include "support/ArchiveRoundTrip.h"
#include "support/ElfProbes.h"
#include "support/TestSupport.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"
#include "time/QVTime.h"

namespace Quorvel {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Set by the round-trip test for the copy of this program it starts: the
// directory holding the session file and what the reader must find in it.
constexpr char kChildDirectoryVariable[] = "QV_SESSION_FILE_TEST_CHILD_DIR";
constexpr char kSessionFileName[] = "recorded.qvs";
constexpr char kExpectationFileName[] = "expected.txt";
constexpr char kChildRanFileName[] = "child-ran";

using test::ReadWholeFile;
using test::WriteWholeFile;

size_t CountOccurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
    ++count;
  }
  return count;
}

std::vector<std::string> DirectoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// ---------------------------------------------------------------------------
// A session's content as text: everything a reader of the file must get
// back, with every frame resolved to its symbol and module. The recording
// process writes it from the live objects, the reading process from what it
// decoded; the two texts must be equal.

std::string NameOrUnknown(const std::string& name) { return name.empty() ? "<unnamed>" : name; }

// Frames resolve through their stack's own symbol source, or through
// `process` when one is given (system-call stacks carry no source of their
// own, so they are resolved against the sampled process the way a viewer
// would).
void DescribeFrames(std::ostream& os, const QVAbstractCallStack& stack, const QVProcess* process = nullptr) {
  for (int index = 0; index < stack.size(); ++index) {
    const QVAbstractCallFrame* frame = stack.frameAtIndex(index);
    if (frame == nullptr) {
      os << "  <missing frame " << index << ">\n";
      continue;
    }
    QVRange<uint64_t> range;
    std::shared_ptr<QVSymbol> symbol;
    std::shared_ptr<QVModule> module;
    if (process != nullptr) {
      QVRange<unsigned long> found;
      symbol = process->symbolForCallFrame(*frame, found);
      range = QVRange<uint64_t>(found.location, found.length);
      if (const std::shared_ptr<QVSection>& section = process->sectionForCallFrame(*frame, found)) {
        module = QVModule::moduleWithId(section->sectionId().asModuleId());
      }
    } else {
      symbol = frame->symbol(range);
      module = frame->module();
    }
    os << "  0x" << std::hex << frame->address() << std::dec << " "
       << (symbol ? NameOrUnknown(symbol->name()) : "?") << " "
       << (symbol ? std::to_string(frame->address() - range.location) : "-") << " "
       << (module ? module->name() : "?") << "\n";
  }
}

void DescribeContext(std::ostream& os, const QVContext& context) {
  os << "tid " << context.threadId().nativeIdentifier() << " cpu " << context.processorIndex() << " state "
     << context.state();
}

template <class Id>
std::vector<Id> SortedIds(const std::unordered_set<Id>& ids) {
  std::vector<Id> sorted(ids.begin(), ids.end());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

std::string DescribeProfile(const QVSessionProfile& profile) {
  std::ostringstream os;
  os << "begin " << profile.beginTime() << " end " << profile.endTime() << " notes '" << profile.notes() << "'\n";
  os << "config " << profile.config() << "\n";
  for (const auto& property : profile.properties()) {
    os << "property " << property.first << "=" << property.second << "\n";
  }
  if (const auto data = profile.callStackData()) {
    os << "call stacks " << data->size() << " ticks " << data->beginTick() << ".." << data->endTick() << "\n";
    for (const auto& sample : data->samples()) {
      os << "stack ";
      DescribeContext(os, sample->context());
      os << " ticks " << sample->beginTick() << ".." << sample->endTick() << " frames " << sample->size() << "\n";
      DescribeFrames(os, *sample);
    }
  }
  if (const auto data = profile.threadTenureData()) {
    os << "thread tenures " << data->size() << "\n";
    for (const auto& tenure : data->samples()) {
      os << "tenure ";
      DescribeContext(os, tenure->context());
      os << " ticks " << tenure->beginTick() << ".." << tenure->endTick() << " reason " << tenure->endReason()
         << " priority " << tenure->priority() << "\n";
    }
  }
  if (const auto data = profile.systemCallData()) {
    os << "system calls " << data->size() << "\n";
    for (const auto& call : data->samples()) {
      os << "syscall ";
      DescribeContext(os, call->context());
      os << " number " << call->number() << " result 0x" << std::hex << call->result() << " args";
      for (uint64_t argument : call->arguments()) {
        os << " 0x" << argument;
      }
      os << std::dec << "\n";
      DescribeFrames(os, *call, QVProcess::processWithId(call->context().asProcessId(), false, false).get());
    }
  }
  for (const QVProcessId& id : SortedIds(profile.processIds())) {
    const std::shared_ptr<QVProcess>& process = QVProcess::processWithId(id, false, false);
    os << "process " << id.nativeIdentifier() << " "
       << (process ? process->name() + " " + process->executablePath() : "<missing>") << "\n";
  }
  for (const QVThreadId& id : SortedIds(profile.threadIds())) {
    const std::shared_ptr<QVThread>& thread = QVThread::threadWithId(id, false, false);
    os << "thread " << id.nativeIdentifier() << " " << (thread ? thread->name() : "<missing>") << "\n";
  }
  for (const QVModuleId& id : SortedIds(profile.moduleIds())) {
    if (id.architecture() == QVArchitectureUnknown) {
      continue;  // not written to files
    }
    const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(id);
    os << "module " << (module ? module->name() + " " + module->path() : "<missing>") << " sections "
       << (module ? module->sections().size() : 0) << "\n";
  }
  return os.str();
}

// ---------------------------------------------------------------------------
// A recording of this very process: real modules, real symbols.

pid_t CurrentTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// The frames above these helpers are gtest's and the C library's; the
// helpers themselves give named frames of this program. noinline and the
// empty asm keep the compiler from folding or tail-calling them away.
__attribute__((noinline)) std::vector<uint64_t> CaptureStackHere() {
  void* frames[64];
  const int count = ::backtrace(frames, 64);
  std::vector<uint64_t> addresses;
  for (int i = 0; i < count; ++i) {
    addresses.push_back(reinterpret_cast<uint64_t>(frames[i]));
  }
  asm volatile("" ::: "memory");
  return addresses;
}

__attribute__((noinline)) std::vector<uint64_t> CaptureStackThroughOneCaller() {
  std::vector<uint64_t> addresses = CaptureStackHere();
  asm volatile("" ::: "memory");
  return addresses;
}

__attribute__((noinline)) std::vector<uint64_t> CaptureStackThroughTwoCallers() {
  std::vector<uint64_t> addresses = CaptureStackThroughOneCaller();
  asm volatile("" ::: "memory");
  return addresses;
}

struct OwnRecording {
  std::shared_ptr<QVSessionProfile> profile;
  size_t distinctContexts = 0;
  size_t contextReferences = 0;  // samples of all kinds
};

// A thread of this process that captures its stack and stays alive until
// the recording has found it.
class WorkerThread {
 public:
  WorkerThread()
      : thread_([this] {
          std::vector<uint64_t> captured = CaptureStackThroughTwoCallers();
          std::unique_lock<std::mutex> lock(mutex_);
          addresses_ = std::move(captured);
          tid_ = CurrentTid();
          changed_.notify_all();
          changed_.wait(lock, [this] { return released_; });
        }) {}
  ~WorkerThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  void waitUntilCaptured() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return tid_ != 0; });
  }
  pid_t tid() const { return tid_; }
  const std::vector<uint64_t>& addresses() const { return addresses_; }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<uint64_t> addresses_;
  pid_t tid_ = 0;
  bool released_ = false;
  std::thread thread_;
};

OwnRecording RecordOwnProcess() {
  WorkerThread worker;
  worker.waitUntilCaptured();

  const QVProcessId processId = QVProcessLinux::updateProcessList(static_cast<int>(::getpid()), true);
  if (!processId.isValid()) {
    throw QVException("this process could not be registered", __LINE__, __FILE__);
  }
  std::unordered_set<QVThreadId> threadIds;
  QVThread::getThreadIdsForProcess(threadIds, processId, false, true, false);
  QVThreadId mainThread;
  QVThreadId workerThread;
  for (const QVThreadId& id : threadIds) {
    if (id.nativeIdentifier() == CurrentTid()) {
      mainThread = id;
    } else if (id.nativeIdentifier() == worker.tid()) {
      workerThread = id;
    }
  }
  if (!mainThread.isValid() || !workerThread.isValid()) {
    throw QVException("the recording threads were not discovered", __LINE__, __FILE__);
  }

  const QVContext mainOnCpu0 = QVContext::uniqueContext(mainThread, 0, QVContext::StateUser);
  const QVContext mainOnCpu1 = QVContext::uniqueContext(mainThread, 1, QVContext::StateUser);
  const QVContext workerOnCpu1 = QVContext::uniqueContext(workerThread, 1, QVContext::StateUser);

  const std::vector<uint64_t> deep = CaptureStackThroughTwoCallers();
  const std::vector<uint64_t> shallow = CaptureStackThroughOneCaller();

  // Ticks as a recorder takes them: each record a millisecond after the
  // last, lasting `length` ticks.
  uint64_t tick = TimeNanos();
  const uint64_t firstTick = tick;
  struct Span {
    uint64_t begin;
    uint64_t end;
  };
  auto next = [&tick](uint64_t length) {
    tick += 1000000;
    return Span{tick, tick + length};
  };

  auto stacks = std::make_shared<QVUniqueCallStackTenureArchiver>();
  size_t samples = 0;
  for (int round = 0; round < 3; ++round) {
    Span span = next(250);
    stacks->archive(mainOnCpu0, span.begin, span.end, deep);
    span = next(10);
    stacks->archive(mainOnCpu1, span.begin, span.end, shallow);
    span = next(0);
    stacks->archive(workerOnCpu1, span.begin, span.end, worker.addresses());
    samples += 3;
  }
  Span span = next(0);
  stacks->archive(mainOnCpu0, span.begin, span.end, {});  // a sample without frames
  ++samples;
  auto callStackData = std::make_shared<QVSessionDataCallStackTenures>(stacks);
  callStackData->setBeginTick(firstTick);
  callStackData->setEndTick(next(0).begin);
  callStackData->setBeginTime(boost::posix_time::time_from_string("2026-12-05 10:00:00.000000"));
  callStackData->setEndTime(boost::posix_time::time_from_string("2026-12-05 10:00:01.500000"));
  callStackData->mutableProperties().setString("origin", "own process");

  auto tenures = std::make_shared<QVThreadTenureArchiver>();
  span = next(500);
  tenures->archive(mainOnCpu0, span.begin, span.end, QVAbstractThreadTenure::EndReasonPreempted, 120);
  span = next(700);
  tenures->archive(workerOnCpu1, span.begin, span.end, QVAbstractThreadTenure::EndReasonSleep, -5);
  span = next(900);
  tenures->archive(mainOnCpu1, span.begin, span.end, QVAbstractThreadTenure::EndReasonExit, 0);
  samples += 3;
  auto tenureData = std::make_shared<QVSessionDataThreadTenures>(tenures);

  auto calls = std::make_shared<QVSystemCallTenureArchiver>();
  span = next(3000);
  calls->archive(mainOnCpu0, span.begin, span.end, 1 /* write */, shallow);
  calls->samples().back()->setArguments({1, 0x7ffdeadbeef0, 42});
  calls->samples().back()->setResult(42);
  span = next(100);
  calls->archive(workerOnCpu1, span.begin, span.end, 39 /* getpid */, worker.addresses());
  samples += 2;
  auto callData = std::make_shared<QVSessionDataSystemCallTenures>(calls);

  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer);
  config->timeLimitEnable = true;
  config->timeLimit = 12.5;
  config->schedTraceConfig->setEnabled(true);
  config->syscallTraceConfig->setEnabled(true);
  OwnRecording recording;
  recording.profile = std::make_shared<QVSessionProfile>(
      config, boost::posix_time::time_from_string("2026-12-05 09:59:59.250000"),
      boost::posix_time::time_from_string("2026-12-05 10:00:02.125000"), false, true);
  recording.profile->setCallStackData(callStackData);
  recording.profile->setThreadTenureData(tenureData);
  recording.profile->setSystemCallData(callData);
  recording.profile->mutableProperties().setString(QVSessionProfile::KeyProfileDriverName, "test driver");
  recording.profile->mutableProperties().setUnsigned(QVSessionProfile::KeyProfileCpuBufferSize, 4096);
  recording.profile->setNotes("recorded by the session file test\nsecond line & <markup>");
  recording.distinctContexts = 3;
  recording.contextReferences = samples;
  return recording;
}

class QVSessionFileTest : public ::testing::Test {
 protected:
  // The recording is made once: discovering the process and reading its
  // modules' symbols is the slow part, and every test only reads it.
  static void SetUpTestSuite() {
    if (std::getenv(kChildDirectoryVariable) == nullptr) {
      recording_ = new OwnRecording(RecordOwnProcess());
    }
  }
  static void TearDownTestSuite() {
    delete recording_;
    recording_ = nullptr;
  }

  static const QVSessionProfile& profile() { return *recording_->profile; }

  test::ScratchDirectory scratch_{"qvsessionfile"};
  static OwnRecording* recording_;
};

OwnRecording* QVSessionFileTest::recording_ = nullptr;

// The call stacks of a profile, frame for frame, in an archiver of the
// plain kind that older recorders used.
template <class Archiver>
std::shared_ptr<Archiver> CopyOfCallStacks(const QVSessionProfile& profile) {
  auto copy = std::make_shared<Archiver>();
  for (const auto& sample : profile.callStackData()->samples()) {
    std::vector<uint64_t> addresses;
    sample->getFrames(addresses);
    copy->archive(sample->context(), sample->beginTick(), sample->endTick(), addresses);
  }
  return copy;
}

// ---------------------------------------------------------------------------
// Reading in a fresh process

TEST_F(QVSessionFileTest, AFreshProcessReadsTheSameSamplesProcessesThreadsModulesAndSymbols) {
  const std::string expected = DescribeProfile(profile());
  // The recording must really resolve: this program's own helpers, and
  // frames of the C library below main.
  ASSERT_NE(std::string::npos, expected.find("CaptureStackHere")) << expected;
  ASSERT_NE(std::string::npos, expected.find("CaptureStackThroughTwoCallers")) << expected;
  ASSERT_NE(std::string::npos, expected.find(" libc.so")) << expected;

  QVSessionFile::write(profile(), scratch_.file(kSessionFileName));
  WriteWholeFile(scratch_.file(kExpectationFileName), expected);

  // This program again with only the reading test selected; its exit
  // status and the marker it leaves say whether it ran and passed.
  EXPECT_EQ(0, test::RunThisProgramAgain("QVSessionFileChildProcess.*",
                                         std::string(kChildDirectoryVariable) + "=" + scratch_.path()));
  EXPECT_TRUE(std::filesystem::exists(scratch_.file(kChildRanFileName))) << "the reading process did not run";
}

// Runs only in the process started by the test above, whose registries are
// as empty as any new reader's.
TEST(QVSessionFileChildProcess, ReadsTheFileOfTheRecordingProcess) {
  const char* directory = std::getenv(kChildDirectoryVariable);
  if (directory == nullptr) {
    GTEST_SKIP() << "reads back the file of another test in a process of its own";
  }
  const std::string base(directory);
  WriteWholeFile(base + "/" + kChildRanFileName, "ran\n");

  std::vector<std::shared_ptr<QVModule>> registered;
  QVModule::getRegisteredModules(registered);
  ASSERT_TRUE(registered.empty()) << "a fresh process has no modules before it reads";

  const std::shared_ptr<QVSessionProfile> profile = QVSessionFile::read(base + "/" + kSessionFileName);
  ASSERT_TRUE(profile);
  EXPECT_EQ(ReadWholeFile(base + "/" + kExpectationFileName), DescribeProfile(*profile));

  // Every answer came from the file: the modules and sections are the plain
  // decoded kinds, which never open an image, and the processes are the
  // decoded ones, not live processes found again.
  for (const QVModuleId& id : profile->moduleIds()) {
    const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(id);
    ASSERT_TRUE(module) << id;
    EXPECT_TRUE(typeid(*module) == typeid(QVModule)) << module->name();
    for (const std::shared_ptr<QVSection>& section : module->sections()) {
      EXPECT_TRUE(typeid(*section) == typeid(QVSection)) << module->name() << " " << section->name();
    }
  }
  for (const QVProcessId& id : profile->processIds()) {
    const std::shared_ptr<QVProcess>& process = QVProcess::processWithId(id, false, false);
    ASSERT_TRUE(process) << id;
    EXPECT_TRUE(typeid(*process) == typeid(QVProcess)) << process->name();
  }
  // Section ids are not written; they are those of the decoded modules.
  EXPECT_FALSE(profile->sectionIds().empty());
}

// ---------------------------------------------------------------------------
// The document

TEST_F(QVSessionFileTest, ContextsAreWrittenOnceAndReferencedByEverySample) {
  const std::string text = test::ArchiveToString(profile(), QVSessionFile::RootKey);
  EXPECT_EQ(recording_->distinctContexts, CountOccurrences(text, "<Context objid="));
  EXPECT_EQ(recording_->contextReferences, CountOccurrences(text, "<Context objref="));
  EXPECT_NE(std::string::npos, text.find("xsi:schemaLocation=\"VeskFileFormat.xsd\""));
  // The order of the top-level parts.
  const std::vector<std::string> parts = {"<SystemIds>",   "<ProcessIds>", "<ThreadIds>",   "<Contexts>",
                                          "<ModuleIds>",   "<SymbolIds>",  "<SourceFileIds>", "<SourceFiles",
                                          "<Symbols>",     "<Modules>",    "<Systems>",     "<Processes>",
                                          "<Threads>",     "<SessionInfo>", "<SessionData>", "<CallStackData",
                                          "<UniqueCallStacksV2>", "<ThreadTenureData", "<Tenures>",
                                          "<SysCallData", "<SysCalls>"};
  size_t previous = 0;
  for (const std::string& part : parts) {
    const size_t at = text.find(part, previous);
    ASSERT_NE(std::string::npos, at) << part << " missing or out of order";
    previous = at;
  }
}

TEST_F(QVSessionFileTest, WritesAreRepeatableAndReadBackInTheRecordingProcessKeepsTheLiveObjects) {
  const QVProcessId processId = *profile().processIds().begin();
  const std::shared_ptr<QVProcess> live = QVProcess::processWithId(processId, false, false);
  ASSERT_TRUE(live);
  const std::string first = scratch_.file("first.qvs");
  const std::string packed = scratch_.file("packed.qvs");
  QVSessionFile::write(profile(), first);
  QVSessionFile::write(profile(), scratch_.file("second.qvs"));
  QVSessionFile::write(profile(), packed, true);
  const std::string bytes = ReadWholeFile(first);
  EXPECT_FALSE(bytes.empty());
  EXPECT_TRUE(bytes == ReadWholeFile(scratch_.file("second.qvs")));
  // The gzip magic (RFC 1952).
  const std::string packedBytes = ReadWholeFile(packed);
  ASSERT_GE(packedBytes.size(), 2u);
  EXPECT_EQ("\x1f\x8b", packedBytes.substr(0, 2));
  EXPECT_LT(packedBytes.size(), bytes.size());

  for (const std::string& path : {first, packed}) {
    const std::shared_ptr<QVSessionProfile> read = QVSessionFile::read(path);
    EXPECT_EQ(live, QVProcess::processWithId(processId, false, false)) << path;
    EXPECT_EQ(DescribeProfile(profile()), DescribeProfile(*read)) << path;
  }
}

// ---------------------------------------------------------------------------
// Optional parts and older files

// The configuration, times, properties and notes of a profile are read
// back in the fresh-process test; here what is left out.
TEST_F(QVSessionFileTest, AProfileWithoutSessionDataOrNotesReadsBackNull) {
  QVSessionProfile empty(nullptr, boost::posix_time::time_from_string("2026-01-02 03:04:05.678901"),
                         boost::posix_time::ptime(boost::posix_time::not_a_date_time), false, true);
  const std::string path = scratch_.file("empty.qvs");
  QVSessionFile::write(empty, path);
  EXPECT_NE(std::string::npos, ReadWholeFile(path).find("<SessionData/>"));

  const std::shared_ptr<QVSessionProfile> read = QVSessionFile::read(path);
  EXPECT_FALSE(read->callStackData());
  EXPECT_FALSE(read->threadTenureData());
  EXPECT_FALSE(read->systemCallData());
  EXPECT_FALSE(read->config());
  EXPECT_EQ(empty.beginTime(), read->beginTime());
  EXPECT_TRUE(read->endTime().is_not_a_date_time());

  // Notes may be missing, as older files have none.
  empty.setNotes("to be removed");
  WriteWholeFile(scratch_.file("old.qvs"), test::ReplaceOnce(test::ArchiveToString(empty, QVSessionFile::RootKey),
                                                             "<Notes>to be removed</Notes>", ""));
  EXPECT_EQ("", QVSessionFile::read(scratch_.file("old.qvs"))->notes());
}

TEST_F(QVSessionFileTest, CallStacksOfAPlainArchiverReadBackIntoAPlainArchiver) {
  // Older recorders kept one address list per sample under "CallStacks".
  auto plain = CopyOfCallStacks<QVCallStackTenureArchiver>(profile());
  QVSessionProfile old(nullptr, boost::posix_time::ptime(), boost::posix_time::ptime(), false, true);
  old.setCallStackData(std::make_shared<QVSessionDataCallStackTenures>(plain));
  const std::string path = scratch_.file("plain-stacks.qvs");
  QVSessionFile::write(old, path);
  const std::string text = ReadWholeFile(path);
  EXPECT_EQ(std::string::npos, text.find("UniqueCallStacksV2"));
  EXPECT_NE(std::string::npos, text.find("<CallStacks>"));

  const std::shared_ptr<QVSessionProfile> read = QVSessionFile::read(path);
  ASSERT_TRUE(read->callStackData());
  EXPECT_NE(nullptr, dynamic_cast<const QVCallStackTenureArchiver*>(read->callStackData()->archiver().get()));
  // The copy was made frame for frame from the shared-frame samples, whose
  // walks the archivers' test compares with plain ones.
  EXPECT_EQ(DescribeProfile(old), DescribeProfile(*read));
}

// ---------------------------------------------------------------------------
// Bad files

TEST_F(QVSessionFileTest, DanglingReferencesTruncationsAndForeignFilesAreReported) {
  std::string text = test::ArchiveToString(profile(), QVSessionFile::RootKey);
  const size_t stacks = text.find("<UniqueCallStacksV2>");
  ASSERT_NE(std::string::npos, stacks);
  const std::string reference = "<Context objref=\"";
  const size_t at = text.find(reference, stacks);
  ASSERT_NE(std::string::npos, at);
  const size_t number = at + reference.size();
  text.replace(number, text.find('"', number) - number, "987654321");
  WriteWholeFile(scratch_.file("dangling.qvs"), text);

  EXPECT_THAT(test::ThrownQVException([&] { QVSessionFile::read(scratch_.file("dangling.qvs")); }),
              StartsWith("no mapping for objref for element 'Context' @ "));

  // Truncated files, plain and compressed, raise rather than crash.
  for (bool compress : {false, true}) {
    const std::string whole = scratch_.file(compress ? "whole.qvs.gz" : "whole.qvs");
    QVSessionFile::write(profile(), whole, compress);
    const std::string bytes = ReadWholeFile(whole);
    // Cut inside the header, inside the identifiers, half way, and just
    // before the end (the root's end tag or the gzip trailer).
    for (size_t length : {size_t{10}, bytes.size() / 10, bytes.size() / 2, bytes.size() - 5}) {
      const std::string cut = scratch_.file("cut.qvs");
      WriteWholeFile(cut, bytes.substr(0, length));
      EXPECT_THROW(QVSessionFile::read(cut), QVException) << (compress ? "gzip " : "plain ") << length;
    }
  }

  // Missing files, directories and foreign documents.
  EXPECT_THAT(test::ThrownQVException([&] { QVSessionFile::read(scratch_.file("absent.qvs")); }),
              HasSubstr("absent.qvs"));
  EXPECT_THROW(QVSessionFile::read(scratch_.path()), QVException) << "a directory";
  WriteWholeFile(scratch_.file("empty.qvs"), "");
  EXPECT_THROW(QVSessionFile::read(scratch_.file("empty.qvs")), QVException);
  WriteWholeFile(scratch_.file("config.xml"), "<?xml version=\"1.0\"?>\n<ConfigProfile/>\n");
  EXPECT_THROW(QVSessionFile::read(scratch_.file("config.xml")), QVException);
  WriteWholeFile(scratch_.file("binary.qvs"), std::string("\x1f\x8b\x08\x00garbage", 12));
  EXPECT_THROW(QVSessionFile::read(scratch_.file("binary.qvs")), QVException);
}

// ---------------------------------------------------------------------------
// Saving safely

// Fails part way through writing its samples, as a full disk or a crash of
// the encoder would.
class FailingCallStackArchiver : public QVCallStackTenureArchiver {
 public:
  void encodeWithArchiver(QVArchiver* archiver) const override {
    QVCallStackTenureArchiver::encodeWithArchiver(archiver);
    throw QVException("encoder gave up", __LINE__, __FILE__);
  }
};

TEST_F(QVSessionFileTest, FailedSavesKeepTheEarlierFileAndReplacedFilesKeepTheirMode) {
  const std::string path = scratch_.file("session.qvs");
  QVSessionFile::write(profile(), path);
  const std::string before = ReadWholeFile(path);

  auto failing = CopyOfCallStacks<FailingCallStackArchiver>(profile());
  QVSessionProfile broken(nullptr, boost::posix_time::ptime(), boost::posix_time::ptime(), false, true);
  broken.setCallStackData(std::make_shared<QVSessionDataCallStackTenures>(failing));
  const std::string failure = test::ThrownQVException([&] { QVSessionFile::write(broken, path); });
  EXPECT_THAT(failure, HasSubstr(path));
  EXPECT_THAT(failure, HasSubstr("encoder gave up"));
  EXPECT_TRUE(before == ReadWholeFile(path));
  EXPECT_EQ(std::vector<std::string>{"session.qvs"}, DirectoryEntries(scratch_.path()));

  // A save into a missing directory names the path.
  const std::string nowhere = scratch_.file("no/such/dir/session.qvs");
  EXPECT_THAT(test::ThrownQVException([&] { QVSessionFile::write(profile(), nowhere); }), HasSubstr(nowhere));

  // A replaced file keeps its mode.
  const std::string shared = scratch_.file("shared.qvs");
  QVSessionFile::write(profile(), shared);
  ASSERT_EQ(0, ::chmod(shared.c_str(), 0640));
  QVSessionFile::write(profile(), shared);
  struct stat status;
  ASSERT_EQ(0, ::stat(shared.c_str(), &status));
  EXPECT_EQ(0640u, status.st_mode & 07777);
}

TEST_F(QVSessionFileTest, ASaveIntoAReadOnlyDirectoryFailsAndKeepsTheEarlierFile) {
  const std::string directory = scratch_.file("locked");
  ASSERT_EQ(0, ::mkdir(directory.c_str(), 0755));
  const std::string locked = directory + "/session.qvs";
  QVSessionFile::write(profile(), locked);
  const std::string lockedBefore = ReadWholeFile(locked);
  ASSERT_EQ(0, ::chmod(directory.c_str(), 0555));
  if (::access(directory.c_str(), W_OK) == 0) {
    ::chmod(directory.c_str(), 0755);
    GTEST_SKIP() << "this user may write into read-only directories (privileged), so the save cannot fail";
  }
  QVSessionProfile other(nullptr, boost::posix_time::ptime(), boost::posix_time::ptime(), false, true);
  EXPECT_THROW(QVSessionFile::write(other, locked), QVException);
  ::chmod(directory.c_str(), 0755);
  EXPECT_TRUE(lockedBefore == ReadWholeFile(locked));
  EXPECT_EQ(std::vector<std::string>{"session.qvs"}, DirectoryEntries(directory));
}

// ---------------------------------------------------------------------------
// Identifiers and session data

TEST_F(QVSessionFileTest, IdentifiersComeFromEveryKindOfSessionDataAndOnlyHitSymbolsAreWritten) {
  const QVSessionProfile& recorded = profile();
  // Two threads of one process on one system, three contexts.
  EXPECT_EQ(1u, recorded.systemIds().size());
  EXPECT_EQ(1u, recorded.processIds().size());
  EXPECT_EQ(2u, recorded.threadIds().size());
  EXPECT_EQ(3u, recorded.contexts().size());

  // Thread tenures alone still name the threads, but no symbols.
  QVSessionProfile tenuresOnly(nullptr, boost::posix_time::ptime(), boost::posix_time::ptime(), false, true);
  tenuresOnly.setThreadTenureData(recorded.threadTenureData());
  EXPECT_EQ(recorded.threadIds(), tenuresOnly.threadIds());
  EXPECT_TRUE(tenuresOnly.symbolIds().empty());
  // New data makes the next question gather again.
  tenuresOnly.setCallStackData(recorded.callStackData());
  EXPECT_FALSE(tenuresOnly.symbolIds().empty());

  // Every sample frame of this recording lies in some symbol of a module
  // with hundreds more; the file carries the hit ones only.
  std::unordered_set<QVSymbolId> hit;
  auto collect = [&hit](const QVAbstractCallStack& stack) {
    for (int index = 0; index < stack.size(); ++index) {
      QVRange<uint64_t> range;
      if (const std::shared_ptr<QVSymbol>& symbol = stack.frameAtIndex(index)->symbol(range)) {
        hit.insert(symbol->symbolId());
      }
    }
  };
  for (const auto& sample : profile().callStackData()->samples()) {
    collect(*sample);
  }
  for (const auto& call : profile().systemCallData()->samples()) {
    collect(*call);
  }
  EXPECT_FALSE(hit.empty());
  EXPECT_EQ(hit, profile().symbolIds());

  // The innermost frame of the first sample lies in this program's
  // CaptureStackHere: its section, module and source file come along.
  QVRange<uint64_t> range;
  const QVAbstractCallFrame* frame = profile().callStackData()->samples()[0]->frameAtIndex(0);
  const std::shared_ptr<QVSection>& section = frame->section(range);
  ASSERT_TRUE(section);
  EXPECT_EQ(1u, recorded.sectionIds().count(section->sectionId()));
  EXPECT_EQ(1u, recorded.moduleIds().count(section->sectionId().asModuleId()));
  EXPECT_TRUE(std::any_of(recorded.sourceFileIds().begin(), recorded.sourceFileIds().end(), [](const QVFileId& file) {
    return file.path().find("QVSessionFileTest.cpp") != std::string::npos;
  }));

  // The plain archiver walks every sample's frames, the shared-frame one
  // each tree once: both find the same.
  QVSampleIdentifiers shared;
  profile().callStackData()->archiver()->getIdentifiers(shared);
  QVSampleIdentifiers plain;
  CopyOfCallStacks<QVCallStackTenureArchiver>(profile())->getIdentifiers(plain);
  EXPECT_TRUE(shared == plain);
}

TEST(QVSessionDataTest, TicksAndTimesMapLinearlyAndDataWithoutAnArchiverRoundTrips) {
  QVSessionDataThreadTenures data(std::make_shared<QVThreadTenureArchiver>());
  // Unknown span: no meaning, and no division by zero.
  EXPECT_EQ(0.0, data.durationTime());
  EXPECT_EQ(0.0, data.timeForTick(5));
  EXPECT_EQ(0u, data.tickForTime(1.0));

  data.setBeginTick(1000);
  data.setEndTick(1000 + 2000000000ull);  // two seconds of nanosecond ticks...
  data.setBeginTime(boost::posix_time::time_from_string("2026-12-05 10:00:00.000000"));
  data.setEndTime(boost::posix_time::time_from_string("2026-12-05 10:00:04.000000"));  // ...over four seconds
  EXPECT_EQ(2000000000ull, data.durationTicks());
  EXPECT_DOUBLE_EQ(4.0, data.durationTime());
  EXPECT_DOUBLE_EQ(data.durationTime(), data.timeForTick(data.durationTicks()));
  EXPECT_DOUBLE_EQ(1.0, data.timeForTick(500000000ull));
  EXPECT_EQ(0u, data.tickForTime(0.0));
  EXPECT_EQ(500000000ull, data.tickForTime(1.0));
  EXPECT_EQ(0u, data.tickForTime(-3.0));
  EXPECT_EQ(0u, data.size());
  EXPECT_TRUE(data.samples().empty());

  data.setEndTick(1000);
  EXPECT_EQ(0.0, data.timeForTick(5));

  // Data without an archiver is empty and round-trips.
  QVSessionDataSystemCallTenures calls;
  EXPECT_EQ(0u, calls.size());
  EXPECT_TRUE(calls.samples().empty());
  calls.setBeginTick(7);
  calls.setEndTick(0x1234567890ull);
  calls.mutableProperties().setFloat("rate", 0.5);
  const std::string document = test::ArchiveToString(calls, "SysCallData");
  EXPECT_NE(std::string::npos, document.find("<EndTimeStamp>0x1234567890</EndTimeStamp>"));
  const auto read = test::UnarchiveFromString<QVSessionDataSystemCallTenures>(document, "SysCallData");
  EXPECT_EQ(7u, read->beginTick());
  EXPECT_EQ(0x1234567890ull, read->endTick());
  EXPECT_EQ(calls.properties(), read->properties());
  EXPECT_FALSE(read->archiver());
}

}  // namespace
}  // namespace Quorvel
