// Writes the inputs of the browser tests:
//   qvprof_report_fixture session PATH   the known session (support/SyntheticSession.h)
//                                       with tenures and metrics
//   qvprof_report_fixture hostile PATH   a report page whose frames, module and
//                                       title are made to break out of the page
//   qvprof_report_fixture wide PATH N    N samples of branching, varied stacks
//                                       (for timing large pages)
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "htmlreport/QVHtmlReport.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"
#include "support/SyntheticSession.h"

namespace {

// Stacks 8 to 40 deep over 4,096 made-up functions: each level calls its
// usual callee nine times in ten and one of seven others otherwise, as
// programs do, which gives tens of thousands of distinct call paths. The
// addresses lie outside any module, so frames merge by address.
void writeWide(const std::string& path, uint64_t samples) {
  Quorvel::test::SyntheticSession session(0);
  uint64_t state = 0x5eed;
  auto next = [&state]() {  // splitmix64
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  };
  std::vector<uint64_t> addresses;
  for (uint64_t i = 0; i < samples; ++i) {
    const uint64_t depth = 8 + next() % 33;
    addresses.clear();
    uint64_t function = next() % 4;
    for (uint64_t level = 0; level < depth; ++level) {
      addresses.push_back(0x10000000 + (function % 4096) * 64);
      const uint64_t callee = next() % 10 == 0 ? 1 + next() % 7 : 0;
      function = function * 8 + callee + level;
    }
    std::vector<uint64_t> innermostFirst(addresses.rbegin(), addresses.rend());
    session.sample(1000000 * (i + 1), 1000000 * (i + 2), innermostFirst);
  }
  // From 08:00:00 to 08:16:40.
  Quorvel::QVSessionFile::write(*session.profile(1000000, 1000000 * (samples + 2), "2026-12-06 08:00:00", 1000000000),
                                path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: qvprof_report_fixture session|hostile|wide PATH [SAMPLES]\n";
    return 2;
  }
  const std::string what = argv[1];
  const std::string path = argv[2];
  if (what == "session") {
    Quorvel::test::KnownSession::write(path, true);
    return 0;
  }
  if (what == "wide") {
    writeWide(path, argc > 3 ? std::stoull(argv[3]) : 1000000);
    return 0;
  }
  if (what != "hostile") {
    std::cerr << "qvprof_report_fixture: unknown fixture '" << what << "'\n";
    return 2;
  }
  // Each of the three outermost frames has a third of the samples.
  Quorvel::QVFlameGraph graph;
  graph.addNode(-1, {"</script><script>window.__hostile = 1; alert(1)</script>", "<img src=x onerror=alert(2)>"}, 1, 1);
  graph.addNode(-1, {"<!-- <script>", "</style>"}, 1, 1);
  graph.addNode(-1, {"operator<<(std::ostream&, A<B>&&)", "\"quoted\" & 'single'"}, 1, 1);
  Quorvel::QVHtmlReport report("</title><script>alert(3)</script>");
  report.addFact("<b>bold?</b>", "</dd></dl><script>alert(4)</script>");
  report.setFlameGraph(graph);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  report.write(out);
  out.close();
  return out ? 0 : 1;
}
