// Mounts the user-space driver over FUSE in a temporary directory and drives
// its files the way the library does. Skips where FUSE mounting is refused.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverChunkScan.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"

using namespace Quorvel;

namespace {

int runCommand(const std::vector<std::string>& argv) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// A mounted driver; unmounted and its directory removed on every path.
class MountedDriver {
public:
    explicit MountedDriver(std::vector<std::string> options) {
        char pattern[] = "/tmp/qvprofiledXXXXXX";
        if (!mkdtemp(pattern)) return;
        root_ = pattern;
        if (access("/dev/fuse", R_OK | W_OK) != 0) {
            why_ = "/dev/fuse is not usable here";
            return;
        }
        std::vector<std::string> argv = {QV_PROFILED_PATH, root_};
        argv.insert(argv.end(), options.begin(), options.end());
        if (runCommand(argv) != 0) {
            why_ = "mounting a FUSE filesystem was refused";
            return;
        }
        mounted_ = true;
    }
    ~MountedDriver() {
        if (mounted_ && runCommand({"fusermount3", "-u", root_}) != 0) runCommand({"umount", "-l", root_});
        if (!root_.empty()) rmdir(root_.c_str());
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    std::string path(const std::string& name) const { return root_ + "/" + name; }

    std::string read(const std::string& name) const {
        std::ifstream in(path(name));
        std::string text;
        std::getline(in, text);
        return text;
    }
    /// errno of a failed write, 0 on success.
    int write(const std::string& name, const std::string& text) const {
        int fd = open(path(name).c_str(), O_WRONLY | O_TRUNC);
        if (fd < 0) return errno;
        int error = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) ? 0 : errno;
        close(fd);
        return error;
    }

private:
    std::string root_;
    std::string why_;
    bool mounted_ = false;
};

std::string writeScript(const std::vector<QVDriverEventWriter>& units) {
    char path[] = "/tmp/qvscriptXXXXXX";
    int fd = mkstemp(path);
    for (const QVDriverEventWriter& unit : units) {
        uint32_t length = uint32_t(unit.bytes().size());
        if (::write(fd, &length, 4) != 4 || ::write(fd, unit.bytes().data(), length) != ssize_t(length)) break;
    }
    close(fd);
    return path;
}

}  // namespace

TEST(QVProfiledFuse, ServesFactsAndSettingsAsStored) {
    MountedDriver driver({});
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
    const std::string script = writeScript(units);
    MountedDriver driver({"--script=" + script});
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
    MountedDriver driver({});
    if (!driver.mounted()) GTEST_SKIP() << driver.why();
    ASSERT_EQ(driver.write("backtrace_depth", "512"), 0);
    ASSERT_EQ(driver.write("timer_count", "1000000"), 0);  // 1 ms
    if (int error = driver.write("enable", "1")) GTEST_SKIP() << "perf_event_open refused: " << std::strerror(error);
    const uint64_t self = uint64_t(gettid());
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
    ASSERT_EQ(driver.write("enable", "0"), 0);
    int fd = open(driver.path("buffer").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<unsigned char> all, chunk(1 << 17);
    ssize_t n;
    while ((n = ::read(fd, chunk.data(), chunk.size())) > 0) all.insert(all.end(), chunk.begin(), chunk.begin() + n);
    close(fd);
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
