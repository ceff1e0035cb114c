#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "archive/QVUnarchiver.h"
#include "config/QVEventProfileConfig.h"
#include "config/QVPerfMonEventId.h"
#include "config/QVSchedulerTraceConfig.h"
#include "config/QVSystemCallTraceConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "data/QVConfig.h"

namespace Quorvel {

// Everything that describes one recording: what triggers a sample, the
// optional time and sample limits, the adaptive-interval threshold and the
// traces that run alongside. Recorders and drivers read the public fields
// directly. Compares by value; archives itself (format 2.0) under
//   "TimeLimitEnable", "TimeLimit", "SampleLimitEnable", "SampleLimit",
//   "SampleLimitAction", "AdaptiveEnable", "AdaptiveThreshold", "Trigger",
//   "EventConfig", "TimerConfig", "SchedTraceConfig", "SyscallTraceConfig"
// after the name and description. Reading accepts documents of older
// versions (without the adaptive and trace keys, with sample-window keys).
class QVSessionConfig : public QVConfig {
 public:
  enum Trigger : int {
    TriggerUnknown = 0,    // "unknown": not set or not recognised
    TriggerTimer = 1,      // "timer": periodic, measured in processor time
    TriggerTimerOS = 2,    // "timeros": periodic, measured by the OS clock
    TriggerTimerUser = 3,  // "timeruser": all threads of one target process
    TriggerEvent = 4,      // "event": every N occurrences of a PMU event
  };

  enum SampleLimitAction : int {
    SampleLimitActionUnknown = 0,  // "unknown"
    SampleLimitActionWrap = 1,     // "wrap": keep the newest samples
    SampleLimitActionStop = 2,     // "stop": end the recording
  };

  bool timeLimitEnable = false;
  double timeLimit = 30.0;  // seconds
  bool sampleLimitEnable = false;
  uint64_t sampleLimit = 1000000;
  SampleLimitAction sampleLimitAction = SampleLimitActionStop;
  bool adaptiveEnable = true;
  uint64_t adaptiveThreshold = 1000000;
  Trigger trigger;
  // Never null after construction; code that resets them to null gets
  // descriptions and documents as if they held their defaults.
  std::shared_ptr<QVTimeProfileConfig> timerConfig;
  std::shared_ptr<QVEventProfileConfig> eventConfig;
  std::shared_ptr<QVSchedulerTraceConfig> schedTraceConfig;
  std::shared_ptr<QVSystemCallTraceConfig> syscallTraceConfig;

  // Named "config", limits off, adaptive threshold on, a 1 ms timer, an
  // empty event configuration and both traces disabled.
  explicit QVSessionConfig(const Trigger& trigger);
  // Deep copies: the sub-configurations are new objects, so changing the
  // copy never reaches the original. A null source raises QVException.
  explicit QVSessionConfig(const std::shared_ptr<QVSessionConfig>& other);
  QVSessionConfig(const QVSessionConfig& other);
  QVSessionConfig& operator=(const QVSessionConfig& other);
  ~QVSessionConfig() override = default;

  static std::string triggerToString(Trigger trigger);
  // Trimmed and lower-cased first; unrecognised text gives TriggerUnknown.
  static Trigger triggerFromString(const std::string& text);
  static std::string sampleLimitActionToString(SampleLimitAction action);
  // Trimmed and lower-cased first; unrecognised text gives
  // SampleLimitActionUnknown.
  static SampleLimitAction sampleLimitActionFromString(const std::string& text);

  // Multiplies the timer interval and the event trigger count by factor,
  // which is expected to be positive.
  void scale(int factor);

  // Rebuilds the sentence or two shown to users, stores it as the
  // configuration's description and returns it. Const objects see the
  // stored description through QVConfig::description().
  using QVConfig::description;
  const std::string& description();

  // The one-line diagnostic form used by stream output and logs.
  void getDescription(std::ostream& os) const;
  // DEBUG lines: the diagnostic form, then each sub-configuration.
  void printDebug() const;

  int getCurrentMajorVersion() const override { return 2; }
  int getCurrentMinorVersion() const override { return 0; }
  // Writes the current user description, not a stale stored one.
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  // A configuration as a document of its own: root element "SessionConfig"
  // with the configuration-profile namespace, the XML Schema instance
  // namespace and the schema location "ConfigProfile.xsd". writeDocument
  // answers false when the stream fails; readDocument raises QVException
  // with the unarchiver's message on a malformed document.
  static bool writeDocument(std::ostream& stream, const QVSessionConfig& config);
  static std::shared_ptr<QVSessionConfig> readDocument(std::istream& stream);

  static const char* schemaNameSpace();
  static const char* schemaInstance();
  static const char* schemaLocation();

 protected:
  virtual void _getDescription(std::ostream& os) const;

 private:
  std::string _buildDescription() const;
  void _updateDescription();
  double _timerInterval() const;
};

// Value equality as recorders see it: limits are compared only when enabled,
// the timer settings only for timer triggers and the event settings only for
// the event trigger; the traces always. Name and description are ignored.
bool operator==(const QVSessionConfig& a, const QVSessionConfig& b);
bool operator!=(const QVSessionConfig& a, const QVSessionConfig& b);

// Both write the diagnostic form; a null pointer prints nothing.
std::ostream& operator<<(std::ostream& os, const QVSessionConfig& config);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSessionConfig>& config);

// A configuration being read starts from a placeholder trigger that the
// document's "Trigger" replaces.
template <>
struct QVUnarchiverFactory<QVSessionConfig> {
  static std::shared_ptr<QVSessionConfig> create() {
    return std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerUnknown);
  }
};

}  // namespace Quorvel
