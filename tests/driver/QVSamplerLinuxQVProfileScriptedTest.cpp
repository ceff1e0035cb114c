// The driver-buffer sampler recording through the user-space driver in its
// scripted mode: each case plays prepared stream units through the real read
// path (FUSE device, reading thread, chunk files, decoding) and checks the
// notifications, the log and the samples that come out.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "Linux/driver/QVSamplerLinuxQVProfile.h"
#include "base/QVErrorManager.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "notify/QVNotificationIds.h"
#include "ranges/QVRange.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionProfile.h"
#include "support/MountedDriver.h"
#include "support/TestSupport.h"
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"

using namespace Quorvel;
using Quorvel::test::CaptureLog;
using Quorvel::test::MountedDriver;
using Quorvel::test::WriteDriverScript;

namespace {

using Units = std::vector<QVDriverEventWriter>;

struct Thread {
    uint64_t pid, tid;
};

// No process has this id: the kernel's pid_max is at most 2^22.
constexpr uint64_t kUnknownId = 4194303;

}  // namespace

// A user function of this program that a kernel-mode stack was entered from;
// its name must come back through the thread's process.
extern "C" __attribute__((noinline)) int qvKernelEntryCaller(int n) { return n * 3 + 1; }

namespace {

/// One sample taken in the kernel: two kernel frames, then the two user
/// frames the stream states after leaving kernel mode.
QVDriverEventWriter kernelSampleUnit(const Thread& thread, uint64_t userCaller) {
    QVDriverEventWriter w(true);
    w.control(OP_CPU_SWITCH_CODE, 0);
    w.control(OP_CTX_SWITCH_CODE, thread.tid, thread.pid);
    w.timestamp(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE, 1000);
    w.control(OP_KERNEL_ENTER_SWITCH_CODE);
    w.control(OP_TRACE_BEGIN_CODE);
    w.entry(0xffffffff81000100, 0);
    w.entry(0xffffffff81000200, 0);
    w.control(OP_KERNEL_EXIT_SWITCH_CODE);
    w.entry(userCaller, 0);
    w.entry(0x402000, 0);
    w.control(OP_TRACE_END_CODE);
    w.timestamp(OP_QV_SAMPLE_END_TIMESTAMP_CODE, 2000);
    return w;
}

uint64_t userCallerAddress() { return reinterpret_cast<uint64_t>(&qvKernelEntryCaller) + 1; }

void expectKernelThenUserFrames(const QVSessionProfile& profile) {
    ASSERT_TRUE(profile.callStackData());
    size_t seen = 0;
    for (const auto& sample : profile.callStackData()->samples()) {
        if (!sample || sample->context().state() != QVContext::StateSupervisor) continue;
        ++seen;
        ASSERT_EQ(sample->size(), 4);
        const std::vector<uint64_t> expected = {0xffffffff81000100, 0xffffffff81000200, userCallerAddress(), 0x402000};
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(sample->frameAtIndex(int(i))->address(), expected[i]) << i;
        QVRange<uint64_t> range;
        const std::shared_ptr<QVSymbol>& symbol = sample->frameAtIndex(2)->symbol(range);
        ASSERT_TRUE(symbol) << "the user caller of a kernel-mode sample did not resolve";
        EXPECT_EQ(symbol->name(), "qvKernelEntryCaller");
    }
    EXPECT_EQ(seen, 1u);
}

/// One sample of the thread on a processor: 21 words.
QVDriverEventWriter sampleUnit(const Thread& thread, uint64_t cpu = 0) {
    QVDriverEventWriter w(true);
    w.control(OP_CPU_SWITCH_CODE, cpu);
    w.control(OP_CTX_SWITCH_CODE, thread.tid, thread.pid);
    w.timestamp(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE, 1000);
    w.control(OP_TRACE_BEGIN_CODE);
    w.entry(0x401000, 0);
    w.entry(0x402000, 0);
    w.control(OP_TRACE_END_CODE);
    w.timestamp(OP_QV_SAMPLE_END_TIMESTAMP_CODE, 2000);
    return w;
}

Units samples(const Thread& thread, int count) {
    Units units;
    for (int i = 0; i < count; ++i) units.push_back(sampleUnit(thread));
    return units;
}

Units plus(Units units, const QVDriverEventWriter& unit) {
    units.push_back(unit);
    return units;
}

struct Case {
    const char* name;
    std::function<Units(const Thread&)> script;
    std::vector<std::string> daemonOptions;
    std::function<void(QVSessionConfig&)> configure;
    uint64_t expectedSamples;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::vector<std::string> logLines;
    bool stopsItself = false;
    std::function<void(const QVSessionProfile&)> inspect = nullptr;
};

std::vector<Case> cases() {
    const unsigned processors = LocalMachineProcessorCount();
    return {
        {"three whole samples", [](const Thread& t) { return samples(t, 3); }, {}, nullptr, 3, {}, {}, {}},
        {"a sample taken in the kernel keeps its user callers",
         [](const Thread& t) { return Units{kernelSampleUnit(t, userCallerAddress())}; }, {}, nullptr, 1, {}, {}, {},
         false, expectKernelThenUserFrames},
        {"nine records are too few",
         [](const Thread& t) {
             QVDriverEventWriter w(true);  // 4 + 3 + 2 words
             w.control(OP_CTX_SWITCH_CODE, t.tid, t.pid);
             w.control(OP_CPU_SWITCH_CODE, 0);
             w.entry(0x401000, 0);
             return Units{w};
         },
         {}, nullptr, 0, {QVSamplerErrorInsufficientSamples}, {}, {}},
        {"ten records are enough",
         [](const Thread& t) {
             QVDriverEventWriter w(true);  // 4 + 2 + 2 + 2 words
             w.control(OP_CTX_SWITCH_CODE, t.tid, t.pid);
             w.entry(0x401000, 0);
             w.entry(0x401100, 0);
             w.control(OP_MODULE_LOADED_CODE);
             return Units{w};
         },
         {}, nullptr, 2, {}, {}, {}},
        {"a context switch cut off",
         [](const Thread& t) {
             QVDriverEventWriter cut(true);
             cut.word(QVDriverEscapeMarker(true));
             cut.word(OP_CTX_SWITCH_CODE);
             cut.word(t.tid);
             return plus(samples(t, 2), cut);
         },
         {}, nullptr, 2, {}, {QVSamplerWarningBufferCorrupt}, {"buffer corrupted - unterminated CTX_SWITCH_CODE"}},
        {"an unknown escape code",
         [](const Thread& t) {
             QVDriverEventWriter unknown(true);
             unknown.control(12);
             return plus(samples(t, 2), unknown);
         },
         {}, nullptr, 2, {}, {QVSamplerWarningBufferCorrupt}, {"buffer corrupted (unknown escape code 12)", "unknown escape code 0xc"}},
        {"a thread nobody knows",
         [](const Thread& t) { return plus(samples(Thread{kUnknownId, kUnknownId}, 2), sampleUnit(t)); },
         {}, nullptr, 1, {}, {}, {"OP_CTX_SWITCH_CODE - unknown thread - tid:4194303 tgid:4194303"}},
        {"a processor index one past the last",
         [processors](const Thread& t) { return Units{sampleUnit(t, processors)}; },
         {}, nullptr, 1, {}, {},
         {"invalid cpu index in CPU_SWITCH_CODE, using cpu index 0 as default: " + std::to_string(processors)}},
        {"an adapted interval",
         [](const Thread& t) {
             QVDriverEventWriter adapt(true);
             adapt.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, 4);
             Units units = samples(t, 4);
             units.push_back(adapt);
             for (const auto& unit : samples(t, 2)) units.push_back(unit);
             return units;
         },
         {},
         [](QVSessionConfig& c) {
             c.adaptiveEnable = true;
             c.adaptiveThreshold = 1000000;
         },
         // The 4 samples at the finer interval thin to 1 (every 4th), then 2.
         3, {}, {QVSamplerWarningSamplingIntervalChanged}, {}},
        {"the event buffer overflowed", [](const Thread& t) { return samples(t, 2); }, {"--lost=7"}, nullptr, 2, {},
         {QVSamplerWarningBufferOverflow}, {"buffer has overflowed - 7 records have been lost"}},
        {"processor 0's buffer overflowed", [](const Thread& t) { return samples(t, 2); }, {"--cpu0-lost=3"}, nullptr,
         2, {}, {QVSamplerWarningBufferOverflow}, {"CPU0 buffer has overflowed - 3 records have been lost."}},
        {"the sample limit stops",
         [](const Thread& t) { return samples(t, 6); }, {},
         [](QVSessionConfig& c) {
             c.sampleLimitEnable = true;
             c.sampleLimit = 2;
             c.sampleLimitAction = QVSessionConfig::SampleLimitActionStop;
         },
         6, {}, {}, {}, true},
    };
}

