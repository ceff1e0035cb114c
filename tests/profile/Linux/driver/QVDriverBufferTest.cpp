// The event-buffer readers against a fixture driver root whose "buffer" is a
// plain file: every rewinding read takes the same chunk in again. Chunk
// copies go to a temporary directory of the fixture's own, so what they
// leave behind can be listed.
#include <gtest/gtest.h>

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
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVTempFile.h"

using namespace Quorvel;
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

}  // namespace

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
    std::string copy;
    ASSERT_TRUE(FileReadString(first.path, copy));
    std::string original;
    ASSERT_TRUE(FileReadString(driver.root.file("buffer"), original));
    EXPECT_EQ(copy, original);
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
    std::string copy, original;
    ASSERT_TRUE(FileReadString(driver.chunks.file(names[0]), copy));
    ASSERT_TRUE(FileReadString(driver.root.file("buffer"), original));
    EXPECT_EQ(copy, original);
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
    std::string adapt;
    ASSERT_TRUE(FileReadString(driver.root.file("adapt"), adapt));
    EXPECT_EQ(adapt, "1");
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
    std::string dump;
    FileReadString(driver.root.file("dump"), dump);
    EXPECT_EQ(dump, "1");
}

TEST(QVDriverBufferSimple, AppendsEveryChunkUnreadToOneFile) {
    // The fixture device is a plain file: each rewinding read takes the
    // whole chunk again, so two reads leave it twice in the copy.
    FixtureDriver driver(5, [](QVDriverEventWriter& w) { w.control(OP_CTX_SWITCH_CODE, 9); });
    QVDriverBufferSimple buffer(driver.fs);
    EXPECT_EQ(ThrownQVException([&] { buffer.read(); }).rfind("[" + driver.root.path() + "] invalid file descriptor", 0), 0u);
    ASSERT_TRUE(buffer.open());
    std::string chunk;
    ASSERT_TRUE(FileReadString(driver.root.file("buffer"), chunk));
    EXPECT_EQ(buffer.read(), int(chunk.size()));
    EXPECT_EQ(buffer.read(), int(chunk.size()));
    EXPECT_EQ(buffer.recordCount(), 2 * chunk.size() / 8);
    buffer.close();
    const std::string path = buffer.getFile();
    std::string copy;
    ASSERT_TRUE(FileReadString(path, copy));
    EXPECT_EQ(copy, chunk + chunk);  // corrupt tail and all: the simple reader interprets nothing
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
