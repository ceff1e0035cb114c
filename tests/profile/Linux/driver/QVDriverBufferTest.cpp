// The driver filesystem and the event-buffer readers against fixture driver
// roots: to the library a driver root is just a directory of small text
// files, and a "buffer" that is a plain file gives every rewinding read the
// same chunk again. Chunk copies go to a temporary directory of the
// fixture's own, so what they leave behind can be listed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Linux/driver/QVDriverBuffer.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "base/QVException.h"
#include "config/QVSessionConfig.h"
#include "support/ElfProbes.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVTempFile.h"

using namespace Quorvel;
using Quorvel::test::ReadWholeFile;
using Quorvel::test::ScratchDirectory;
using Quorvel::test::ThrownQVException;

namespace {

std::string bytesOf(const QVDriverEventWriter& w) {
    return std::string(w.bytes().begin(), w.bytes().end());
}

std::vector<std::string> NamesIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    return names;
}

/// A driver root holding a 64-bit stream of `samples` plain samples, with an
/// optional tail appended to the chunk, and $TMPDIR pointed at `chunks`.
struct FixtureDriver {
    ScratchDirectory root{"qvdriverbuf"};
    ScratchDirectory chunks{"qvdriverchunks"};
    test::ScopedEnvironment tmpdir{"TMPDIR", chunks.path().c_str()};
    std::shared_ptr<QVDriverFilesystem> fs = std::make_shared<QVDriverFilesystem>(root.path());

    explicit FixtureDriver(uint64_t samples, void (*tail)(QVDriverEventWriter&) = nullptr) {
        QVDriverEventWriter w(true);
        w.control(OP_CTX_SWITCH_CODE, 1, 1);
        for (uint64_t i = 0; i < samples; ++i) w.entry(0x1000 + i, 0);
        if (tail) tail(w);
        FileWriteString(root.file("pointer_size"), "8\n");
        FileWriteString(root.file("buffer_size"), "65536\n");
        FileWriteString(root.file("buffer"), bytesOf(w));
    }
};

std::shared_ptr<QVSessionConfig> config(bool adaptive = false, uint64_t threshold = 0, bool limit = false,
                                        uint64_t sampleLimit = 0,
                                        QVSessionConfig::SampleLimitAction action = QVSessionConfig::SampleLimitActionStop) {
    auto c = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer);
    c->adaptiveEnable = adaptive;
    c->adaptiveThreshold = threshold;
    c->sampleLimitEnable = limit;
    c->sampleLimit = sampleLimit;
    c->sampleLimitAction = action;
    return c;
}

// Kernels the lookup is tried on: one that still has the system call, one
// that dropped it, and one that refuses the cookie for another reason.
long kernelWithDcookies(uint64_t, char* buffer, size_t size) {
    const char path[] = "/usr/lib/kernel.so";
    if (size < sizeof path) return -1;
    std::memcpy(buffer, path, sizeof path);
    return long(sizeof path);
}
long kernelWithoutDcookies(uint64_t, char*, size_t) {
    errno = ENOSYS;
    return -1;
}
long kernelRefusingCookie(uint64_t, char*, size_t) {
    errno = EINVAL;
    return -1;
}

}  // namespace

TEST(QVDriverFilesystem, ReadsAndWritesEntriesBelowItsRoot) {
    ScratchDirectory root("qvdriverfs");
    ASSERT_TRUE(FileWriteString(root.file("cpu_type"), "timer\n"));
    ASSERT_TRUE(FileWriteString(root.file("buffer_size"), " 131072\n"));
    ASSERT_TRUE(FileWriteString(root.file("junk"), "12ab\n"));
    QVDriverFilesystem fs(root.path());
    EXPECT_EQ(fs.path("enable"), root.path() + "/enable");
    EXPECT_TRUE(fs.exists("cpu_type"));
    EXPECT_FALSE(fs.exists("num_counters"));
    std::string text;
    ASSERT_TRUE(fs.readString("cpu_type", text));
    EXPECT_EQ(text, "timer\n");

    struct Case {
        const char* entry;
        bool readable;
        uint64_t value;
    };
    const Case cases[] = {{"buffer_size", true, 131072}, {"junk", false, 0}, {"missing", false, 0}};
    for (const Case& c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(fs.readUnsigned(c.entry, value), c.readable) << c.entry;
        EXPECT_EQ(value, c.value) << c.entry;
    }

    EXPECT_TRUE(fs.writeInt("timer_count", -3));
    EXPECT_EQ(ReadWholeFile(root.file("timer_count")), "-3");
    EXPECT_TRUE(fs.writeInt("buffer_size", 4294967296ul));
    EXPECT_EQ(ReadWholeFile(root.file("buffer_size")), "4294967296");
    EXPECT_FALSE(fs.writeString("no/such/dir/entry", "1"));
}

