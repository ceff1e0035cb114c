// oprofile's dialect of the driver stream, scripted word by word, through the
// translation and the driver-buffer decoder that follows it: what each cookie
// and mode switch does to the samples that come out.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverSampleDecoder.h"
#include "Linux/oprofile/QVOprofileStreamTranslator.h"

using namespace Quorvel;

namespace {

// File cookies of the script and where their bytes lie in thread group 100:
// cookie 0xa maps file offsets [0x1000, 0x3000) at 0x400000, cookie 0xb
// [0, 0x1000) at 0x7f0000000000. Cookie 0xc is a file group 100 never mapped.
bool Locate(uint64_t tgid, uint64_t cookie, uint64_t offset, uint64_t& address) {
    if (tgid != 100) return false;
    if (cookie == 0xa && offset >= 0x1000 && offset < 0x3000) {
        address = 0x400000 + offset - 0x1000;
        return true;
    }
    if (cookie == 0xb && offset < 0x1000) {
        address = 0x7f0000000000 + offset;
        return true;
    }
    return false;
}

struct Outcome {
    std::vector<QVDriverSample> samples;
    std::vector<std::pair<uint64_t, uint64_t>> contexts;  // (tgid, tid) announced
    std::vector<std::string> lines;
    bool whole = false;
    uint64_t dropped = 0;
};

Outcome Translate(const std::function<void(QVDriverEventWriter&)>& script, bool is64 = true) {
    QVDriverEventWriter in(is64);
    script(in);
    Outcome outcome;
    QVOprofileStreamTranslator translator(
        Locate, [&](uint64_t tgid, uint64_t tid) { outcome.contexts.emplace_back(tgid, tid); },
        [&](bool, const std::string& line) { outcome.lines.push_back(line); });
    QVDriverBufferCursorMemory words(in.bytes().data(), in.recordCount(), is64);
    QVDriverEventWriter out(is64);
    uint64_t processed = 0;
    outcome.whole = translator.translate(words, is64, out, processed);
    EXPECT_EQ(processed, words.index());
    outcome.dropped = translator.droppedSamples();
    QVDriverBufferCursorMemory translated(out.bytes().data(), out.recordCount(), is64);
    QVDriverSampleDecoder decoder(
        4, 1000000, [](QVDriverSampleDecoder::Level, const std::string&) {}, [](uint64_t, uint64_t) { return true; });
    uint64_t decoded = 0;
    EXPECT_TRUE(decoder.decode(translated, is64, decoded));
    outcome.samples = decoder.samples();
    return outcome;
}

// Thread 101 of group 100, as oprofile announces a task.
void Context(QVDriverEventWriter& w, uint64_t tid = 101, uint64_t tgid = 100) {
    w.control(OP_CTX_SWITCH_CODE, tid, 0xa);
    w.control(OP_CTX_TGID_CODE, tgid);
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

TEST(QVOprofileStreamTranslator, CookieAndModeSwitchesPlaceEachSample) {
    struct Case {
        const char* name;
        std::function<void(QVDriverEventWriter&)> script;
        // Per sample: tgid, tid, kernel, addresses.
        std::vector<std::tuple<uint64_t, uint64_t, bool, std::vector<uint64_t>>> samples;
        uint64_t dropped;
        const char* logs;  // a line the translation logs, or ""
    };
    const uint64_t invalid = ~uint64_t(0);
    const Case cases[] = {
        {"an offset under a cookie lands where the file is mapped",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             w.entry(0x1010, 0);
             w.entry(0x2ff0, 0);
         },
         {{100, 101, false, {0x400010}}, {100, 101, false, {0x401ff0}}},
         0,
         ""},
        {"a second cookie switch moves the next offsets to its file",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             w.entry(0x1000, 0);
             w.control(OP_COOKIE_SWITCH_CODE, 0xb);
             w.entry(0x20, 0);
         },
         {{100, 101, false, {0x400000}}, {100, 101, false, {0x7f0000000020}}},
         0,
         ""},
        {"no cookie and the invalid cookie leave raw addresses",
         [invalid](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_COOKIE_SWITCH_CODE, 0);
             w.entry(0x555000, 0);
             w.control(OP_COOKIE_SWITCH_CODE, invalid);
             w.entry(0x556000, 0);
         },
         {{100, 101, false, {0x555000}}, {100, 101, false, {0x556000}}},
         0,
         "invalid cookie (0xffffffffffffffff) - assuming raw address 0x556000"},
        {"a context switch forgets the cookie: what follows is an address",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             Context(w, 102);
             w.entry(0x1010, 0);
         },
         {{100, 102, false, {0x1010}}},
         0,
         "no cookie (0x0)"},
        {"kernel samples are addresses whatever the cookie; user mode maps again",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             w.control(OP_KERNEL_ENTER_SWITCH_CODE);
             w.entry(0xffffffff81000000, 0);
             w.control(OP_KERNEL_EXIT_SWITCH_CODE);
             w.entry(0x1004, 0);
         },
         {{100, 101, true, {0xffffffff81000000}}, {100, 101, false, {0x400004}}},
         0,
         ""},
        {"an offset beyond the file's mapped bytes drops its sample",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             w.entry(0x9000, 0);
             w.entry(0x1000, 0);
         },
         {{100, 101, false, {0x400000}}},
         1,
         "failed to map file offset 0x9000"},
        {"a file the group never mapped drops its sample",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_COOKIE_SWITCH_CODE, 0xc);
             w.entry(0x1000, 0);
         },
         {},
         1,
         "failed to map file offset 0x1000"},
        {"a trace keeps its frames under their own cookies, from kernel into user",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_KERNEL_ENTER_SWITCH_CODE);
             w.control(OP_TRACE_BEGIN_CODE);
             w.entry(0xffffffff81000010, 0);
             w.control(OP_KERNEL_EXIT_SWITCH_CODE);
             w.control(OP_COOKIE_SWITCH_CODE, 0xb);
             w.entry(0x100, 0);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             w.entry(0x1100, 0);
             w.control(OP_TRACE_END_CODE);
         },
         {{100, 101, true, {0xffffffff81000010, 0x7f0000000100, 0x400100}}},
         0,
         ""},
        {"a user trace's frames follow its sample; an unplaceable frame is left out",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_TRACE_BEGIN_CODE);
             w.control(OP_COOKIE_SWITCH_CODE, 0xb);
             w.entry(0x100, 0);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             w.entry(0x9999, 0);
             w.entry(0x1100, 0);
             w.control(OP_TRACE_END_CODE);
         },
         {{100, 101, false, {0x7f0000000100, 0x400100}}},
         0,
         ""},
        {"a trace whose sample cannot be placed is dropped whole",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_TRACE_BEGIN_CODE);
             w.control(OP_COOKIE_SWITCH_CODE, 0xc);
             w.entry(0x100, 0);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             w.entry(0x1100, 0);
             w.control(OP_TRACE_END_CODE);
             w.entry(0x1200, 0);
         },
         {{100, 101, false, {0x400200}}},
         1,
         ""},
        {"Xen, domain and IBS markers change nothing",
         [](QVDriverEventWriter& w) {
             Context(w);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             w.control(OP_XEN_ENTER_SWITCH_CODE);
             w.control(OP_DOMAIN_SWITCH_CODE, 3);
             w.control(OP_IBS_FETCH_SAMPLE);
             w.entry(0x1008, 0);
         },
         {{100, 101, false, {0x400008}}},
         0,
         "OP_DOMAIN_SWITCH_CODE ignored"},
        {"a thread without its group record leads a group of its own",
         [](QVDriverEventWriter& w) {
             w.control(OP_CTX_SWITCH_CODE, 100, 0);
             w.control(OP_COOKIE_SWITCH_CODE, 0xa);
             w.entry(0x1000, 0);
         },
         {{100, 100, false, {0x400000}}},
         0,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = Translate(c.script);
        EXPECT_TRUE(outcome.whole);
        ASSERT_EQ(outcome.samples.size(), c.samples.size());
        for (size_t i = 0; i < c.samples.size(); ++i) {
            const QVDriverSample& s = outcome.samples[i];
            EXPECT_EQ(s.tgid, std::get<0>(c.samples[i])) << i;
            EXPECT_EQ(s.tid, std::get<1>(c.samples[i])) << i;
            EXPECT_EQ(s.kernel, std::get<2>(c.samples[i])) << i;
            EXPECT_EQ(s.addresses, std::get<3>(c.samples[i])) << i;
        }
        EXPECT_EQ(outcome.dropped, c.dropped);
        if (*c.logs) {
            EXPECT_TRUE(Contains(outcome.lines, c.logs)) << c.logs;
        }
    }
}

