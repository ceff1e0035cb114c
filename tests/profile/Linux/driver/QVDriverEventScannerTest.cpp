// The driver's event stream, scripted word by word: the cursors over its
// words, the scanner of its codes, the chunk accounting and the sample
// decoder that follows them.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverChunkScan.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverSampleDecoder.h"

using namespace Quorvel;

namespace {

QVDriverChunkScan scanOf(const QVDriverEventWriter& w) {
    return QVDriverChunkScan::scan(w.bytes().data(), w.recordCount(), w.is64());
}

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

TEST(QVDriverBufferCursor, CursorsZeroExtendNarrowWordsStopAtTheEndAndIgnoreAPartialWord) {
    const uint32_t narrow[] = {0xffffffffu, 7};
    QVDriverBufferCursorMemory cursor(narrow, 2, false);
    uint64_t word = 99;
    ASSERT_TRUE(cursor.nextRecord(word));
    EXPECT_EQ(word, 0xffffffffull);
    ASSERT_TRUE(cursor.nextRecord(word));
    EXPECT_EQ(word, 7u);
    EXPECT_FALSE(cursor.nextRecord(word));
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(cursor.index(), 2u);
    cursor.rewind();
    EXPECT_EQ(cursor.index(), 0u);

    // The mapped cursor reads a file and ignores a trailing partial word.
    char path[] = "/tmp/qvcursorXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    QVDriverEventWriter w(true);
    w.entry(0x1000, 1);
    // Three stray bytes: a chunk cut inside a word must not yield a word.
    ASSERT_EQ(write(fd, w.bytes().data(), w.bytes().size()), ssize_t(w.bytes().size()));
    ASSERT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    std::string error;
    auto mapped = QVDriverBufferCursorMapped::open(path, true, error);
    unlink(path);  // the mapping outlives the name
    ASSERT_TRUE(mapped) << error;
    EXPECT_EQ(mapped->recordCount(), 2u);
    ASSERT_TRUE(mapped->nextRecord(word));
    EXPECT_EQ(word, 0x1000u);
    ASSERT_TRUE(mapped->nextRecord(word));
    EXPECT_FALSE(mapped->nextRecord(word));

    EXPECT_FALSE(QVDriverBufferCursorMapped::open("/nonexistent/chunk", true, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(QVDriverBufferCursorMapped::open("/tmp", true, error));
}

// Chunk accounting, one case per documented stream shape; a cut context
// switch and code 12 reach the user through the mounted driver's own tests.
TEST(QVDriverChunkScan, CountsSamplesAndFindsCorruption) {
    struct Case {
        const char* name;
        void (*build)(QVDriverEventWriter&);
        uint64_t samples;
        bool corrupt;
        const char* fault;
    };
    const Case cases[] = {
        {"plain entries", [](QVDriverEventWriter& w) { w.entry(1, 0); w.entry(2, 0); }, 2, false, ""},
        {"call-stack record counts once",
         [](QVDriverEventWriter& w) {
             w.control(OP_TRACE_BEGIN_CODE);
             w.entry(0x10, 0);
             w.entry(0x20, 0);
             w.entry(0x30, 0);
             w.control(OP_TRACE_END_CODE);
         },
         1, false, ""},
        {"escape marker last",
         [](QVDriverEventWriter& w) {
             w.entry(1, 0);
             w.word(~uint64_t(0));
         },
         1, true, "buffer corrupted - unterminated escape code sequence"},
        {"entry cut in half",
         [](QVDriverEventWriter& w) {
             w.entry(1, 0);
             w.word(5);
         },
         1, true, "buffer corrupted - unterminated sample entry"},
        {"timestamp cut short", [](QVDriverEventWriter& w) { w.control(OP_QV_SAMPLE_END_TIMESTAMP_CODE); }, 0,
         true, "buffer corrupted - unterminated QV_SAMPLE_END_TIMESTAMP_CODE"},
        {"empty", [](QVDriverEventWriter&) {}, 0, false, ""},
    };
    for (const Case& c : cases) {
        QVDriverEventWriter w(true);
        c.build(w);
        QVDriverChunkScan scan = scanOf(w);
        EXPECT_EQ(scan.samples, c.samples) << c.name;
        EXPECT_EQ(scan.corrupt, c.corrupt) << c.name;
        EXPECT_EQ(scan.fault, c.fault) << c.name;
    }
}

TEST(QVDriverChunkScan, KeepsTheLatestAdaptFactor) {
    QVDriverEventWriter w(true);
    w.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, 2);
    w.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, 4);
    QVDriverChunkScan scan = scanOf(w);
    EXPECT_TRUE(scan.adaptSeen);
    EXPECT_EQ(scan.adaptFactor, 4u);

    QVDriverEventWriter cut(true);
    cut.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE);
    scan = scanOf(cut);
    EXPECT_TRUE(scan.adaptSeen);
    EXPECT_EQ(scan.adaptFactor, 0u);  // a missing payload reads as 0
    EXPECT_TRUE(scan.corrupt);
}

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

// Unknown threads and a processor one past the last reach the user through
// the mounted driver's own tests.
TEST(QVDriverSampleDecoder, EdgeCasesOfTheStream) {
    struct Case {
        const char* name;
        void (*build)(QVDriverEventWriter&);
        size_t samples;
        bool complete;
        const char* logLine;
    };
    const Case cases[] = {
        {"samples before any context switch have no thread", [](QVDriverEventWriter& w) { sample(w, 100, {1}); }, 0,
         true, "skipping sample with invalid thread id"},
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