TEST(QVDriverFilesystem, FileDescriptorsRewindAndReportFailures) {
    ScratchDirectory root("qvdriverfs");
    ASSERT_TRUE(FileWriteString(root.file("buffer"), "abcdef"));
    QVDriverFilesystem fs(root.path());
    int fd = 99;
    EXPECT_FALSE(fs.openFileDescriptor("missing", &fd));
    EXPECT_EQ(fd, -1);
    ASSERT_TRUE(fs.openFileDescriptor("buffer", &fd));
    char chunk[4];
    int done = -1;
    // With rewind every read starts at the beginning again.
    ASSERT_TRUE(fs.readFileDescriptor(fd, chunk, 3, &done, true));
    EXPECT_EQ(std::string(chunk, size_t(done)), "abc");
    ASSERT_TRUE(fs.readFileDescriptor(fd, chunk, 3, &done, true));
    EXPECT_EQ(std::string(chunk, size_t(done)), "abc");
    ASSERT_TRUE(fs.readFileDescriptor(fd, chunk, 3, &done, false));
    EXPECT_EQ(std::string(chunk, size_t(done)), "def");
    ASSERT_TRUE(fs.writeFileDescriptor(fd, "XY", 2, &done, true));
    EXPECT_EQ(done, 2);
    EXPECT_TRUE(fs.closeFileDescriptor(fd));
    EXPECT_EQ(ReadWholeFile(root.file("buffer")), "XYcdef");

    EXPECT_FALSE(fs.readFileDescriptor(-1, chunk, 3, &done, true));
    EXPECT_EQ(done, 0);
    EXPECT_FALSE(fs.closeFileDescriptor(fd));  // already closed
    EXPECT_EQ(fs.ioControl("missing", 0, 0), -5);
}

TEST(QVDriverFilesystem, TemporaryFilesCarryThePrefixAndAreRemoved) {
    QVDriverFilesystem fs("/nonexistent");
    std::string path;
    ASSERT_TRUE(fs.createTempFile(path));
    EXPECT_NE(path.find(QVDriverFilesystem::TEMP_FILE_PREFIX), std::string::npos);
    EXPECT_TRUE(FileExists(path));
    EXPECT_TRUE(fs.removeTempFile(path));
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(fs.removeTempFile(path));
}

