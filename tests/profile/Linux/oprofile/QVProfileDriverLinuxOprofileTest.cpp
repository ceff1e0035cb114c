// The oprofile driver against fixture trees: a module whose init script
// comes up in timer or event mode (or, stuck, in one mode whatever it is
// asked), and oprofile's event and unit-mask description files. Then
// oprofile's dialect of the driver stream, scripted word by word, through
// the translation and the driver-buffer decoder that follows it: what each
// cookie and mode switch does to the samples that come out.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverSampleDecoder.h"
#include "Linux/driver/QVPerfMonEventLinux.h"
#include "Linux/oprofile/QVOprofileStreamTranslator.h"
#include "Linux/oprofile/QVProfileDriverLinuxOprofile.h"
#include "base/QVErrorManager.h"
#include "config/QVSessionConfig.h"
#include "notify/QVNotificationIds.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

using namespace Quorvel;
using Quorvel::test::CaptureLog;
using Quorvel::test::ScratchDirectory;

namespace {

void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(PathDirectory(path));
    FileWriteString(path, text);
}

// A machine root with oprofile's init script. The module comes up in timer
// mode when started with "timer=1", else as an i7 (its counters are not
// programmed here, so it publishes none); a
// file "stuck" holds the cpu type it comes up with whatever it is asked.
// Every call of the script is appended to "calls".
struct FixtureMachine {
    ScratchDirectory root{"qvoprofile"};
    QVSystemPaths::ScopedRoot paths{root.path()};

    FixtureMachine() {
        const std::string dev = root.file("dev/oprofile");
        Write(root.file("etc/init.d/oprofile"),
              "#!/bin/sh\n"
              "echo \"$*\" >> " + root.file("calls") + "\n"
              "case \"$1\" in\n"
              "start)\n"
              "  mkdir -p " + dev + "\n"
              "  type=i386/core_i7\n"
              "  [ \"$2\" = timer=1 ] && type=timer\n"
              "  [ -f " + root.file("stuck") + " ] && type=$(cat " + root.file("stuck") + ")\n"
              "  echo $type > " + dev + "/cpu_type\n"
              "  echo 8 > " + dev + "/pointer_size\n"
              "  for f in buffer_size buffer_watershed cpu_buffer_size backtrace_depth; do echo 0 > " + dev + "/$f; done\n"
              "  ;;\n"
              "stop) rm -rf " + dev + " ;;\n"
              "esac\n");
        ::chmod(root.file("etc/init.d/oprofile").c_str(), 0755);
    }
    std::string calls() {
        std::string text;
        FileReadString(root.file("calls"), text);
        FileWriteString(root.file("calls"), "");
        return text;
    }
    void events(const std::string& cpuType, const std::string& events, const std::string& masks) {
        Write(root.file("usr/share/oprofile/" + cpuType + "/events"), events);
        Write(root.file("usr/share/oprofile/" + cpuType + "/unit_masks"), masks);
    }
};

std::shared_ptr<QVSessionConfig> Config(QVSessionConfig::Trigger trigger) {
    return std::make_shared<QVSessionConfig>(trigger);
}

std::string ErrorText(const QVProfileDriverLinuxOprofile& driver, const std::string& id) {
    std::ostringstream text;
    EXPECT_TRUE(driver.getErrorMessage(text, id));
    return text.str();
}

const char kArchPerfmonEvents[] =
    "# comments and blank lines are not events\n"
    "\n"
    "event:0x3c counters:cpuid um:zero minimum:6000 filter:0 name:CPU_CLK_UNHALTED : Clock cycles when not halted\n"
    "event:0xc0 counters:cpuid um:zero minimum:6000 filter:1 name:INST_RETIRED : number of instructions retired\n"
    "event:0x2e counters:0,1 um:llc minimum:6000 name:LLC_MISSES : Last level cache demand requests missed\n"
    "event:0xc4 counters:cpuid um:br minimum:500 name:BR_INST_RETIRED : branch instructions retired\n"
    "event:0xc5 counters:cpuid um:missing minimum:500 name:BR_MISS_PRED_RETIRED : mispredicted branches\n";
const char kArchPerfmonMasks[] =
    "name:zero type:mandatory default:0x0\n"
    "\t0x0 No unit mask\n"
    "name:llc type:exclusive default:0x41\n"
    "\t0x41 demand misses\n"
    "\t0x4f all requests\n";

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

