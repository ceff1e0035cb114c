// The driver filesystem against a plain fixture directory: to the library a
// driver root is just a directory of small text files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "Linux/driver/QVDriverFilesystem.h"
#include "system/QVFileUtils.h"
#include "support/TestSupport.h"

using namespace Quorvel;
using Quorvel::test::ScratchDirectory;

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
    ASSERT_TRUE(FileReadString(root.file("timer_count"), text));
    EXPECT_EQ(text, "-3");
    EXPECT_TRUE(fs.writeInt("buffer_size", 4294967296ul));
    ASSERT_TRUE(FileReadString(root.file("buffer_size"), text));
    EXPECT_EQ(text, "4294967296");
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
    std::string text;
    ASSERT_TRUE(FileReadString(root.file("buffer"), text));
    EXPECT_EQ(text, "XYcdef");

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
