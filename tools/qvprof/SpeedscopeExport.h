#pragma once

#include <iosfwd>
#include <string>

#include "export/QVSampleSelection.h"
#include "SessionSamples.h"

namespace Quorvel {
namespace qvprof {

// The speedscope format of "qvprof export": one sampled profile per thread,
// in time order, over one shared frame table (function name, module path).
class SpeedscopeExport {
 public:
  static const char* const FormatName;  // "speedscope"

  // False, with nothing written, when no sample passes the filter.
  static bool write(std::ostream& out, const SessionSamples& session, const QVSampleFilter& filter,
                    const std::string& name);
};

}  // namespace qvprof
}  // namespace Quorvel