TEST(QVProfileDriverLinuxOprofile, AFailedSwitchLeavesTheDriverStuckForGood) {
    const struct {
        const char* stuckType;
        QVSessionConfig::Trigger wanted;
        QVSessionConfig::Trigger other;  // what still works
        std::string error;
        const char* message;
    } cases[] = {
        {"timer", QVSessionConfig::TriggerEvent, QVSessionConfig::TriggerTimerOS,
         QVProfileDriverLinuxErrorOprofileStuckInTimerMode,
         "The oprofile driver could not be switched to event mode. Only the OS\n       time trigger is available."},
        {"i386/core_i7", QVSessionConfig::TriggerTimerOS, QVSessionConfig::TriggerEvent,
         QVProfileDriverLinuxErrorOprofileStuckInEventMode,
         "The oprofile driver could not be switched to timer mode. Only the CPU\n       time and CPU event "
         "triggers are available."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stuckType);
        FixtureMachine machine;
        FileWriteString(machine.root.file("stuck"), std::string(c.stuckType) + "\n");
        QVProfileDriverLinuxOprofile driver(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, "/dev/oprofile");
        std::string log = CaptureLog([&] { EXPECT_FALSE(driver.setConfig(Config(c.wanted))); });
        EXPECT_NE(log.find("[oprofile] unable to switch to"), std::string::npos) << log;
        EXPECT_FALSE(machine.calls().empty());
        // Every later request of that mode fails at once, without a reload.
        auto config = Config(c.wanted == QVSessionConfig::TriggerEvent ? QVSessionConfig::TriggerTimer : c.wanted);
        EXPECT_FALSE(driver.setConfig(config));
        EXPECT_EQ(machine.calls(), "");
        QVErrorManager errors;
        driver.getConfigErrors(errors, false);
        EXPECT_TRUE(errors.testErrorId(c.error)) << c.error;
        EXPECT_EQ(ErrorText(driver, c.error), c.message);
        // The mode it is stuck in still serves its own triggers.
        EXPECT_TRUE(driver.setConfig(Config(c.other)));
        QVErrorManager none;
        driver.getConfigErrors(none, false);
        EXPECT_FALSE(none.testErrorId(c.error));
    }
}

