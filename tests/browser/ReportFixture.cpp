// Writes the inputs of the browser tests:
//   qvprof_report_fixture session PATH   the known session (support/KnownSession.h)
//                                       with tenures and metrics
//   qvprof_report_fixture hostile PATH   a report page whose frames, module and
//                                       title are made to break out of the page
#include <fstream>
#include <iostream>
#include <string>

#include "htmlreport/QVHtmlReport.h"
#include "support/KnownSession.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: qvprof_report_fixture session|hostile PATH\n";
    return 2;
  }
  const std::string what = argv[1];
  const std::string path = argv[2];
  if (what == "session") {
    Quorvel::test::KnownSession::write(path, true);
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
