// Mounts the user-space driver over FUSE in a temporary directory and drives
// its files the way the library does. Skips where FUSE mounting is refused.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverChunkScan.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "support/MountedDriver.h"

using namespace Quorvel;
using Quorvel::test::MountedDriver;
using Quorvel::test::RunCommand;
using Quorvel::test::WriteDriverScript;


TEST(QVProfiledFuse, ServesFactsAndSettingsAsStored) {
    MountedDriver driver(QV_PROFILED_PATH, {});
    if (!driver.mounted()) GTEST_SKIP() << driver.why();
    EXPECT_EQ(driver.read("cpu_type"), "timer");
    EXPECT_EQ(driver.read("pointer_size"), "8");
    EXPECT_EQ(driver.read("num_counters"), "0");
    EXPECT_EQ(driver.read("stats/event_lost_overflow"), "0");
    EXPECT_EQ(driver.read("stats/cpu0/sample_lost_overflow"), "0");
    struct Case {
        const char* entry;
        const char* value;
        int error;
        const char* readBack;
    };
    const Case cases[] = {
        {"backtrace_depth", "512\n", 0, "512"},
        {"backtrace_depth", "513", EINVAL, "512"},
        {"buffer_size", "65536", 0, "65536"},
        {"buffer_size", "0", EINVAL, "65536"},
        {"buffer_watershed", "1024", 0, "1024"},
        {"cpu_buffer_size", "abc", EINVAL, "8192"},
        {"timer_count", "250000", 0, "250000"},
        {"enable", "2", EINVAL, "0"},
        {"cpu_type", "x", EACCES, "timer"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(driver.write(c.entry, c.value), c.error) << c.entry << "=" << c.value;
        EXPECT_EQ(driver.read(c.entry), c.readBack) << c.entry;
    }
}

TEST(QVProfiledFuse, BufferDeliversScriptedUnitsWholeAndEndsAfterDisable) {
    std::vector<QVDriverEventWriter> units;
    for (int i = 0; i < 3; ++i) {
        QVDriverEventWriter unit(true);
        unit.control(OP_CTX_SWITCH_CODE, 100 + i, 100);
        unit.control(OP_TRACE_BEGIN_CODE);
        unit.entry(0x1000 + i, 0);
        unit.entry(0x2000, 0);
        unit.control(OP_TRACE_END_CODE);
        units.push_back(unit);
    }
    const std::string script = WriteDriverScript(units);
    MountedDriver driver(QV_PROFILED_PATH, {"--script=" + script});
    unlink(script.c_str());
    if (!driver.mounted()) GTEST_SKIP() << driver.why();
    ASSERT_EQ(driver.write("enable", "1"), 0);
    ASSERT_EQ(driver.write("enable", "0"), 0);
    int fd = open(driver.path("buffer").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    // The flush request is any 4-byte write; other sizes are refused.
    EXPECT_EQ(::write(fd, "\1\0\0\0", 4), 4);
    EXPECT_EQ(::write(fd, "\1\0", 2), -1);
    std::vector<unsigned char> all, chunk(1 << 16);
    ssize_t n;
    while ((n = ::read(fd, chunk.data(), chunk.size())) > 0) all.insert(all.end(), chunk.begin(), chunk.begin() + n);
    close(fd);
    EXPECT_EQ(n, 0);
    QVDriverChunkScan scan = QVDriverChunkScan::scan(all.data(), all.size() / 8, true);
    EXPECT_EQ(scan.samples, 3u);
    EXPECT_FALSE(scan.corrupt) << scan.fault;
}

TEST(QVProfiledFuse, LiveSamplingAttributesSamplesToTheBusyThread) {
    MountedDriver driver(QV_PROFILED_PATH, {});
    if (!driver.mounted()) GTEST_SKIP() << driver.why();
    ASSERT_EQ(driver.write("backtrace_depth", "512"), 0);
    ASSERT_EQ(driver.write("timer_count", "1000000"), 0);  // 1 ms
    if (int error = driver.write("enable", "1")) GTEST_SKIP() << "perf_event_open refused: " << std::strerror(error);
    const uint64_t self = uint64_t(gettid());
    // Read while sampling, as the library's reading thread does: a buffer
    // left unread overflows on a loaded machine, and counting that as lost is
    // the driver doing its job, not what this test is about.
    std::vector<unsigned char> all;
    std::thread reader([&driver, &all] {
        int fd = open(driver.path("buffer").c_str(), O_RDONLY);
        if (fd < 0) return;
        std::vector<unsigned char> chunk(1 << 17);
        ssize_t n;
        while ((n = ::read(fd, chunk.data(), chunk.size())) > 0)
            all.insert(all.end(), chunk.begin(), chunk.begin() + n);
        close(fd);
    });
    // Busy on this thread for a bounded amount of CPU time: 300 ms at 1 ms
    // periods leaves room for a loaded machine to still yield many samples.
    timespec start, now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    volatile uint64_t spin = 0;
    do {
        for (int i = 0; i < 100000; ++i) spin = spin + 1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000000000ll + (now.tv_nsec - start.tv_nsec) < 300000000ll);
    // A longer interval on request, announced with the factor since the start.
    EXPECT_EQ(driver.write("adapt", "1"), 0);
    EXPECT_EQ(driver.write("enable", "0"), 0);
    // Disabling lets the reader take what is left and then see the end.
    reader.join();
    ASSERT_FALSE(all.empty());
    QVDriverBufferCursorMemory cursor(all.data(), all.size() / 8, true);
    QVDriverEventScanner scanner(cursor, true);
    QVDriverStreamItem item;
    uint64_t ours = 0, tid = 0;
    bool sawBegin = false, sawEnd = false;
    uint64_t adaptFactor = 0;
    while (scanner.next(item)) {
        if (item.kind == QVDriverStreamItem::Control && item.code == OP_CTX_SWITCH_CODE) tid = item.first;
        if (item.kind == QVDriverStreamItem::Control && item.code == OP_TRACE_BEGIN_CODE && tid == self) ++ours;
        sawBegin |= item.kind == QVDriverStreamItem::Control && item.code == OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE;
        sawEnd |= item.kind == QVDriverStreamItem::Control && item.code == OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE;
        if (item.kind == QVDriverStreamItem::Control && item.code == OP_QV_ADAPT_SAMPLING_INTERVAL_CODE)
            adaptFactor = item.first;
    }
    EXPECT_EQ(scanner.fault(), QVDriverStreamFault::None) << scanner.faultText();
    EXPECT_GT(ours, 100u);  // ~300 expected
    EXPECT_TRUE(sawBegin);
    EXPECT_TRUE(sawEnd);
    EXPECT_EQ(adaptFactor, 2u);
    EXPECT_EQ(driver.read("stats/event_lost_overflow"), "0");
}
