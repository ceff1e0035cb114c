#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverChunkScan.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"

using namespace Quorvel;

namespace {

QVDriverChunkScan scanOf(const QVDriverEventWriter& w) {
    return QVDriverChunkScan::scan(w.bytes().data(), w.recordCount(), w.is64());
}

}  // namespace

TEST(QVDriverBufferCursor, MemoryCursorZeroExtendsNarrowWordsAndStopsAtTheEnd) {
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
}

TEST(QVDriverBufferCursor, MappedCursorReadsAFileAndIgnoresATrailingPartialWord) {
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
    auto cursor = QVDriverBufferCursorMapped::open(path, true, error);
    unlink(path);  // the mapping outlives the name
    ASSERT_TRUE(cursor) << error;
    EXPECT_EQ(cursor->recordCount(), 2u);
    uint64_t word;
    ASSERT_TRUE(cursor->nextRecord(word));
    EXPECT_EQ(word, 0x1000u);
    ASSERT_TRUE(cursor->nextRecord(word));
    EXPECT_FALSE(cursor->nextRecord(word));

    EXPECT_FALSE(QVDriverBufferCursorMapped::open("/nonexistent/chunk", true, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(QVDriverBufferCursorMapped::open("/tmp", true, error));
}

TEST(QVDriverEventScanner, ThirtyTwoBitTimestampsJoinTheirHalvesHighFirst) {
    QVDriverEventWriter w(false);
    w.control(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE);
    w.word(1);
    w.word(2);
    QVDriverBufferCursorMemory cursor(w.bytes().data(), w.recordCount(), false);
    QVDriverEventScanner scanner(cursor, false);
    QVDriverStreamItem item;
    ASSERT_TRUE(scanner.next(item));
    EXPECT_EQ(item.kind, QVDriverStreamItem::Control);
    EXPECT_EQ(item.code, uint64_t(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE));
    EXPECT_EQ(item.first, (uint64_t(1) << 32) + 2);
    EXPECT_FALSE(scanner.next(item));
    EXPECT_EQ(scanner.fault(), QVDriverStreamFault::None);
}

TEST(QVDriverEventScanner, WriterAndScannerAgreeOnEveryCode) {
    for (bool is64 : {true, false}) {
        QVDriverEventWriter w(is64);
        w.control(OP_CTX_SWITCH_CODE, 10, 20);
        w.control(OP_CPU_SWITCH_CODE, 3);
        w.control(OP_KERNEL_ENTER_SWITCH_CODE);
        w.timestamp(OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE, 0x123456789ull);
        w.entry(0xabc, 0);
        w.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, 2);
        QVDriverBufferCursorMemory cursor(w.bytes().data(), w.recordCount(), is64);
        QVDriverEventScanner scanner(cursor, is64);
        std::vector<QVDriverStreamItem> items;
        QVDriverStreamItem item;
        while (scanner.next(item)) items.push_back(item);
        ASSERT_EQ(items.size(), 6u) << "is64=" << is64;
        EXPECT_EQ(items[0].first, 10u);
        EXPECT_EQ(items[0].second, 20u);
        EXPECT_EQ(items[1].first, 3u);
        EXPECT_EQ(items[3].first, 0x123456789ull);
        EXPECT_EQ(items[4].kind, QVDriverStreamItem::Entry);
        EXPECT_EQ(items[4].first, 0xabcu);
        EXPECT_EQ(items[5].first, 2u);
        EXPECT_EQ(scanner.fault(), QVDriverStreamFault::None);
    }
}

// Chunk accounting, one case per documented stream shape.
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
        {"context switch cut short",
         [](QVDriverEventWriter& w) {
             w.entry(1, 0);
             w.control(OP_CTX_SWITCH_CODE);
             w.word(42);
         },
         1, true, "buffer corrupted - unterminated CTX_SWITCH_CODE"},
        {"unknown code 12",
         [](QVDriverEventWriter& w) {
             w.entry(1, 0);
             w.control(12);
             w.entry(2, 0);
         },
         1, true, "buffer corrupted (unknown escape code 12)"},
        {"unknown code 105", [](QVDriverEventWriter& w) { w.control(105); }, 0, true,
         "buffer corrupted (unknown escape code 105)"},
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
