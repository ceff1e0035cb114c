#pragma once

#include <string>
#include <vector>

#include "Linux/driver/QVDriverEventWriter.h"

namespace Quorvel {
namespace test {

// Runs argv (searched in $PATH) with stderr silenced; its exit status, -1
// when it did not exit normally.
int RunCommand(const std::vector<std::string>& argv);

// The user-space driver mounted over FUSE in a temporary directory with the
// given daemon options; unmounted and its directory removed on every path.
// mounted() is false (and why() says why) where FUSE mounting is refused.
class MountedDriver {
public:
    MountedDriver(const std::string& daemon, const std::vector<std::string>& options);
    ~MountedDriver();
    MountedDriver(const MountedDriver&) = delete;
    MountedDriver& operator=(const MountedDriver&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    const std::string& root() const { return root_; }
    std::string path(const std::string& name) const { return root_ + "/" + name; }
    // The entry's first line.
    std::string read(const std::string& name) const;
    // errno of a failed write, 0 on success.
    int write(const std::string& name, const std::string& text) const;

private:
    std::string root_;
    std::string why_;
    bool mounted_ = false;
};

// A script file for the daemon's --script: each unit as a 32-bit length and
// its bytes. The caller removes the file.
std::string WriteDriverScript(const std::vector<QVDriverEventWriter>& units);

}  // namespace test
}  // namespace Quorvel