TEST(QVDriverFilesystem, DcookiesFallBackToTheDriverTableOnlyWithoutTheSystemCall) {
    ScratchDirectory root("qvdriverfs");
    ASSERT_EQ(mkdir(root.file("dcookies").c_str(), 0755), 0);
    ASSERT_TRUE(FileWriteString(root.file("dcookies/1f2e"), "/usr/bin/table-entry\n"));
    ASSERT_TRUE(FileWriteString(root.file("dcookies/7"), ""));
    QVDriverFilesystem fs(root.path());

    struct Case {
        QVDriverFilesystem::DcookieSyscall call;
        uint64_t cookie;
        bool found;
        const char* path;
        const char* warning;  // empty: no warning
    };
    const Case cases[] = {
        {kernelWithDcookies, 0x1f2e, true, "/usr/lib/kernel.so", ""},
        {kernelWithoutDcookies, 0x1f2e, true, "/usr/bin/table-entry", ""},
        {kernelWithoutDcookies, 0x1f2f, false, "", "lookup dcookie 0x1f2f failed (-1)"},
        {kernelWithoutDcookies, 0x7, false, "", "lookup dcookie 0x7 failed (-1)"},  // empty entry
        {kernelWithoutDcookies, 0, false, "", ""},  // cookie 0 never warns
        {kernelRefusingCookie, 0x1f2e, false, "", "lookup dcookie 0x1f2e failed (-1)"},
    };
    for (const Case& c : cases) {
        fs.setDcookieSyscall(c.call);
        std::string path;
        bool found = false;
        const std::string log = test::CaptureLog([&] { found = fs.lookupDcookie(c.cookie, path); });
        SCOPED_TRACE(std::to_string(c.cookie));
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(path, c.path);
        if (*c.warning) {
            EXPECT_NE(log.find(c.warning), std::string::npos) << log;
        } else {
            EXPECT_EQ(log.find("WARNING"), std::string::npos) << log;
        }
    }
}

TEST(QVDriverBufferWindow, CopiesEachChunkToAFileOfItsOwnAndCountsSamples) {
    FixtureDriver driver(25);
    QVDriverBufferWindow buffer(driver.fs);
    EXPECT_TRUE(buffer.is64());
    ASSERT_TRUE(buffer.open(config()));
    const int bytes = buffer.read();
    EXPECT_EQ(bytes, (4 + 25 * 2) * 8);
    EXPECT_EQ(buffer.read(), bytes);
    ASSERT_EQ(buffer.getFileBuffers().size(), 2u);
    const QVFileBufferId first = buffer.getFileBuffers()[0];
    EXPECT_EQ(first.records, 54u);
    EXPECT_EQ(first.samples, 25u);
    EXPECT_FALSE(first.corrupt);
    EXPECT_EQ(ReadWholeFile(first.path), ReadWholeFile(driver.root.file("buffer")));
    EXPECT_EQ(buffer.totalSamples(), 50u);
    EXPECT_EQ(buffer.recordCount(), 108u);
    EXPECT_TRUE(NamesIn(driver.chunks.path()).empty());
    const std::weak_ptr<QVTempFile> held = first.file;
    buffer.close();
    EXPECT_FALSE(held.expired());  // the copy above still holds it
    EXPECT_TRUE(NamesIn(driver.chunks.path()).empty());
}

