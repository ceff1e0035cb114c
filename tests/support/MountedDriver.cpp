#include "support/MountedDriver.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>

namespace Quorvel {
namespace test {

int RunCommand(const std::vector<std::string>& argv) {
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

MountedDriver::MountedDriver(const std::string& daemon, const std::vector<std::string>& options) {
    char pattern[] = "/tmp/qvprofiledXXXXXX";
    if (!mkdtemp(pattern)) return;
    root_ = pattern;
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        why_ = "/dev/fuse is not usable here";
        return;
    }
    std::vector<std::string> argv = {daemon, root_};
    argv.insert(argv.end(), options.begin(), options.end());
    if (RunCommand(argv) != 0) {
        why_ = "mounting a FUSE filesystem was refused";
        return;
    }
    mounted_ = true;
}

MountedDriver::~MountedDriver() {
    if (mounted_ && RunCommand({"fusermount3", "-u", root_}) != 0) RunCommand({"umount", "-l", root_});
    if (!root_.empty()) rmdir(root_.c_str());
}

std::string MountedDriver::read(const std::string& name) const {
    std::ifstream in(path(name));
    std::string text;
    std::getline(in, text);
    return text;
}

int MountedDriver::write(const std::string& name, const std::string& text) const {
    int fd = open(path(name).c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return errno;
    int error = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) ? 0 : errno;
    close(fd);
    return error;
}

std::string WriteDriverScript(const std::vector<QVDriverEventWriter>& units) {
    char path[] = "/tmp/qvscriptXXXXXX";
    int fd = mkstemp(path);
    for (const QVDriverEventWriter& unit : units) {
        uint32_t length = uint32_t(unit.bytes().size());
        if (::write(fd, &length, 4) != 4 || ::write(fd, unit.bytes().data(), length) != ssize_t(length)) break;
    }
    close(fd);
    return path;
}

}  // namespace test
}  // namespace Quorvel
