# Writes QVHtmlReportAssets.cpp: the page template, script and style as byte
# arrays, so that the report needs no files at run time and a quote or a
# backslash in them needs no escaping. Run by the build with
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -P embed.cmake
# whenever one of the three files changes.
set(body "// Generated from report.html, report.js and report.css; edit those.\n#include \"htmlreport/QVHtmlReportAssets.h\"\n\nnamespace Quorvel {\n\nnamespace {\n")
foreach(pair "kPage;report.html" "kScript;report.js" "kStyle;report.css")
  list(GET pair 0 name)
  list(GET pair 1 file)
  file(READ "${SOURCE_DIR}/${file}" hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR bytes "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," hex "${hex}")
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" hex "${hex}")
  string(APPEND body "const char ${name}[${bytes}] = {\n${hex}};\n")
endforeach()
string(APPEND body "}  // namespace\n\n"
  "const std::string& QVHtmlReportAssets::page() {\n  static const std::string text(kPage, sizeof kPage);\n  return text;\n}\n"
  "const std::string& QVHtmlReportAssets::script() {\n  static const std::string text(kScript, sizeof kScript);\n  return text;\n}\n"
  "const std::string& QVHtmlReportAssets::style() {\n  static const std::string text(kStyle, sizeof kStyle);\n  return text;\n}\n\n"
  "}  // namespace Quorvel\n")
file(WRITE "${OUTPUT}.tmp" "${body}")
# Unchanged content keeps its time stamp, so nothing recompiles needlessly.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