bool waitUntilInactive(const QVSessionRecorder& recorder) {
    // An upper bound only: the reader stops the recording as soon as it has
    // taken the chunk past the limit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (recorder.isActive()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

TEST(QVSamplerLinuxQVProfileScripted, EveryStreamFaultAndNoticeReachesTheUser) {
    const Thread self{uint64_t(getpid()), uint64_t(syscall(SYS_gettid))};
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::string script = WriteDriverScript(c.script(self));
        std::vector<std::string> options = {"--script=" + script};
        options.insert(options.end(), c.daemonOptions.begin(), c.daemonOptions.end());
        MountedDriver mount(QV_PROFILED_PATH, options);
        if (!mount.mounted()) {
            FileRemove(script);
            GTEST_SKIP() << mount.why();
        }
        auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS);
        config->adaptiveEnable = false;
        if (c.configure) c.configure(*config);
        auto driver = std::make_shared<QVProfileDriverLinuxQVProfile>(
            QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, mount.root());
        // Chunk files go to a directory of the case's own, to be counted.
        test::ScratchDirectory chunks("qvchunks");
        test::ScopedEnvironment tmpdir("TMPDIR", chunks.path().c_str());
        QVSamplerLinuxQVProfile sampler(config, driver);
        std::shared_ptr<QVSessionProfile> profile;
        const std::string log = CaptureLog([&] {
            ASSERT_TRUE(sampler.start());
            if (c.stopsItself) {
                ASSERT_TRUE(waitUntilInactive(sampler));
                EXPECT_EQ(sampler.stopReason(), QVSessionRecorder::StopReasonSampleLimit);
            } else {
                sampler.stop();
            }
            profile = sampler.collect();
        });
        FileRemove(script);
        ASSERT_TRUE(profile);
        QVErrorManager ids;
        sampler.getSessionErrors(ids, false);
        for (const std::string& id : c.errors) EXPECT_TRUE(ids.testErrorId(id)) << id;
        for (const std::string& id : c.warnings) EXPECT_TRUE(ids.testWarningId(id)) << id;
        EXPECT_EQ(ids.errorCount(), c.errors.size());
        EXPECT_EQ(ids.warningCount(), c.warnings.size());
        for (const std::string& line : c.logLines) EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        EXPECT_EQ(sampler.sampleCount(), c.expectedSamples);
        if (c.expectedSamples > 0) {
            EXPECT_TRUE(profile->callStackData());
        }
        if (c.inspect) c.inspect(*profile);
        if (c.configure && sampler.config()->adaptiveEnable) {
            // The saved configuration shows the interval the driver ended with.
            EXPECT_DOUBLE_EQ(sampler.config()->timerConfig->interval, 0.004);
        }
        EXPECT_FALSE(sampler.reading());
        // Collected chunks are deleted, corrupt ones kept for inspection.
        const bool corrupt = ids.testWarningId(QVSamplerWarningBufferCorrupt);
        EXPECT_EQ(test::RunCommand({"sh", "-c", "test $(ls " + chunks.path() + " | wc -l) = " + (corrupt ? "1" : "0")}), 0);
    }
}
