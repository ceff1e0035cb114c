#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"

namespace Quorvel {

// Names one performance-monitoring event: a stable identifier that drivers
// and documents match on, plus a name and a group for people. Only the
// identifier takes part in equality, ordering and hashing, so an event found
// in a driver's list equals the id a configuration asked for even when the
// two carry different display texts.
//
// Archive keys "Identifier", "Name", "Group" (strings).
class QVPerfMonEventId : public QVArchivable, public QVUnarchivable {
 public:
  QVPerfMonEventId() = default;
  QVPerfMonEventId(std::string identifier, std::string name, std::string group);

  const std::string& identifier() const { return identifier_; }
  const std::string& name() const { return name_; }
  const std::string& group() const { return group_; }
  // True for the null event (no identifier).
  bool empty() const { return identifier_.empty(); }

  // "group:name [identifier]", the group and colon left out when the group
  // is empty.
  void getDescription(std::ostream& os) const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  std::string identifier_;
  std::string name_;
  std::string group_;
};

// Byte-wise comparison of the identifiers.
bool operator==(const QVPerfMonEventId& a, const QVPerfMonEventId& b);
bool operator!=(const QVPerfMonEventId& a, const QVPerfMonEventId& b);
bool operator<(const QVPerfMonEventId& a, const QVPerfMonEventId& b);
bool operator>(const QVPerfMonEventId& a, const QVPerfMonEventId& b);
bool operator<=(const QVPerfMonEventId& a, const QVPerfMonEventId& b);
bool operator>=(const QVPerfMonEventId& a, const QVPerfMonEventId& b);

// boost::hash_combine of boost::hash<std::string>(identifier) into seed 0;
// found by boost::hash through argument-dependent lookup.
std::size_t hash_value(const QVPerfMonEventId& id);

// Both forward to getDescription; a null pointer prints nothing.
std::ostream& operator<<(std::ostream& os, const QVPerfMonEventId& id);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVPerfMonEventId>& id);

// Events every back-end understands whatever the processor; each driver
// maps them onto its own event names. EVENT_ID_NULL is the empty id that
// stands for "no event". Inline so that they are initialised before any
// static object of a translation unit that includes this header.
inline const QVPerfMonEventId EVENT_ID_NULL{};
inline const QVPerfMonEventId EVENT_ID_CPU_CYCLES{"cpu.cycles", "CPU Cycles", "Generic"};
inline const QVPerfMonEventId EVENT_ID_CPU_INSTRUCTIONS_COMPLETED{"cpu.instructions.completed",
                                                                  "Instructions Completed", "Generic"};
inline const QVPerfMonEventId EVENT_ID_CPU_LAST_LEVEL_CACHE_MISSES{"cpu.cache.last_level.misses",
                                                                   "Last Level Cache Misses", "Generic"};
inline const QVPerfMonEventId EVENT_ID_CPU_BRANCH_INSTRUCTIONS{"cpu.branch.instructions", "Branch Instructions",
                                                               "Generic"};
inline const QVPerfMonEventId EVENT_ID_CPU_BRANCH_MISPREDICTS{"cpu.branch.mispredicts", "Branch Mispredicts",
                                                              "Generic"};

}  // namespace Quorvel

namespace std {
template <>
struct hash<Quorvel::QVPerfMonEventId> {
  std::size_t operator()(const Quorvel::QVPerfMonEventId& id) const { return Quorvel::hash_value(id); }
};
}  // namespace std