// The event files of the model become its event list when the driver first
// loads in event mode; then each switch reloads it only when the mode differs.
TEST(QVProfileDriverLinuxOprofile, EventFilesBecomeTheEventListAndModeSwitchesReloadOnlyWhenNeeded) {
    FixtureMachine machine;
    machine.events("i386/arch_perfmon", kArchPerfmonEvents, kArchPerfmonMasks);
    // The model's own files: an include first, then its own events and masks.
    machine.events("i386/core_i7",
                   "include:i386/arch_perfmon\n"
                   "event:0x3c counters:cpuid um:zero minimum:6000 name:CPU_CLK_UNHALTED : the same name again\n"
                   "event:0x24 counters:2 um:l2 minimum:200 name:L2_RQSTS : L2 requests\n"
                   "event:0x3c counters:cpuid um:zero minimum:bad name:BROKEN : not an event line\n",
                   "include:i386/arch_perfmon\n"
                   "name:llc type:exclusive default:0x4f\n"
                   "\t0x4f the model's own default\n"
                   "name:l2 type:bitmask default:0xff\n"
                   "\t0x01 demand reads\n"
                   "\t0x02 demand writes\n");
    QVProfileDriverLinuxOprofile driver(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, "/dev/oprofile");
    std::string log = CaptureLog([&] { EXPECT_TRUE(driver.setConfig(Config(QVSessionConfig::TriggerEvent))); });
    EXPECT_EQ(machine.calls(), "start\n");
    EXPECT_EQ(driver.eventsDirectory(), machine.root.file("usr/share/oprofile"));
    ASSERT_TRUE(driver.eventList());
    const auto& list = *driver.eventList();
    std::vector<std::string> names;
    for (size_t i = 0; i < list.eventCount(); ++i) names.push_back(list.eventAtIndex(i)->identifier().identifier());
    // Included events first, the duplicate name skipped, the malformed line ignored.
    const std::vector<std::string> expected = {"CPU_CLK_UNHALTED", "INST_RETIRED", "LLC_MISSES", "BR_INST_RETIRED",
                                               "BR_MISS_PRED_RETIRED", "L2_RQSTS"};
    EXPECT_EQ(names, expected);
    EXPECT_NE(log.find("skipping event with duplicate identifier"), std::string::npos) << log;
    EXPECT_NE(log.find("event 'BR_MISS_PRED_RETIRED' unit mask 'missing' not recognized"), std::string::npos) << log;

    const struct {
        const char* name;
        uint32_t code, counters, unitMask;
        uint64_t minimum;
    } events[] = {
        {"CPU_CLK_UNHALTED", 0x3c, 0xffffffff, 0x0, 6000},  // cpuid: every counter there is
        {"LLC_MISSES", 0x2e, 0x3, 0x4f, 6000},        // the model's mask overrides the included one
        {"L2_RQSTS", 0x24, 0x4, 0xff, 200},
    };
    for (const auto& e : events) {
        SCOPED_TRACE(e.name);
        const auto event = list.eventWithIdentifier(QVPerfMonEventId(e.name, "", "Hardware"));
        ASSERT_TRUE(event);
        EXPECT_EQ(event->eventSelect(), e.code);
        EXPECT_EQ(event->counterSelect(), e.counters);
        EXPECT_EQ(event->unitMaskSelect(), e.unitMask);
        EXPECT_EQ(event->minCount(), e.minimum);
    }
    // The generic events are the processor's names for them.
    for (const QVPerfMonEventId* generic : {&EVENT_ID_CPU_CYCLES, &EVENT_ID_CPU_INSTRUCTIONS_COMPLETED,
                                            &EVENT_ID_CPU_LAST_LEVEL_CACHE_MISSES, &EVENT_ID_CPU_BRANCH_INSTRUCTIONS,
                                            &EVENT_ID_CPU_BRANCH_MISPREDICTS}) {
        EXPECT_EQ(driver.events().count(*generic), 1u) << generic->identifier();
    }
    QVErrorManager errors;
    driver.getEnvironmentErrors(errors, false);
    EXPECT_FALSE(errors.testWarningId(QVProfileDriverWarningNoEventList));

    const struct {
        QVSessionConfig::Trigger trigger;
        const char* calls;  // what the init script was asked
        bool timerMode;
    } steps[] = {
        {QVSessionConfig::TriggerTimerOS, "stop\nstart timer=1\n", true},
        {QVSessionConfig::TriggerTimerOS, "", true},    // already in timer mode: no reload
        {QVSessionConfig::TriggerTimerUser, "", true},  // needs no particular mode
        {QVSessionConfig::TriggerEvent, "stop\nstart\n", false},
        {QVSessionConfig::TriggerTimer, "", false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(QVSessionConfig::triggerToString(step.trigger));
        CaptureLog([&] { EXPECT_TRUE(driver.setConfig(Config(step.trigger))); });
        EXPECT_EQ(machine.calls(), step.calls);
        if (!step.timerMode) {
            EXPECT_EQ(driver.cpuType(), "i386/core_i7");
        }
        EXPECT_EQ(driver.processor() == QVProcessorTimer, step.timerMode);
        EXPECT_FALSE(driver.stuckInEventMode() || driver.stuckInTimerMode());
    }
}

TEST(QVProfileDriverLinuxOprofile, DescriptionFilesThatCannotBeReadLeaveNoList) {
    const struct {
        const char* name;
        const char* events;  // nullptr: no file
        const char* masks;
        const char* logs;
    } cases[] = {
        {"no unit masks", "event:0x3c counters:cpuid um:zero minimum:1 name:CYCLES : c\n", nullptr,
         "unable to parse unit mask definitions"},
        {"no events", nullptr, "name:zero type:mandatory default:0\n", "failed to parse event definitions"},
        {"an include of a processor without files", "include:i386/nowhere\n", "name:zero type:mandatory default:0\n",
         "unable to find event definitions file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureMachine machine;
        const std::string dir = machine.root.file("usr/share/oprofile/i386/core_i7/");
        std::filesystem::create_directories(dir);
        if (c.events) Write(dir + "events", c.events);
        if (c.masks) Write(dir + "unit_masks", c.masks);
        QVProfileDriverLinuxOprofile driver(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, "/dev/oprofile");
        const std::string log = CaptureLog([&] { driver.setConfig(Config(QVSessionConfig::TriggerEvent)); });
        EXPECT_NE(log.find(c.logs), std::string::npos) << log;
        EXPECT_FALSE(driver.eventList());
    }
}

// Without the description files the driver names the missing list; its init
// script alone makes it available, unless the environment switches it off.
TEST(QVProfileDriverLinuxOprofile, AMissingEventListIsNamedAndTheEnvironmentCanSwitchTheDriverOff) {
    FixtureMachine machine;
    std::filesystem::create_directories(machine.root.file("usr/share/oprofile"));
    QVProfileDriverLinuxOprofile driver(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, "/dev/oprofile");
    CaptureLog([&] { driver.setConfig(Config(QVSessionConfig::TriggerEvent)); });
    QVErrorManager errors;
    driver.getEnvironmentErrors(errors, false);
    ASSERT_TRUE(errors.testWarningId(QVProfileDriverWarningNoEventList));
    std::ostringstream text;
    EXPECT_TRUE(driver.getWarningMessage(text, QVProfileDriverWarningNoEventList));
    EXPECT_EQ(text.str(), "The oprofile driver was unable to find the event list:\n         " +
                              machine.root.file("usr/share/oprofile") +
                              "/i386/core_i7\n"
                              "         Please verify that the oprofile package is installed and that your\n"
                              "         hardware is supported. Only the OS timer trigger is available.");

    EXPECT_TRUE(driver.isAvailable());
    QVProfileDriverLinuxOprofile::disabled_ = true;
    const std::string log = CaptureLog([&] { EXPECT_FALSE(driver.isAvailable()); });
    QVProfileDriverLinuxOprofile::disabled_ = false;
    EXPECT_NE(log.find("[oprofile] oprofile driver disabled by environment variable"), std::string::npos) << log;
}

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