TEST(QVDriverBufferWindow, KeepsCorruptChunksAfterClose) {
    FixtureDriver driver(3, [](QVDriverEventWriter& w) {
        w.control(OP_CTX_SWITCH_CODE);
        w.word(7);
    });
    QVDriverBufferWindow buffer(driver.fs);
    ASSERT_TRUE(buffer.open(config()));
    std::string log = test::CaptureLog([&] { buffer.read(); });
    EXPECT_NE(log.find("buffer corrupted - unterminated CTX_SWITCH_CODE"), std::string::npos) << log;
    ASSERT_EQ(buffer.getFileBuffers().size(), 1u);
    const QVFileBufferId kept = buffer.getFileBuffers()[0];
    EXPECT_TRUE(kept.corrupt);
    EXPECT_EQ(kept.samples, 3u);
    EXPECT_TRUE(buffer.corrupted());
    EXPECT_TRUE(NamesIn(driver.chunks.path()).empty());
    log = test::CaptureLog([&] { buffer.close(); });
    const std::vector<std::string> names = NamesIn(driver.chunks.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_NE(log.find("] corrupt buffer kept in " + driver.chunks.file(names[0])), std::string::npos) << log;
    EXPECT_EQ(ReadWholeFile(driver.chunks.file(names[0])), ReadWholeFile(driver.root.file("buffer")));
}

TEST(QVDriverBufferWindow, SampleLimitKeepsTheNewestOrStops) {
    {
        FixtureDriver driver(60);
        QVDriverBufferWindow buffer(driver.fs);
        ASSERT_TRUE(buffer.open(config(false, 0, true, 100, QVSessionConfig::SampleLimitActionWrap)));
        buffer.read();
        const std::weak_ptr<QVTempFile> oldest = buffer.getFileBuffers()[0].file;
        buffer.read();  // 120 > 100: the oldest of two goes
        EXPECT_EQ(buffer.getFileBuffers().size(), 1u);
        EXPECT_EQ(buffer.windowSamples(), 60u);
        EXPECT_TRUE(oldest.expired());
        EXPECT_EQ(buffer.totalSamples(), 120u);
    }
    {
        FixtureDriver driver(500);
        QVDriverBufferWindow buffer(driver.fs);
        ASSERT_TRUE(buffer.open(config(false, 0, true, 100, QVSessionConfig::SampleLimitActionWrap)));
        buffer.read();  // a single chunk is never deleted
        EXPECT_EQ(buffer.getFileBuffers().size(), 1u);
        EXPECT_EQ(buffer.windowSamples(), 500u);
    }
    {
        FixtureDriver driver(60);
        QVDriverBufferWindow buffer(driver.fs);
        ASSERT_TRUE(buffer.open(config(false, 0, true, 100, QVSessionConfig::SampleLimitActionStop)));
        EXPECT_GT(buffer.read(), 0);
        EXPECT_EQ(buffer.read(), 0);  // 120 > 100: stop
    }
}

TEST(QVDriverBufferWindow, AsksForALongerIntervalPastTheAdaptiveThreshold) {
    FixtureDriver driver(60, [](QVDriverEventWriter& w) { w.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, 4); });
    FileWriteString(driver.root.file("adapt"), "0");
    QVDriverBufferWindow buffer(driver.fs);
    ASSERT_TRUE(buffer.open(config(true, 50)));
    buffer.read();
    EXPECT_EQ(ReadWholeFile(driver.root.file("adapt")), "1");
    EXPECT_EQ(buffer.windowSamples(), 0u);
    EXPECT_EQ(buffer.totalSamples(), 60u);
    EXPECT_EQ(buffer.adaptFactor(), 4u);
}

TEST(QVDriverBufferWindow, RefusesInvalidSettings) {
    FixtureDriver driver(1);
    QVDriverBufferWindow buffer(driver.fs);
    EXPECT_NE(test::ThrownQVException([&] { buffer.read(); }).find("] invalid config"), std::string::npos);
    ASSERT_TRUE(buffer.open(config(true, 0)));
    EXPECT_NE(test::ThrownQVException([&] { buffer.read(); }).find("] invalid adaptive sampling threshold"),
              std::string::npos);
    ASSERT_TRUE(buffer.open(config(false, 0, true, 0)));
    EXPECT_NE(test::ThrownQVException([&] { buffer.read(); }).find("] invalid sample limit"), std::string::npos);
    ScratchDirectory empty("qvdriverbuf");
    QVDriverBufferWindow missing(std::make_shared<QVDriverFilesystem>(empty.path()));
    EXPECT_FALSE(missing.open(config()));
    EXPECT_NE(test::ThrownQVException([&] { missing.read(); }).find("] invalid file descriptor"), std::string::npos);
}

TEST(QVDriverBuffer, OverflowCountersAndDump) {
    FixtureDriver driver(1);
    QVDriverBufferWindow buffer(driver.fs);
    EXPECT_TRUE(buffer.bufferOverflowed());  // no counters to read
    ASSERT_EQ(mkdir(driver.root.file("stats").c_str(), 0755), 0);
    FileWriteString(driver.root.file("stats/event_lost_overflow"), "0\n");
    EXPECT_FALSE(buffer.bufferOverflowed());
    for (unsigned cpu = 0; cpu < LocalMachineProcessorCount(); ++cpu) {
        const std::string dir = driver.root.file("stats/cpu" + std::to_string(cpu));
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        FileWriteString(dir + "/sample_lost_overflow", "0\n");
    }
    EXPECT_FALSE(buffer.bufferOverflowed());
    const std::string last = "stats/cpu" + std::to_string(LocalMachineProcessorCount() - 1) + "/sample_lost_overflow";
    FileWriteString(driver.root.file(last), "3\n");
    std::string log = test::CaptureLog([&] { EXPECT_TRUE(buffer.bufferOverflowed()); });
    EXPECT_NE(log.find("buffer has overflowed - 3 records have been lost."), std::string::npos) << log;
    FileWriteString(driver.root.file("stats/event_lost_overflow"), "5\n");
    log = test::CaptureLog([&] { EXPECT_TRUE(buffer.bufferOverflowed()); });
    EXPECT_NE(log.find("] buffer has overflowed - 5 records have been lost"), std::string::npos) << log;

    // Without a "dump" entry the flush is a 4-byte write to the device.
    ASSERT_TRUE(buffer.open(config()));
    EXPECT_TRUE(buffer.dump());
    FileWriteString(driver.root.file("dump"), "0");
    EXPECT_TRUE(buffer.dump());
    EXPECT_EQ(ReadWholeFile(driver.root.file("dump")), "1");
}

