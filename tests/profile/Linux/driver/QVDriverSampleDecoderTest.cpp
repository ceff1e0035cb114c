#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverSampleDecoder.h"

using namespace Quorvel;

namespace {

// Threads the tests treat as registered: tgid 100 with tids 100 and 101.
bool knownThread(uint64_t tgid, uint64_t tid) { return tgid == 100 && (tid == 100 || tid == 101); }

struct Decoded {
    std::vector<QVDriverSample> samples;
    std::vector<std::string> log;
    bool complete = true;
    uint32_t adaptFactor = 1;
};

Decoded decode(const std::vector<QVDriverEventWriter>& buffers, unsigned processors = 2, uint64_t interval = 10) {
    Decoded run;
    QVDriverSampleDecoder decoder(
        processors, interval, [&run](QVDriverSampleDecoder::Level, const std::string& line) { run.log.push_back(line); },
        knownThread);
    for (const QVDriverEventWriter& w : buffers) {
        QVDriverBufferCursorMemory cursor(w.bytes().data(), w.recordCount(), w.is64());
        uint64_t processed = 0;
        run.complete = decoder.decode(cursor, w.is64(), processed) && run.complete;
    }
    decoder.finish();
    run.samples = decoder.samples();
    run.adaptFactor = decoder.adaptFactor();
    return run;
}

bool logged(const Decoded& run, const std::string& text) {
    for (const std::string& line : run.log)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

// One sample the way the driver writes it: stamps around a call-stack record.
void sample(QVDriverEventWriter& w, uint64_t end, std::vector<uint64_t> stack, bool kernel = false) {
    w.timestamp(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE, end - 10);
    if (kernel) w.control(OP_KERNEL_ENTER_SWITCH_CODE);
    w.control(OP_TRACE_BEGIN_CODE);
    for (uint64_t pc : stack) w.entry(pc, 0);
    w.control(OP_TRACE_END_CODE);
    if (kernel) w.control(OP_KERNEL_EXIT_SWITCH_CODE);
    w.timestamp(OP_QV_SAMPLE_END_TIMESTAMP_CODE, end);
}

}  // namespace

TEST(QVDriverSampleDecoder, DecodesCallStacksWithThreadProcessorModeAndTime) {
    for (bool is64 : {true, false}) {
        QVDriverEventWriter w(is64);
        w.control(OP_CPU_SWITCH_CODE, 1);
        w.control(OP_CTX_SWITCH_CODE, 101, 100);
        sample(w, 1000, {0x10, 0x20, 0x30});
        sample(w, 1010, {0xc0, 0x40}, true);
        Decoded run = decode({w});
        ASSERT_EQ(run.samples.size(), 2u) << is64;
        EXPECT_EQ(run.samples[0].addresses, (std::vector<uint64_t>{0x10, 0x20, 0x30}));
        EXPECT_EQ(run.samples[0].tid, 101u);
        EXPECT_EQ(run.samples[0].tgid, 100u);
        EXPECT_EQ(run.samples[0].processor, 1u);
        EXPECT_FALSE(run.samples[0].kernel);
        EXPECT_EQ(run.samples[0].beginTimestamp, 990u);
        EXPECT_EQ(run.samples[0].endTimestamp, 1000u);
        EXPECT_TRUE(run.samples[1].kernel);
        EXPECT_TRUE(run.complete);
    }
}

TEST(QVDriverSampleDecoder, EdgeCasesOfTheStream) {
    struct Case {
        const char* name;
        void (*build)(QVDriverEventWriter&);
        size_t samples;
        bool complete;
        const char* logLine;
    };
    const Case cases[] = {
        {"unknown thread drops samples until the next switch",
         [](QVDriverEventWriter& w) {
             w.control(OP_CTX_SWITCH_CODE, 7, 7);
             sample(w, 100, {1});
             sample(w, 110, {2});
             w.control(OP_CTX_SWITCH_CODE, 100, 100);
             sample(w, 120, {3});
         },
         1, true, "skipping sample with invalid thread id (tgid=7 tid=7)"},
        {"samples before any context switch have no thread", [](QVDriverEventWriter& w) { sample(w, 100, {1}); }, 0,
         true, "skipping sample with invalid thread id"},
        {"processor index equal to the count becomes 0",
         [](QVDriverEventWriter& w) {
             w.control(OP_CPU_SWITCH_CODE, 2);
             w.control(OP_CTX_SWITCH_CODE, 100, 100);
             sample(w, 100, {1});
         },
         1, true, "invalid cpu index in CPU_SWITCH_CODE, using cpu index 0 as default: 2"},
        {"unknown code stops the buffer, earlier samples stay",
         [](QVDriverEventWriter& w) {
             w.control(OP_CTX_SWITCH_CODE, 100, 100);
             sample(w, 100, {1});
             w.control(12);
             sample(w, 110, {2});
         },
         1, false, "unknown escape code 0xc"},
        {"escape marker at the very end",
         [](QVDriverEventWriter& w) {
             w.control(OP_CTX_SWITCH_CODE, 100, 100);
             sample(w, 100, {1});
             w.word(w.is64() ? ~uint64_t(0) : 0xffffffffu);
         },
         1, false, "] unterminated escape code sequence"},
        {"context switch cut short",
         [](QVDriverEventWriter& w) {
             w.control(OP_CTX_SWITCH_CODE);
             w.word(100);
         },
         0, false, "] OP_CTX_SWITCH_CODE: unterminated sequence"},
        {"begin later than end",
         [](QVDriverEventWriter& w) {
             w.control(OP_CTX_SWITCH_CODE, 100, 100);
             w.timestamp(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE, 500);
             w.entry(1, 0);
             w.timestamp(OP_QV_SAMPLE_END_TIMESTAMP_CODE, 400);
         },
         1, true, "sample start timestamp is later than sample stop time stamp"},
        {"plain entries without stamps or traces",
         [](QVDriverEventWriter& w) {
             w.control(OP_CTX_SWITCH_CODE, 100, 100);
             w.entry(1, 0);
             w.entry(2, 0);
             w.entry(3, 0);
         },
         3, true, ""},
    };
    for (const Case& c : cases) {
        QVDriverEventWriter w(true);
        c.build(w);
        Decoded run = decode({w});
        EXPECT_EQ(run.samples.size(), c.samples) << c.name;
        EXPECT_EQ(run.complete, c.complete) << c.name;
        EXPECT_TRUE(!*c.logLine || logged(run, c.logLine)) << c.name;
    }
}

TEST(QVDriverSampleDecoder, AdaptThinsEarlierSamplesToOneInterval) {
    // Eight samples at the fine interval on one processor, then the driver
    // doubles the interval and four more arrive: 4 + 4 remain.
    QVDriverEventWriter w(true);
    w.control(OP_CTX_SWITCH_CODE, 100, 100);
    for (uint64_t i = 0; i < 8; ++i) sample(w, 100 + 10 * i, {i});
    w.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, 2);
    for (uint64_t i = 0; i < 4; ++i) sample(w, 200 + 20 * i, {100 + i});
    Decoded run = decode({w}, 1);
    EXPECT_EQ(run.adaptFactor, 2u);
    ASSERT_EQ(run.samples.size(), 8u);
    EXPECT_EQ(run.samples[0].addresses[0], 0u);
    EXPECT_EQ(run.samples[1].addresses[0], 2u);
    EXPECT_TRUE(logged(run, "adapted 8 samples at 2x decimation into 4 samples."));
    EXPECT_TRUE(logged(run, "scaled buffer adapt factor of 1x by 2 -> 2"));
}

