#pragma once

#include <string>

namespace Quorvel {

// The report page's template, script and style, compiled in from
// report.html, report.js and report.css by the build (see embed.cmake), so
// qvprof needs no data files next to it. The template holds the markers
// @QV_TITLE@, @QV_STYLE@, @QV_DATA@ and @QV_SCRIPT@, once each, in that
// order.
class QVHtmlReportAssets {
 public:
  static const std::string& page();
  static const std::string& script();
  static const std::string& style();
};

}  // namespace Quorvel
