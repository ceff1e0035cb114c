#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace Quorvel {
namespace test {

// The call-chain probe program run as a child in one of its modes ("spin",
// "block", "exit-after", "churn"), with its standard output on a pipe.
// start() waits for the probe's "ready" line and keeps the "<key> <value>"
// lines printed before it. Whatever still runs when the object goes away is
// killed and reaped.
//
// The probe's functions, by mode: spin runs main -> outer_a -> middle_a ->
// inner_a and thread_b -> work_b -> leaf_b; exit-after runs the first of
// those chains; block sits in main -> block_outer -> block_middle ->
// block_inner -> read(); churn starts threads running churn_worker.
class CallChainProbe {
 public:
  // One build of the probe.
  struct Binary {
    std::string path;
    bool framePointers;
    bool debugInfo;
    std::string label;  // "fp_g", "nofp_nog", ... for test names
  };
  // The four builds: with and without frame pointers, each with and without
  // debug information.
  static const std::vector<Binary>& binaries();

  CallChainProbe(const std::string& program, const std::vector<std::string>& arguments);
  ~CallChainProbe();
  CallChainProbe(const CallChainProbe&) = delete;
  CallChainProbe& operator=(const CallChainProbe&) = delete;

  // Starts the probe and waits up to timeoutMs for "ready". False when it
  // could not be started, ended, or was not ready in time.
  bool start(int timeoutMs = 10000);
  pid_t pid() const { return pid_; }
  // The number printed after "<key> " before "ready" ("pid", "thread_b");
  // -1 when the key was not printed.
  long value(const std::string& key) const;
  // Waits up to timeoutMs for the probe to end and reaps it. True with its
  // wait status when it ended in time; false (the probe left running) when
  // it did not.
  bool wait(int timeoutMs, int& status);

 private:
  std::string program_;
  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
  int output_ = -1;
  std::vector<std::string> lines_;
};

}  // namespace test
}  // namespace Quorvel