TEST(QVDriverSampleDecoder, KeepsSamplesInsideTheProcessorSamplingWindow) {
    QVDriverEventWriter w(true);
    w.control(OP_CPU_SWITCH_CODE, 0);
    w.timestamp(OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE, 100);
    w.control(OP_CTX_SWITCH_CODE, 100, 100);
    sample(w, 50, {1});   // before the window
    sample(w, 150, {2});
    w.timestamp(OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE, 200);
    sample(w, 250, {3});  // after it
    Decoded run = decode({w});
    ASSERT_EQ(run.samples.size(), 1u);
    EXPECT_EQ(run.samples[0].addresses[0], 2u);
}

TEST(QVDriverSampleDecoder, EachFileBufferStartsFromTheStreamDefaults) {
    QVDriverEventWriter first(true), second(true);
    first.control(OP_CTX_SWITCH_CODE, 100, 100);
    first.control(OP_CPU_SWITCH_CODE, 1);
    sample(first, 100, {1});
    sample(second, 110, {2});  // no thread restated: dropped
    second.control(OP_CTX_SWITCH_CODE, 101, 100);
    sample(second, 120, {3});
    Decoded run = decode({first, second});
    ASSERT_EQ(run.samples.size(), 2u);
    EXPECT_EQ(run.samples[1].processor, 0u);
    EXPECT_EQ(run.samples[1].tid, 101u);
}