TEST(QVDriverBufferSimple, AppendsEveryChunkUnreadToOneFile) {
    // The fixture device is a plain file: each rewinding read takes the
    // whole chunk again, so two reads leave it twice in the copy.
    FixtureDriver driver(5, [](QVDriverEventWriter& w) { w.control(OP_CTX_SWITCH_CODE, 9); });
    QVDriverBufferSimple buffer(driver.fs);
    EXPECT_EQ(ThrownQVException([&] { buffer.read(); }).rfind("[" + driver.root.path() + "] invalid file descriptor", 0), 0u);
    ASSERT_TRUE(buffer.open());
    const std::string chunk = ReadWholeFile(driver.root.file("buffer"));
    EXPECT_EQ(buffer.read(), int(chunk.size()));
    EXPECT_EQ(buffer.read(), int(chunk.size()));
    EXPECT_EQ(buffer.recordCount(), 2 * chunk.size() / 8);
    buffer.close();
    EXPECT_EQ(ReadWholeFile(buffer.getFile()), chunk + chunk);  // corrupt tail and all: the simple reader interprets nothing
    EXPECT_TRUE(NamesIn(driver.chunks.path()).empty());
    buffer.discardFile();
    EXPECT_EQ(buffer.getFile(), "");
}

// A recorder killed while it holds chunks leaves nothing in its temporary
// directory: the child reads three chunks, says so, and waits to be killed.
TEST(QVDriverBuffer, KilledReaderLeavesNoChunkFiles) {
    const std::vector<std::pair<const char*, std::function<std::unique_ptr<QVDriverBuffer>(FixtureDriver&)>>> readers = {
        {"simple", [](FixtureDriver& d) { return std::make_unique<QVDriverBufferSimple>(d.fs); }},
        {"window", [](FixtureDriver& d) { return std::make_unique<QVDriverBufferWindow>(d.fs); }},
    };
    for (const auto& reader : readers) {
        SCOPED_TRACE(reader.first);
        FixtureDriver driver(40);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = test::StartChild([&] {
            std::unique_ptr<QVDriverBuffer> buffer = reader.second(driver);
            auto* window = dynamic_cast<QVDriverBufferWindow*>(buffer.get());
            if (!(window ? window->open(config()) : buffer->open())) return 1;
            for (int chunk = 0; chunk < 3; ++chunk)
                if (buffer->read() <= 0) return 2;
            if (::write(ready[1], "r", 1) != 1) return 3;
            for (;;) ::pause();
        });
        ::close(ready[1]);
        pollfd wait{ready[0], POLLIN, 0};
        // An upper bound only: the child answers in milliseconds.
        const bool answered = ::poll(&wait, 1, 60000) == 1 && (wait.revents & POLLIN);
        ::kill(child, SIGKILL);
        EXPECT_EQ(test::WaitForChild(child), 128 + SIGKILL);
        ::close(ready[0]);
        ASSERT_TRUE(answered) << "the reader child did not take its chunks in";
        EXPECT_EQ(NamesIn(driver.chunks.path()), std::vector<std::string>{});
    }
}
