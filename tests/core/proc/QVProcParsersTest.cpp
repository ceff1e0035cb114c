#include <gtest/gtest.h>

#include <string>
#include <optional>
#include <tuple>
#include <vector>

#include "proc/QVProcKallsymsParser.h"
#include "proc/QVProcMapsParser.h"
#include "proc/QVProcMeminfoParser.h"
#include "proc/QVProcModulesParser.h"
#include "proc/QVProcStatParser.h"
#include "proc/QVProcTaskStatParser.h"
#include "proc/QVProcTaskStatusParser.h"

using namespace Quorvel;

// Lines marked "real" below were copied from this development machine's
// /proc (Linux 6.18, x86-64); the others are built to the same format to
// reach the cases it did not show.

TEST(QVProcMapsParser, LinesGiveEveryField) {
  // start, end, permissions, offset, device, inode, name, deleted
  using Fields = std::tuple<uint64_t, uint64_t, std::string, uint64_t, std::string, uint64_t, std::string, bool>;
  // readable, writable, executable, shared, bracketed, path
  using Derived = std::tuple<bool, bool, bool, bool, bool, std::string>;
  const struct {
    const char* line;
    Fields fields;
    Derived derived;
  } cases[] = {
      // real
      {"7efe9bf1d000-7efe9c073000 r-xp 00026000 fe:00 332835                     "
       "/usr/lib/x86_64-linux-gnu/libc.so.6",
       {0x7efe9bf1d000, 0x7efe9c073000, "r-xp", 0x26000, "fe:00", 332835, "/usr/lib/x86_64-linux-gnu/libc.so.6", false},
       {true, false, true, false, false, "/usr/lib/x86_64-linux-gnu/libc.so.6"}},
      // real: a copy of /bin/sleep named "my sleep", removed while it ran
      {"556ad1fa5000-556ad1faa000 r-xp 00002000 fe:00 10953217                   /tmp/my sleep (deleted)",
       {0x556ad1fa5000, 0x556ad1faa000, "r-xp", 0x2000, "fe:00", 10953217, "/tmp/my sleep", true},
       {true, false, true, false, false, "/tmp/my sleep"}},
      // real, both
      {"7efe9c0ec000-7efe9c0ee000 r-xp 00000000 00:00 0                          [vdso]",
       {0x7efe9c0ec000, 0x7efe9c0ee000, "r-xp", 0, "00:00", 0, "[vdso]", false}, {true, false, true, false, true, ""}},
      {"558ae37b0000-558ae37d1000 rw-p 00000000 00:00 0                          [heap]",
       {0x558ae37b0000, 0x558ae37d1000, "rw-p", 0, "00:00", 0, "[heap]", false}, {true, true, false, false, true, ""}},
      // An anonymous mapping has nothing after the inode.
      {"7f1c2a400000-7f1c2a600000 rw-p 00000000 00:00 0 ",
       {0x7f1c2a400000, 0x7f1c2a600000, "rw-p", 0, "00:00", 0, "", false}, {true, true, false, false, false, ""}},
      {"7f1c2a400000-7f1c2a401000 rw-s 00000000 00:0e 1055 anon_inode:[perf_event]",
       {0x7f1c2a400000, 0x7f1c2a401000, "rw-s", 0, "00:0e", 1055, "anon_inode:[perf_event]", false},
       {true, true, false, true, false, ""}},
      // An inverted range is returned for the caller to judge.
      {"2000-1000 --xp 00000000 fe:00 1 /bin/x", {0x2000, 0x1000, "--xp", 0, "fe:00", 1, "/bin/x", false},
       {false, false, true, false, false, "/bin/x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto e = QVProcMapsParser::parseLine(c.line);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(c.fields, std::tie(e->start, e->end, e->permissions, e->offset, e->device, e->inode, e->name, e->deleted));
    EXPECT_EQ(c.derived, std::make_tuple(e->isReadable(), e->isWritable(), e->isExecutable(), e->isShared(),
                                         e->isBracketedName(), std::string(e->path())));
  }
}

TEST(QVProcMapsParser, MalformedLinesAreRejectedWithAReason) {
  const char* const bad[] = {
      "",
      "     ",
      "7efe9c0ec000 r-xp 00000000 00:00 0",                        // no '-'
      "7efe9c0ec000-zz r-xp 00000000 00:00 0",                     // bad end
      "1000-2000",                                                 // nothing after the range
      "1000-2000 r-x 00000000 00:00 0",                            // 3-letter permissions
      "1000-2000 r-xq 00000000 00:00 0",                           // unknown sharing letter
      "1000-2000 r-xp",                                            // truncated
      "1000-2000 r-xp 00000000",                                   // no device
      "1000-2000 r-xp 00000000 fe00 1 /x",                         // device without ':'
      "1000-2000 r-xp 00000000 fe:00",                             // no inode
      "1000-2000 r-xp 00000000 fe:00 -1 /x",                       // negative inode
      "1000-2000 r-xp 00000000 fe:00 99999999999999999999999 /x",  // inode overflows
      "10000000000000000-20000000000000000 r-xp 0 fe:00 1 /x",     // addresses overflow
  };
  for (const char* line : bad) {
    std::string_view reason;
    EXPECT_FALSE(QVProcMapsParser::parseLine(line, &reason).has_value()) << line;
    EXPECT_FALSE(reason.empty()) << line;
  }
}

TEST(QVProcMapsParser, FileParseKeepsGoodLinesAndReportsBadOnes) {
  const std::string text =
      "56445eb8a000-56445eb8c000 r--p 00000000 fe:00 247498                     /usr/bin/head\n"
      "garbage line\n"
      "\n"
      "56445eb8c000-56445eb92000 r-xp 00002000 fe:00 247498                     /usr/bin/head\n"
      "56445eb8c000-56445eb92000 r-xp 0000";  // cut off mid-line, as a short read would
  auto result = QVProcMapsParser::parse(text);
  ASSERT_EQ(result.entries.size(), 2u);
  EXPECT_EQ(result.entries[1].offset, 0x2000u);
  ASSERT_EQ(result.issues.size(), 2u);
  EXPECT_EQ(result.issues[0].lineNumber, 2u);
  EXPECT_EQ(result.issues[0].line, "garbage line");
  EXPECT_EQ(result.issues[1].lineNumber, 5u);

  // A huge bad line is reported shortened.
  result = QVProcMapsParser::parse("1000-2000 r-xp 00000000 fe:00 -5 /" + std::string(100000, 'a'));
  EXPECT_TRUE(result.entries.empty());
  ASSERT_EQ(result.issues.size(), 1u);
  EXPECT_EQ(result.issues[0].line.size(), QVProcParseIssue::kMaximumLineLength);
}

// This machine's kernel has no loadable modules (no /proc/modules), so these
// lines follow the kernel's own format: "%s %u", refcount and users (or
// " - -" without module unloading), the state word, " 0x%px" and the taint
// flags in parentheses.

TEST(QVProcModulesParser, LinesGiveEveryField) {
  // name, size, refcount, users, state, load address, end, taints
  using Fields = std::tuple<std::string, uint64_t, int64_t, std::vector<std::string>, std::string,
                            std::optional<uint64_t>, uint64_t, std::string>;
  const std::pair<const char*, Fields> cases[] = {
      {"nf_conntrack 172032 4 xt_conntrack,nf_nat,xt_MASQUERADE, Live 0xffffffffc0ab0000",
       {"nf_conntrack", 172032, 4, {"xt_conntrack", "nf_nat", "xt_MASQUERADE"}, "Live", 0xffffffffc0ab0000,
        0xffffffffc0ab0000 + 172032, ""}},
      {"vboxdrv 491520 2 - Live 0xffffffffc0d00000 (OE)",
       {"vboxdrv", 491520, 2, {}, "Live", 0xffffffffc0d00000, 0xffffffffc0d00000 + 491520, "OE"}},
      // With kernel pointers restricted the kernel prints zeros.
      {"ext4 1015808 1 - Live 0x0000000000000000", {"ext4", 1015808, 1, {}, "Live", 0, 1015808, ""}},
      // Without module unloading support the refcount column is "-".
      {"loop 40960 - - Live 0xffffffffc0300000",
       {"loop", 40960, -1, {}, "Live", 0xffffffffc0300000, 0xffffffffc0300000 + 40960, ""}},
  };
  for (const auto& c : cases) {
    auto e = QVProcModulesParser::parseLine(c.first);
    ASSERT_TRUE(e.has_value()) << c.first;
    EXPECT_EQ(c.second, std::make_tuple(e->name, e->size, e->refCount, e->users, e->state, e->loadAddress, e->end(),
                                        e->taints))
        << c.first;
    EXPECT_TRUE(e->isLive()) << c.first;
  }
}

TEST(QVProcModulesParser, MalformedLines) {
  const char* const bad[] = {
      "",
      "   ",
      "lonely",  // no size
      "mod notanumber 1 - Live 0xffffffffc0000000",
      "mod -5 1 - Live 0xffffffffc0000000",                    // negative size
      "mod 99999999999999999999 1 - Live 0xffffffffc0000000",  // size overflows
      "mod 4096",                                              // truncated after size
      "mod 4096 x - Live 0xffffffffc0000000",                  // bad refcount
      "mod 4096 1 - Live",                                     // live without address
      "mod 4096 1 - Live ffffffffc0000000",                    // address without 0x
      "mod 4096 1 - Live 0xzz",
      "mod 4096 1 - Live 0xffffffffc0000000 trailing",  // not a taint list
      "mod 4096 1 - Live 0xfffffffffffff000",           // range wraps
  };
  for (const char* line : bad) {
    std::string_view reason;
    EXPECT_FALSE(QVProcModulesParser::parseLine(line, &reason).has_value()) << line;
    EXPECT_FALSE(reason.empty()) << line;
  }
  // Modules in transition are kept apart from the live ones.
  const std::string text =
      "mod 4096\n"
      "nf_tables 344064 0 - Live 0xffffffffc0a2f000\n"
      "newmod 16384 0 - Loading 0xffffffffc0c00000\n"
      "oldmod 16384 0 - Unloading 0xffffffffc0c10000\n"
      "xt_conntrack 16384 3 - Live 0xffffffffc0b0e000\n";
  auto result = QVProcModulesParser::parse(text);
  ASSERT_EQ(result.live.size(), 2u);
  EXPECT_EQ(result.live[0].name, "nf_tables");
  EXPECT_EQ(result.live[1].name, "xt_conntrack");
  ASSERT_EQ(result.transient.size(), 2u);
  EXPECT_EQ(result.transient[0].state, "Loading");
  EXPECT_EQ(result.transient[1].state, "Unloading");
  ASSERT_EQ(result.issues.size(), 1u);
  EXPECT_EQ(result.issues[0].lineNumber, 1u);
}

TEST(QVProcKallsymsParser, RealImageAndModuleSymbols) {
  using Fields = std::tuple<uint64_t, char, std::string, std::string, bool, bool>;
  // address, type, name, module, function, global of a parsed line
  auto fields = [](const char* line) {
    auto e = QVProcKallsymsParser::parseLine(line);
    return e ? Fields{e->address, e->type, e->name, e->module, e->isFunction(), e->isGlobal()} : Fields{};
  };
  // real, the first three: the module column is separated by a tab, and
  // weak symbols are not functions for the kernel process
  EXPECT_EQ(fields("ffffffff81000000 T _stext"), (Fields{0xffffffff81000000, 'T', "_stext", "", true, true}));
  EXPECT_EQ(fields("ffffffffc0201000 t ftrace_trampoline\t[__builtin__ftrace]"),
            (Fields{0xffffffffc0201000, 't', "ftrace_trampoline", "__builtin__ftrace", true, false}));
  EXPECT_EQ(fields("ffffffff81207840 W abort"), (Fields{0xffffffff81207840, 'W', "abort", "", false, true}));
  // What an unprivileged reader sees with kptr_restrict set.
  EXPECT_EQ(fields("0000000000000000 T _text"), (Fields{0, 'T', "_text", "", true, true}));
}

TEST(QVProcKallsymsParser, MalformedLines) {
  const std::string tooLong = "ffffffff81000000 T " + std::string(QVProcKallsymsParser::kMaximumLineLength, 'n');
  const std::string bad[] = {
      "",
      "    ",
      "ffffffff81000000",                // address only
      "ffffffff81000000 T",              // no name
      "ffffffff81000000 TT name",        // type of two letters
      "xyz T name",                      // bad address
      "1ffffffffffffffff T name",        // address overflows
      "ffffffff81000000 t name module",  // module without brackets
      "ffffffff81000000 t name []",      // empty module
      "ffffffff81000000 t name [mod] extra",
      tooLong,
  };
  for (const std::string& line : bad) {
    std::string_view reason;
    EXPECT_FALSE(QVProcKallsymsParser::parseLine(line, &reason).has_value()) << line.substr(0, 60);
    EXPECT_FALSE(reason.empty()) << line.substr(0, 60);
  }
}

TEST(QVProcKallsymsParser, WholeFileKeepsOrderAndCountsIssues) {
  // Blank and whitespace-only lines (a trailing newline, a hand-edited copy)
  // are skipped without an issue; only the broken line is reported.
  const std::string text =
      "ffffffff81000000 T srso_alias_untrain_ret\n"
      "\n"
      "ffffffff81000000 T _stext\n"
      "broken\n"
      "  \t\n"
      "ffffffffc0201000 t ftrace_trampoline\t[__builtin__ftrace]";
  auto result = QVProcKallsymsParser::parse(text);
  ASSERT_EQ(result.entries.size(), 3u);
  EXPECT_EQ(result.entries[0].name, "srso_alias_untrain_ret");
  EXPECT_EQ(result.entries[1].name, "_stext");
  EXPECT_EQ(result.entries[2].module, "__builtin__ftrace");
  ASSERT_EQ(result.issues.size(), 1u);
  EXPECT_EQ(result.issues[0].lineNumber, 4u);

  std::size_t functions = 0;
  EXPECT_EQ(QVProcKallsymsParser::forEach(
                text, [&functions](const QVProcKallsymsEntry& entry) { functions += entry.isFunction() ? 1 : 0; }),
            3u);
  EXPECT_EQ(functions, 3u);
}

TEST(QVProcStatParser, RealSystemCounters) {
  // real, with the long per-interrupt list of "intr" shortened
  const std::string text =
      "cpu  4946 0 4760 85299 284 0 174 0 0 0\n"
      "cpu0 2035 0 1973 43646 13 0 61 0 0 0\n"
      "cpu1 2911 0 2786 41653 270 0 113 0 0 0\n"
      "intr 201272 0 0 0 0 0 0 0\n"
      "ctxt 379864\n"
      "btime 1796497790\n"
      "processes 8029\n"
      "procs_running 2\n"
      "procs_blocked 0\n"
      "softirq 123 4 5\n";
  QVProcStatInfo info = QVProcStatParser::parse(text);
  EXPECT_TRUE(info.issues.empty());
  ASSERT_TRUE(info.total.has_value());
  // index, columns, user, idle and softirq ticks of the total
  EXPECT_EQ(std::make_tuple(-1, std::size_t{10}, uint64_t{4946}, uint64_t{85299}, uint64_t{174}),
            std::make_tuple(info.total->index, info.total->fieldCount, info.total->ticks[QVProcCpuTimes::User],
                            info.total->ticks[QVProcCpuTimes::Idle], info.total->ticks[QVProcCpuTimes::SoftIrq]));
  ASSERT_EQ(info.processors.size(), 2u);
  EXPECT_EQ(info.processors[1].index, 1);
  EXPECT_EQ(info.processors[1].ticks[QVProcCpuTimes::System], 2786u);
  // btime, intr, ctxt, processes, procs_running, procs_blocked
  using Counter = std::optional<uint64_t>;
  EXPECT_EQ(std::make_tuple(Counter{1796497790}, Counter{201272}, Counter{379864}, Counter{8029}, Counter{2}, Counter{0}),
            std::make_tuple(info.bootTime, info.interrupts, info.contextSwitches, info.forks, info.runningTasks,
                            info.blockedTasks));

  // 2.6.11-era kernels stopped after steal (8 columns).
  auto times = QVProcStatParser::parseCpuLine("cpu3 1 2 3 4 5 6 7 8");
  ASSERT_TRUE(times.has_value());
  EXPECT_EQ(std::make_tuple(3, std::size_t{8}, uint64_t{8}, uint64_t{0}),
            std::make_tuple(times->index, times->fieldCount, times->ticks[QVProcCpuTimes::Steal],
                            times->ticks[QVProcCpuTimes::Guest]));
}

TEST(QVProcStatParser, MalformedLinesAreIssuesAndLeaveValuesUnset) {
  const std::string text =
      "cpu  1 2\n"                      // too few columns
      "cpux 1 2 3 4\n"                  // bad processor number
      "cpu0 1 2 3 -4\n"                 // negative ticks
      "btime\n"                         // value missing
      "ctxt 99999999999999999999999\n"  // overflow
      "processes 12 13\n"               // trailing text
      "procs_running 3\n";
  QVProcStatInfo info = QVProcStatParser::parse(text);
  EXPECT_FALSE(info.total.has_value());
  EXPECT_TRUE(info.processors.empty());
  EXPECT_FALSE(info.bootTime.has_value());
  EXPECT_FALSE(info.contextSwitches.has_value());
  EXPECT_FALSE(info.forks.has_value());
  EXPECT_EQ(info.runningTasks, 3u);
  EXPECT_EQ(info.issues.size(), 6u);
}

TEST(QVProcMeminfoParser, MalformedLinesAreIssuesAndCountsNeedNoUnit) {
  const std::string text =
      "no colon here\n"
      ": 12 kB\n"
      "Bad:   x kB\n"
      "Unit:  12 MB\n"
      "Huge:  18014398509481984 kB\n"  // 2^54 kB overflows 64 bits in bytes
      "Trail: 12 kB extra\n"
      "Good:  1 kB\n"
      "HugePages_Total:       0\n";  // real: a count, no unit
  QVProcMeminfo info = QVProcMeminfoParser::parse(text);
  EXPECT_EQ(info.issues.size(), 6u);
  EXPECT_EQ(info.values.size(), 2u);
  EXPECT_EQ(info.value("Good"), 1024u);
  EXPECT_EQ(info.value("HugePages_Total"), 0u);
  EXPECT_FALSE(info.value("Bad").has_value());
}

TEST(QVProcTaskStatParser, RealLinesAndCommandNamesWithParenthesesSpacesAndNewlines) {
  // pid, command, state, ppid, minflt, majflt, utime, stime, priority, threads, start, vsize, rss
  using Fields = std::tuple<int, std::string, char, int, uint64_t, uint64_t, uint64_t, uint64_t, int64_t, int64_t,
                            uint64_t, uint64_t, uint64_t>;
  const std::pair<const char*, Fields> cases[] = {
      // real: /proc/<pid>/stat of `cat`
      {"8030 (cat) R 8018 8018 6980 0 -1 4194304 101 0 0 0 0 0 0 0 20 0 1 0 47851 3133440 386 "
       "18446744073709551615 93883587825664 93883587845545 140726096419680 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0 "
       "93883587861552 93883587863168 93883945099264 140726096423367 140726096423387 140726096423387 "
       "140726096424939 0\n",
       {8030, "cat", 'R', 8018, 101, 0, 0, 0, 20, 1, 47851, 3133440, 386}},
      // real (kthreadd shortened after field 24)
      {"2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 18 0 0 18446744073709551615 0 0",
       {2, "kthreadd", 'S', 0, 0, 0, 0, 0, 20, 1, 18, 0, 0}},
      // real: a process whose name holds a space
      {"11796 (my sleep) S 11790 11790 6980 0 -1 4194304 132 0 0 0 0 0 0 0 20 0 1 0 70026 2990080 420",
       {11796, "my sleep", 'S', 11790, 132, 0, 0, 0, 20, 1, 70026, 2990080, 420}},
      // Names a process can give itself: ") " and "(" inside, and a newline.
      {"77 (a) b (c) Z 1 77 77 0 -1 0 5 0 6 0 7 8 0 0 20 0 1 0 999",
       {77, "a) b (c", 'Z', 1, 5, 6, 7, 8, 20, 1, 999, 0, 0}},
      {"78 (two\nlines) S 1 78 78 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5\n",
       {78, "two\nlines", 'S', 1, 0, 0, 0, 0, 20, 1, 5, 0, 0}},
  };
  for (const auto& c : cases) {
    auto stat = QVProcTaskStatParser::parse(c.first);
    ASSERT_TRUE(stat.has_value()) << c.first;
    EXPECT_EQ(c.second, std::tie(stat->pid, stat->command, stat->state, stat->ppid, stat->minorFaults,
                                 stat->majorFaults, stat->userTicks, stat->systemTicks, stat->priority,
                                 stat->threadCount, stat->startTicks, stat->virtualSize, stat->residentPages))
        << c.first;
    EXPECT_EQ(stat->hasExited(), stat->state == 'Z') << c.first;
  }
}

TEST(QVProcTaskStatParser, MalformedRecords) {
  const char* const bad[] = {
      "",
      "   ",
      "8030 cat R 8018",                                                                   // no parentheses
      "8030 (cat R 8018",                                                                  // unclosed
      "8030 )cat( R 8018 8018 6980 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5",                     // reversed
      "(cat) R 8018 8018 6980 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5",                          // no pid
      "-3 (cat) R 8018 8018 6980 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5",                       // negative pid
      "8030 (cat)",                                                                        // nothing after the name
      "8030 (cat) R 8018 8018 6980 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0",                       // start time missing
      "8030 (cat) RR 8018 8018 6980 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5",                    // state of two letters
      "8030 (cat) R 99999999999 8018 6980 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5",              // ppid beyond int
      "8030 (cat) R 8018 8018 6980 0 -1 0 x 0 0 0 0 0 0 0 20 0 1 0 5",                     // minflt not a number
      "8030 (cat) R 8018 8018 6980 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 99999999999999999999",  // overflow
      "8030 (cat) R 8018 8018 6980 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5 vsize",               // bad optional field
  };
  for (const char* text : bad) {
    std::string_view reason;
    EXPECT_FALSE(QVProcTaskStatParser::parse(text, &reason).has_value()) << text;
    EXPECT_FALSE(reason.empty()) << text;
  }
}

TEST(QVProcTaskStatusParser, RealStatusAndAKernelThreadsWithoutMemoryLines) {
  // real: /proc/<pid>/status of `cat`, the lines the reader uses and some it
  // passes over; the Uid and Gid columns were changed from root's zeros so
  // that the real id is told apart from the effective, saved and fs ids
  const std::string text =
      "Name:\tcat\n"
      "Umask:\t0022\n"
      "State:\tR (running)\n"
      "Tgid:\t8031\n"
      "Ngid:\t0\n"
      "Pid:\t8031\n"
      "PPid:\t8018\n"
      "TracerPid:\t0\n"
      "Uid:\t1000\t1001\t1002\t1003\n"
      "Gid:\t100\t101\t102\t103\n"
      "Groups:\t \n"
      "VmPeak:\t    3060 kB\n"
      "VmSize:\t    3060 kB\n"
      "VmLck:\t       0 kB\n"
      "VmPin:\t       0 kB\n"
      "VmHWM:\t    1724 kB\n"
      "VmRSS:\t    1724 kB\n"
      "RssAnon:\t     116 kB\n"
      "VmData:\t     360 kB\n"
      "VmStk:\t     132 kB\n"
      "VmExe:\t      20 kB\n"
      "VmLib:\t    1528 kB\n"
      "VmPTE:\t      44 kB\n"
      "VmSwap:\t       0 kB\n"
      "untag_mask:\t0xffffffffffffffff\n"
      "Threads:\t1\n"
      "SigQ:\t0/96367\n"
      "voluntary_ctxt_switches:\t0\n"
      "nonvoluntary_ctxt_switches:\t1\n";
  QVProcTaskStatus status = QVProcTaskStatusParser::parse(text);
  EXPECT_TRUE(status.issues.empty());
  EXPECT_EQ(std::make_tuple(std::string("cat"), 'R', uint64_t{8031}, uint64_t{8031}, uint64_t{8018}),
            std::tie(status.name, status.state, status.tgid, status.pid, status.ppid));
  EXPECT_EQ(status.realUid, 1000u);
  EXPECT_EQ(status.realGid, 100u);
  // VmPeak, VmLib and VmPTE in bytes, then threads and both switch counts
  EXPECT_EQ(std::make_tuple(uint64_t{3060 * 1024}, uint64_t{1528 * 1024}, uint64_t{44 * 1024}, int32_t{1}, uint64_t{0},
                            uint64_t{1}),
            std::tie(status.vmPeak, status.vmLib, status.vmPTE, status.threads, status.voluntaryContextSwitches,
                     status.nonvoluntaryContextSwitches));

  // A kernel thread has no memory lines: they read as zero, and are no issue.
  const std::string kthreadd =
      "Name:\tkthreadd\nState:\tS (sleeping)\nTgid:\t2\nPid:\t2\nPPid:\t0\nUid:\t0\t0\t0\t0\nThreads:\t1\n";
  status = QVProcTaskStatusParser::parse(kthreadd);
  EXPECT_TRUE(status.issues.empty());
  EXPECT_EQ(status.vmSize, 0u);
  EXPECT_EQ(status.vmLib, 0u);
  EXPECT_EQ(status.realUid, 0u);
}

TEST(QVProcTaskStatusParser, MalformedValuesAreIssuesAndStayUnset) {
  const std::string text =
      "Tgid:\tabc\n"
      "Uid:\t4294967296\t0\t0\t0\n"     // beyond 32 bits
      "VmRSS:\t12 MB\n"                 // wrong unit
      "VmSize:\t12\n"                   // unit missing
      "VmLib:\t18014398509481984 kB\n"  // bytes overflow 64 bits
      "Threads:\t-2\n"
      "State:\t\n"
      "PPid:\t5 6\n"
      "garbage without a colon\n"
      "Pid:\t9\n";
  QVProcTaskStatus status = QVProcTaskStatusParser::parse(text);
  EXPECT_EQ(status.issues.size(), 8u);
  EXPECT_EQ(status.tgid, 0u);
  EXPECT_FALSE(status.realUid.has_value());
  EXPECT_EQ(status.vmRSS, 0u);
  EXPECT_EQ(status.vmSize, 0u);
  EXPECT_EQ(status.vmLib, 0u);
  EXPECT_EQ(status.threads, 0);
  EXPECT_EQ(status.ppid, 0u);
  EXPECT_EQ(status.pid, 9u);
}
