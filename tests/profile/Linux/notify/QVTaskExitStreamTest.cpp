// Scripted task-exit streams, written to a file and read back through the
// mapped cursor as the notifier reads its buffer copy: every state rule of
// the stream and every way it can be cut short or corrupted.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/notify/QVTaskExitStream.h"
#include "system/QVFileUtils.h"
#include "support/TestSupport.h"

using namespace Quorvel;
using Quorvel::test::ScratchDirectory;

namespace {

using Script = std::function<void(QVDriverEventWriter&)>;

// A complete record of task tgid/tid with the given mappings; the times are
// arbitrary but distinct so a swapped word shows.
void exitRecord(QVDriverEventWriter& w, uint64_t tgid, uint64_t tid, const std::vector<QVTaskExitMapping>& maps) {
    w.control(RECORD_BEGIN);
    w.control(THREAD_INFO_BEGIN);
    for (uint64_t word : {tgid, tid, uint64_t(0xdead), uint64_t(0xbeef), uint64_t(100), uint64_t(200),
                          uint64_t(300), uint64_t(400)}) {
        w.word(word);
    }
    w.control(THREAD_INFO_END);
    w.control(MODULE_LIST_BEGIN);
    w.word(maps.size());
    for (const QVTaskExitMapping& m : maps) {
        for (uint64_t word : {m.start, m.end, m.flags, m.cookie, uint64_t(0x5a5a)}) w.word(word);
    }
    w.control(MODULE_LIST_END);
    w.control(RECORD_END);
}

const QVTaskExitMapping kText{0x400000, 0x401000, 0x5, 0x11};
const QVTaskExitMapping kData{0x600000, 0x601000, 0x3, 0x11};

struct Parsed {
    std::vector<QVTaskExitRecord> records;
    std::vector<std::string> faults;
    bool corrupt = false;
};

Parsed parse(const Script& script, bool is64) {
    QVDriverEventWriter writer(is64);
    script(writer);
    ScratchDirectory dir("qvtaskexit");
    const std::string path = dir.file("buffer");
    EXPECT_TRUE(FileWriteString(path, std::string(writer.bytes().begin(), writer.bytes().end())));
    std::string error;
    auto cursor = QVDriverBufferCursorMapped::open(path, is64, error);
    Parsed parsed;
    if (!cursor) {
        // An empty file cannot be mapped; it holds no records either.
        EXPECT_TRUE(writer.bytes().empty()) << error;
        return parsed;
    }
    QVTaskExitStreamParser parser(*cursor, is64, [&](const std::string& line) { parsed.faults.push_back(line); });
    QVTaskExitRecord record;
    while (parser.next(record)) parsed.records.push_back(record);
    parsed.corrupt = parser.corrupt();
    return parsed;
}

}  // namespace