TEST(QVOprofileStreamTranslator, ContextsAreAnnouncedOnceThePairIsKnown) {
    const Outcome outcome = Translate([](QVDriverEventWriter& w) {
        Context(w, 101, 100);
        Context(w, 7, 7);  // switched away before any sample: never announced
        Context(w, 102, 100);
        w.control(OP_COOKIE_SWITCH_CODE, 0xa);
        w.entry(0x1000, 0);
        w.control(OP_CPU_SWITCH_CODE, 1);
        w.entry(0x1004, 0);
    });
    const std::vector<std::pair<uint64_t, uint64_t>> expected = {{100, 102}};
    EXPECT_EQ(outcome.contexts, expected);
    ASSERT_EQ(outcome.samples.size(), 2u);
    EXPECT_EQ(outcome.samples[0].processor, 0u);
    EXPECT_EQ(outcome.samples[1].processor, 1u);
}

TEST(QVOprofileStreamTranslator, ACorruptTailKeepsWhatCameBefore) {
    struct Case {
        const char* name;
        std::function<void(QVDriverEventWriter&)> tail;
        const char* says;
    };
    const Case cases[] = {
        {"an escape marker at the end", [](QVDriverEventWriter& w) { w.word(~uint64_t(0)); }, "unterminated escape"},
        {"a cookie switch without its cookie",
         [](QVDriverEventWriter& w) {
             w.word(~uint64_t(0));
             w.word(OP_COOKIE_SWITCH_CODE);
         },
         "unterminated COOKIE_SWITCH_CODE"},
        {"an unknown code",
         [](QVDriverEventWriter& w) {
             w.word(~uint64_t(0));
             w.word(77);
         },
         "unknown escape code 0x4d"},
    };
    for (bool is64 : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (is64 ? " (64-bit)" : " (32-bit)"));
            const Outcome outcome = Translate(
                [&](QVDriverEventWriter& w) {
                    Context(w);
                    w.control(OP_COOKIE_SWITCH_CODE, 0xa);
                    w.entry(0x1010, 0);
                    if (is64) {
                        c.tail(w);
                    } else {
                        // The same faults in the narrow stream's words.
                        QVDriverEventWriter wide(true);
                        c.tail(wide);
                        for (size_t i = 0; i < wide.recordCount(); ++i) {
                            uint64_t word;
                            std::memcpy(&word, wide.bytes().data() + 8 * i, 8);
                            w.word(word == ~uint64_t(0) ? 0xffffffffu : word);
                        }
                    }
                },
                is64);
            EXPECT_FALSE(outcome.whole);
            ASSERT_EQ(outcome.samples.size(), 1u);
            EXPECT_EQ(outcome.samples[0].addresses, std::vector<uint64_t>{0x400010});
            EXPECT_TRUE(Contains(outcome.lines, c.says)) << c.says;
        }
    }
}
