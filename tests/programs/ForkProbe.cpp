// Starts COUNT children one after another; each spins for MILLISECONDS of
// its own CPU time in spin_in_child and exits. The children's pids are
// printed one a line once the last is reaped, so a test can tell their
// samples from the parent's.
//
//   fork_probe COUNT MILLISECONDS
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

volatile unsigned long sink;

unsigned long long threadCpuNanos() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000000000ull + static_cast<unsigned long long>(now.tv_nsec);
}

}  // namespace

// CPU time rather than wall time: on a loaded machine every child still
// spends its share here, where the samples should land.
extern "C" __attribute__((noinline)) void spin_in_child(unsigned long long nanos) {
    const unsigned long long end = threadCpuNanos() + nanos;
    unsigned long value = 1;
    while (threadCpuNanos() < end) {
        // About a tenth of a millisecond between clock reads, which are
        // system calls: the samples land here, not in the kernel.
        for (int i = 0; i < 100000; ++i) value = value * 2862933555777941757ul + 3037000493ul;
        sink = value;
    }
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s COUNT MILLISECONDS\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const unsigned long long nanos = std::strtoull(argv[2], nullptr, 10) * 1000000ull;
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            spin_in_child(nanos);
            _exit(0);
        }
        if (pid < 0) {
            std::perror("fork");
            return 1;
        }
        children.push_back(pid);
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    }
    for (pid_t pid : children) std::printf("%d\n", static_cast<int>(pid));
    return 0;
}