TEST(QVTaskExitStream, RecordsSurviveEveryKindOfFaultAroundThem) {
    struct Case {
        const char* name;
        Script script;
        std::vector<uint64_t> tids;  // of the records that come out, in order
        const char* fault;           // the one fault line; empty: none
    };
    const Case cases[] = {
        {"empty stream", [](QVDriverEventWriter&) {}, {}, ""},
        {"two records", [](QVDriverEventWriter& w) { exitRecord(w, 10, 11, {kText}); exitRecord(w, 20, 20, {}); },
         {11, 20}, ""},
        {"record begun twice",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             exitRecord(w, 10, 12, {kText});
         },
         {12}, "[qvnotify] buffer corrupted (RECORD_BEGIN) - record:1 info:0 moduleList:0"},
        {"thread info outside a record",
         [](QVDriverEventWriter& w) {
             w.control(THREAD_INFO_END);
             exitRecord(w, 10, 13, {});
         },
         {13}, "[qvnotify] buffer corrupted (THREAD_INFO_END) - record:0 info:0 moduleList:0"},
        {"module list inside thread info",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(THREAD_INFO_BEGIN);
             for (int i = 0; i < 8; ++i) w.word(7);
             w.control(MODULE_LIST_BEGIN);
             w.control(THREAD_INFO_END);
             w.control(RECORD_END);
         },
         {7}, "[qvnotify] buffer corrupted (MODULE_LIST_BEGIN) - record:1 info:1 moduleList:0"},
        {"record ends inside module list",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(MODULE_LIST_BEGIN);
             w.word(0);
             w.control(RECORD_END);
             w.control(MODULE_LIST_END);
             w.control(RECORD_END);
         },
         {0}, "[qvnotify] buffer corrupted (RECORD_END) - record:1 info:0 moduleList:1"},
        {"unknown tag",
         [](QVDriverEventWriter& w) {
             w.control(0x2a);
             exitRecord(w, 1, 2, {});
         },
         {2}, "[qvnotify] buffer corrupted (UNKNOWN (0x2a)) - record:0 info:0 moduleList:0"},
        {"plain word where a tag belongs",
         [](QVDriverEventWriter& w) {
             w.word(0x1234);
             exitRecord(w, 1, 3, {});
         },
         {3}, "[qvnotify] buffer corrupted - unexpected value during buffer parse: 0x1234"},
        {"escape marker at the end",
         [](QVDriverEventWriter& w) {
             exitRecord(w, 1, 4, {});
             w.word(~uint64_t(0));
         },
         {4}, "[qvnotify] buffer corrupted - incomplete escape code sequence"},
        {"thread info cut short",
         [](QVDriverEventWriter& w) {
             exitRecord(w, 1, 5, {});
             w.control(RECORD_BEGIN);
             w.control(THREAD_INFO_BEGIN);
             w.word(1);
         },
         {5}, "[qvnotify] unable to process event buffer - incomplete thread info"},
        {"module list cut short",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(MODULE_LIST_BEGIN);
             w.word(3);
             for (int i = 0; i < 7; ++i) w.word(1);
         },
         {}, "[qvnotify] unable to process event buffer - incomplete module info (1 of 3)"},
        {"count far beyond the words",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(MODULE_LIST_BEGIN);
             w.word(0x7fffffff);
         },
         {}, "[qvnotify] unable to process event buffer - incomplete module info (0 of 2147483647)"},
        {"negative count",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(MODULE_LIST_BEGIN);
             w.word(0xffffffff);
             w.control(MODULE_LIST_END);
             w.control(RECORD_END);
         },
         {0}, "[qvnotify] buffer corrupted - invalid module count -1"},
    };
    for (bool is64 : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (is64 ? " (64-bit)" : " (32-bit)"));
            const Parsed parsed = parse(c.script, is64);
            std::vector<uint64_t> tids;
            for (const QVTaskExitRecord& r : parsed.records) tids.push_back(r.tid);
            EXPECT_EQ(tids, c.tids);
            if (*c.fault) {
                ASSERT_EQ(parsed.faults.size(), 1u) << Quorvel::test::Text(parsed.faults.size());
                EXPECT_EQ(parsed.faults[0], c.fault);
            } else {
                EXPECT_TRUE(parsed.faults.empty()) << parsed.faults[0];
            }
            EXPECT_EQ(parsed.corrupt, *c.fault != '\0');
        }
    }
}

TEST(QVTaskExitStream, RecordsCarryIdentityTimesAndEveryMapping) {
    const Parsed parsed = parse(
        [](QVDriverEventWriter& w) {
            exitRecord(w, 4242, 4243, {kText, kData});
            exitRecord(w, 9, 9, {});  // a count of 0 ends with no modules
        },
        true);
    ASSERT_EQ(parsed.records.size(), 2u);
    const QVTaskExitRecord& r = parsed.records[0];
    EXPECT_TRUE(r.hasThreadInfo);
    EXPECT_EQ(r.tgid, 4242u);
    EXPECT_EQ(r.tid, 4243u);
    // The two words after the ids (0xdead, 0xbeef) are skipped.
    EXPECT_EQ(r.startSeconds, 100u);
    EXPECT_EQ(r.startNanoseconds, 200u);
    EXPECT_EQ(r.exitSeconds, 300u);
    EXPECT_EQ(r.exitNanoseconds, 400u);
    ASSERT_EQ(r.mappings.size(), 2u);
    EXPECT_EQ(r.mappings[0].start, kText.start);
    EXPECT_EQ(r.mappings[0].end, kText.end);
    EXPECT_EQ(r.mappings[0].flags, kText.flags);
    EXPECT_EQ(r.mappings[1].flags, kData.flags);
    EXPECT_EQ(r.mappings[1].cookie, kData.cookie);
    EXPECT_TRUE(parsed.records[1].mappings.empty());
    EXPECT_FALSE(parsed.corrupt);
}

TEST(QVTaskExitStream, TagNamesIncludeUnknownCodesInHex) {
    EXPECT_EQ(QVTaskExitStreamParser::tagName(RECORD_BEGIN), "RECORD_BEGIN");
    EXPECT_EQ(QVTaskExitStreamParser::tagName(MODULE_LIST_END), "MODULE_LIST_END");
    EXPECT_EQ(QVTaskExitStreamParser::tagName(0xff), "UNKNOWN (0xff)");
}
