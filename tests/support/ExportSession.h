#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Functions of the test binary that synthetic samples point into, so that
// every frame resolves through the real process model to a stable name.
extern "C" int qv_export_main(int);
extern "C" int qv_export_parse(int);
extern "C" int qv_export_lex(int);
extern "C" int qv_export_render(int);
extern "C" int qv_export_draw(int);

namespace Quorvel {
namespace test {

// A session file of this process's calling thread, made of chosen stacks:
// the same input always gives the same samples, ticks and times, so its
// exports can be compared with checked-in files.
class ExportSession {
 public:
  using Function = int (*)(int);

  struct Stack {
    std::vector<Function> frames;  // innermost first; empty for a sample without frames
    int count;                     // samples of this stack
  };

  // The golden session: main;parse;lex 3, main;parse 2, main;render;draw 4,
  // main;render 1, main 1 and one sample without frames: 12 samples.
  static std::vector<Stack> golden();

  // Writes the stacks in order, each sample 1 ms after the previous one
  // (ticks from 1 ms), from a 1 ms timer session that began at
  // 2026-12-05 10:00:00 UTC. With `tenures`, the thread also has one
  // running tenure per sample and one system call (number 1, "write")
  // every fourth sample, 100 us long.
  static void write(const std::string& path, const std::vector<Stack>& stacks, bool tenures = false);

  // The native ids of the process and thread the samples belong to.
  static int64_t processId();
  static int64_t threadId();
};

}  // namespace test
}  // namespace Quorvel
