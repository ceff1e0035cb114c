#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Linux/driver/QVSamplerLinuxQVProfile.h"

namespace Quorvel {

class QVProfileDriverLinuxOprofile;

/// Records every thread of the system through the oprofile driver. The
/// recording runs as with the library's own module (the same buffers,
/// reading thread, limits and decoding); what differs is the stream's
/// dialect: samples in user space arrive as offsets into files named by
/// dcookies, which are placed at their addresses in the sampled process.
///
/// Thread groups and threads the process model does not know are registered
/// as placeholders, so their samples are kept; a file seen under a cookie
/// that the process has not mapped (a placeholder, or a process that has
/// exited) is added to it.
class QVSamplerLinuxOprofile : public QVSamplerLinuxQVProfile {
 public:
  static bool debug_;  ///< QV_DEBUG_OPROFILE: a line per decoded record

  /// Records through the process-wide oprofile driver.
  explicit QVSamplerLinuxOprofile(const std::shared_ptr<QVSessionConfig>& config);
  QVSamplerLinuxOprofile(const std::shared_ptr<QVSessionConfig>& config,
                         const std::shared_ptr<QVProfileDriverLinuxOprofile>& driver);

  /// The file of a cookie: "NO_COOKIE" for 0, "INVALID_COOKIE" for all
  /// ones, "" when the driver cannot resolve it (asked again next time).
  std::string _dcookieToModulePath(uint64_t cookie);

 protected:
  bool _start() override;
  bool _decodeFileBuffer(QVDriverBufferCursorMemory& words, QVDriverSampleDecoder& decoder,
                         uint64_t& processed) override;

 private:
  QVSamplerLinuxOprofile(const std::shared_ptr<QVSessionConfig>& config,
                         const std::shared_ptr<QVProfileDriverLinuxOprofile>& driver, bool wasLoaded);

  /// Where a file's bytes lie in a process: [fileOffset, +length) at address.
  struct Placement {
    uint64_t fileOffset;
    uint64_t length;
    uint64_t address;
  };
  bool _locate(uint64_t tgid, uint64_t cookie, uint64_t offset, uint64_t& address);
  std::vector<Placement> _placements(uint64_t tgid, const std::string& path);
  void _registerContext(uint64_t tgid, uint64_t tid);

  std::shared_ptr<QVProfileDriverLinuxOprofile> oprofile_;
  std::unordered_map<uint64_t, std::string> cookiePaths_;
  std::map<std::pair<uint64_t, uint64_t>, std::vector<Placement>> placements_;  // (tgid, cookie)
};

}  // namespace Quorvel
