// The driver filesystem against a plain fixture directory: to the library a
// driver root is just a directory of small text files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

namespace {

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
