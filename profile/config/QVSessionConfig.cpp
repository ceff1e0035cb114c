#include "config/QVSessionConfig.h"

#include <istream>
#include <locale>
#include <ostream>
#include <sstream>
#include <utility>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "archive/QVArchiver.h"
#include "base/QVException.h"
#include "base/QVFormat.h"
#include "base/QVLog.h"

namespace Quorvel {

namespace {

const char* const kTriggerTexts[] = {"unknown", "timer", "timeros", "timeruser", "event"};
const char* const kSampleLimitActionTexts[] = {"unknown", "wrap", "stop"};

std::string NormalisedText(const std::string& text) {
  const std::locale locale;
  return boost::algorithm::to_lower_copy(boost::algorithm::trim_copy(text, locale), locale);
}

bool IsTimerTrigger(QVSessionConfig::Trigger trigger) {
  return trigger == QVSessionConfig::TriggerTimer || trigger == QVSessionConfig::TriggerTimerOS ||
         trigger == QVSessionConfig::TriggerTimerUser;
}

// A missing sub-configuration behaves like a default one: equal to another
// missing one, described and archived with default values, so that a caller
// who cleared a pointer never brings down a recording or a save.
template <class T>
bool SameConfig(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
  if (a && b) {
    return *a == *b;
  }
  return (a ? *a : T()) == (b ? *b : T());
}

template <class T>
std::shared_ptr<T> CopyOf(const std::shared_ptr<T>& source) {
  return source ? std::make_shared<T>(source) : std::make_shared<T>();
}

const QVSessionConfig& Dereference(const std::shared_ptr<QVSessionConfig>& other) {
  if (!other) {
    throw QVException("cannot copy a null session configuration", __LINE__, __FILE__);
  }
  return *other;
}

template <class T>
void EncodeConfig(QVArchiver* archiver, const std::shared_ptr<T>& config, const char* key) {
  if (config) {
    archiver->encodeObject(*config, key);
  } else {
    archiver->encodeObject(T(), key);
  }
}

// Gives the document root the schema attributes before the configuration's
// own keys; the root carries the configuration's format version.
class ConfigDocumentRoot : public QVArchivable {
 public:
  explicit ConfigDocumentRoot(const QVSessionConfig& config) : config_(config) {}

  void encodeWithArchiver(QVArchiver* archiver) const override {
    archiver->encodeAttribute(QVSessionConfig::schemaNameSpace(), "xmlns");
    archiver->encodeAttribute(QVSessionConfig::schemaInstance(), "xmlns:xsi");
    archiver->encodeAttribute(QVSessionConfig::schemaLocation(), "xsi:schemaLocation");
    config_.encodeWithArchiver(archiver);
  }
  int getCurrentMajorVersion() const override { return config_.getCurrentMajorVersion(); }
  int getCurrentMinorVersion() const override { return config_.getCurrentMinorVersion(); }

 private:
  const QVSessionConfig& config_;
};

const char kDocumentRoot[] = "SessionConfig";

}  // namespace

QVSessionConfig::QVSessionConfig(const Trigger& trigger)
    : QVConfig("config", ""),
      trigger(trigger),
      timerConfig(std::make_shared<QVTimeProfileConfig>(0.001)),
      eventConfig(std::make_shared<QVEventProfileConfig>()),
      schedTraceConfig(std::make_shared<QVSchedulerTraceConfig>(0.0)),
      syscallTraceConfig(std::make_shared<QVSystemCallTraceConfig>(0.0)) {}

QVSessionConfig::QVSessionConfig(const std::shared_ptr<QVSessionConfig>& other)
    : QVSessionConfig(Dereference(other)) {}

QVSessionConfig::QVSessionConfig(const QVSessionConfig& other)
    : QVConfig(other),
      timeLimitEnable(other.timeLimitEnable),
      timeLimit(other.timeLimit),
      sampleLimitEnable(other.sampleLimitEnable),
      sampleLimit(other.sampleLimit),
      sampleLimitAction(other.sampleLimitAction),
      adaptiveEnable(other.adaptiveEnable),
      adaptiveThreshold(other.adaptiveThreshold),
      trigger(other.trigger),
      timerConfig(CopyOf(other.timerConfig)),
      eventConfig(CopyOf(other.eventConfig)),
      schedTraceConfig(CopyOf(other.schedTraceConfig)),
      syscallTraceConfig(CopyOf(other.syscallTraceConfig)) {}

QVSessionConfig& QVSessionConfig::operator=(const QVSessionConfig& other) {
  if (this != &other) {
    QVSessionConfig copy(other);
    QVConfig::operator=(copy);
    timeLimitEnable = copy.timeLimitEnable;
    timeLimit = copy.timeLimit;
    sampleLimitEnable = copy.sampleLimitEnable;
    sampleLimit = copy.sampleLimit;
    sampleLimitAction = copy.sampleLimitAction;
    adaptiveEnable = copy.adaptiveEnable;
    adaptiveThreshold = copy.adaptiveThreshold;
    trigger = copy.trigger;
    timerConfig = std::move(copy.timerConfig);
    eventConfig = std::move(copy.eventConfig);
    schedTraceConfig = std::move(copy.schedTraceConfig);
    syscallTraceConfig = std::move(copy.syscallTraceConfig);
  }
  return *this;
}

std::string QVSessionConfig::triggerToString(Trigger trigger) {
  if (trigger >= TriggerUnknown && trigger <= TriggerEvent) {
    return kTriggerTexts[trigger];
  }
  return kTriggerTexts[TriggerUnknown];
}

QVSessionConfig::Trigger QVSessionConfig::triggerFromString(const std::string& text) {
  const std::string normalised = NormalisedText(text);
  for (int value = TriggerTimer; value <= TriggerEvent; ++value) {
    if (normalised == kTriggerTexts[value]) {
      return static_cast<Trigger>(value);
    }
  }
  return TriggerUnknown;
}

std::string QVSessionConfig::sampleLimitActionToString(SampleLimitAction action) {
  if (action >= SampleLimitActionUnknown && action <= SampleLimitActionStop) {
    return kSampleLimitActionTexts[action];
  }
  return kSampleLimitActionTexts[SampleLimitActionUnknown];
}

QVSessionConfig::SampleLimitAction QVSessionConfig::sampleLimitActionFromString(const std::string& text) {
  const std::string normalised = NormalisedText(text);
  for (int value = SampleLimitActionWrap; value <= SampleLimitActionStop; ++value) {
    if (normalised == kSampleLimitActionTexts[value]) {
      return static_cast<SampleLimitAction>(value);
    }
  }
  return SampleLimitActionUnknown;
}

void QVSessionConfig::scale(int factor) {
  if (timerConfig) {
    timerConfig->interval *= factor;
  }
  if (eventConfig) {
    eventConfig->triggerCount = static_cast<uint64_t>(factor) * eventConfig->triggerCount;
  }
}

const std::string& QVSessionConfig::description() {
  _updateDescription();
  return QVConfig::description();
}

double QVSessionConfig::_timerInterval() const {
  return timerConfig ? timerConfig->interval : QVTimeProfileConfig().interval;
}

std::string QVSessionConfig::_buildDescription() const {
  std::ostringstream text;
  switch (trigger) {
    case TriggerTimerUser:
      text << "Samples are taken for all threads in the target process every "
           << FormatTimeSeconds(_timerInterval()) << ".\n";
      break;
    case TriggerEvent: {
      const QVEventProfileConfig events = eventConfig ? *eventConfig : QVEventProfileConfig();
      text << "A sample is taken every " << events.triggerCount << " occurrences of CPU event \""
           << events.triggerEvent.name() << "\". \n";
      break;
    }
    case TriggerTimer:
    case TriggerTimerOS:
      // A timer that never fires has nothing worth telling the user.
      if (_timerInterval() > 0) {
        text << "A sample is taken every " << FormatTimeSeconds(_timerInterval())
             << (trigger == TriggerTimer ? " (CPU Time)" : " (OS Time)") << ".\n";
      }
      break;
    default:
      text << "Unknown trigger event. ";
      break;
  }
  if (timeLimitEnable && timeLimit > 0) {
    text << "Profiling ends automatically after " << FormatTimeSeconds(timeLimit) << ". \n";
  }
  if (sampleLimitEnable && sampleLimit != 0) {
    switch (sampleLimitAction) {
      case SampleLimitActionWrap:
        text << "Profiling wraps after " << sampleLimit << " samples have been taken. ";
        break;
      case SampleLimitActionStop:
        text << "Profiling ends automatically after " << sampleLimit << " samples have been taken. ";
        break;
      default:
        text << "Unknown sample limit action.";
        break;
    }
  }
  if (schedTraceConfig && schedTraceConfig->isEnabled()) {
    text << "Thread scheduler events are traced.\n";
  }
  if (syscallTraceConfig && syscallTraceConfig->isEnabled()) {
    text << "System calls are traced.\n";
  }
  return text.str();
}

void QVSessionConfig::_updateDescription() { setDescription(_buildDescription()); }

void QVSessionConfig::getDescription(std::ostream& os) const { _getDescription(os); }

void QVSessionConfig::_getDescription(std::ostream& os) const {
  os << "name:" << name() << " time limit:";
  if (timeLimitEnable) {
    os << timeLimit;
  } else {
    os << "none";
  }
  os << " sample limit:";
  if (sampleLimitEnable) {
    os << sampleLimit << '(' << sampleLimitActionToString(sampleLimitAction) << ')';
  } else {
    os << "none";
  }
  os << " adaptive threshold:";
  if (adaptiveEnable) {
    os << adaptiveThreshold;
  } else {
    os << "none";
  }
  os << " trigger:" << triggerToString(trigger);
  if (IsTimerTrigger(trigger)) {
    os << " timer config:{" << (timerConfig ? *timerConfig : QVTimeProfileConfig()) << '}';
  } else if (trigger == TriggerEvent) {
    os << " event config:{" << (eventConfig ? *eventConfig : QVEventProfileConfig()) << '}';
  }
  if (schedTraceConfig && schedTraceConfig->isEnabled()) {
    os << " schedule trace config:{" << *schedTraceConfig << '}';
  }
  if (syscallTraceConfig && syscallTraceConfig->isEnabled()) {
    os << " syscall trace config:{" << *syscallTraceConfig << '}';
  }
}

void QVSessionConfig::printDebug() const {
  QV_DEBUG("config: " << *this);
  QV_DEBUG("eventConfig: " << eventConfig);
  QV_DEBUG("timerConfig: " << timerConfig);
  QV_DEBUG("schedTraceConfig: " << schedTraceConfig);
  QV_DEBUG("syscallTraceConfig: " << syscallTraceConfig);
}

void QVSessionConfig::encodeWithArchiver(QVArchiver* archiver) const {
  // Encoding is const, so the fresh description goes out through a copy of
  // the base part rather than into this object.
  QVConfig current(*this);
  current.setDescription(_buildDescription());
  current.QVConfig::encodeWithArchiver(archiver);

  archiver->encodeBool(timeLimitEnable, "TimeLimitEnable");
  archiver->encodeDouble(timeLimit, "TimeLimit");
  archiver->encodeBool(sampleLimitEnable, "SampleLimitEnable");
  archiver->encodeUnsigned(sampleLimit, "SampleLimit");
  archiver->encodeString(sampleLimitActionToString(sampleLimitAction), "SampleLimitAction");
  archiver->encodeBool(adaptiveEnable, "AdaptiveEnable");
  archiver->encodeUnsigned(adaptiveThreshold, "AdaptiveThreshold");
  archiver->encodeString(triggerToString(trigger), "Trigger");
  EncodeConfig(archiver, eventConfig, "EventConfig");
  EncodeConfig(archiver, timerConfig, "TimerConfig");
  EncodeConfig(archiver, schedTraceConfig, "SchedTraceConfig");
  EncodeConfig(archiver, syscallTraceConfig, "SyscallTraceConfig");
}

void QVSessionConfig::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVConfig::decodeWithUnarchiver(unarchiver);

  unarchiver->decodeBool("TimeLimitEnable", timeLimitEnable);
  timeLimit = unarchiver->decodeDouble("TimeLimit");
  unarchiver->decodeBool("SampleLimitEnable", sampleLimitEnable);
  sampleLimit = unarchiver->decodeUnsigned("SampleLimit");
  std::string text;
  unarchiver->decodeString("SampleLimitAction", text);
  sampleLimitAction = sampleLimitActionFromString(text);

  // The sample window was replaced by the adaptive threshold; old documents
  // still carry it.
  for (const char* obsolete : {"SampleWindowEnable", "SampleWindow"}) {
    if (unarchiver->hasValueForKey(obsolete)) {
      unarchiver->skipValueForKey(obsolete);
    }
  }
  if (unarchiver->hasValueForKey("AdaptiveEnable")) {
    unarchiver->decodeBool("AdaptiveEnable", adaptiveEnable);
  }
  if (unarchiver->hasValueForKey("AdaptiveThreshold")) {
    adaptiveThreshold = unarchiver->decodeUnsigned("AdaptiveThreshold");
  }

  unarchiver->decodeString("Trigger", text);
  trigger = triggerFromString(text);
  unarchiver->decodeObjectForKey("EventConfig", eventConfig);
  unarchiver->decodeObjectForKey("TimerConfig", timerConfig);
  if (unarchiver->hasValueForKey("SchedTraceConfig")) {
    unarchiver->decodeObjectForKey("SchedTraceConfig", schedTraceConfig);
  }
  if (unarchiver->hasValueForKey("SyscallTraceConfig")) {
    unarchiver->decodeObjectForKey("SyscallTraceConfig", syscallTraceConfig);
  }
}

const char* QVSessionConfig::schemaNameSpace() { return "http://www.quorvel.com/schemas/ConfigProfile"; }

const char* QVSessionConfig::schemaInstance() { return "http://www.w3.org/2001/XMLSchema-instance"; }

const char* QVSessionConfig::schemaLocation() { return "ConfigProfile.xsd"; }

bool QVSessionConfig::writeDocument(std::ostream& stream, const QVSessionConfig& config) {
  try {
    QVArchiver::Options options;
    options.indent = true;
    std::unique_ptr<QVArchiver> archiver = QVArchiver::createArchiver(stream, options);
    archiver->encodeObject(ConfigDocumentRoot(config), kDocumentRoot);
    archiver->finish();
  } catch (const QVException& exception) {
    LogException(exception);
    return false;
  }
  return static_cast<bool>(stream);
}

std::shared_ptr<QVSessionConfig> QVSessionConfig::readDocument(std::istream& stream) {
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
  std::shared_ptr<QVSessionConfig> config;
  unarchiver->decodeObjectForKey(kDocumentRoot, config);
  return config;
}

bool operator==(const QVSessionConfig& a, const QVSessionConfig& b) {
  if (a.timeLimitEnable != b.timeLimitEnable || (a.timeLimitEnable && !(a.timeLimit == b.timeLimit))) {
    return false;
  }
  if (a.sampleLimitEnable != b.sampleLimitEnable || (a.sampleLimitEnable && a.sampleLimit != b.sampleLimit)) {
    return false;
  }
  if (a.sampleLimitAction != b.sampleLimitAction) {
    return false;
  }
  if (a.adaptiveEnable != b.adaptiveEnable || (a.adaptiveEnable && a.adaptiveThreshold != b.adaptiveThreshold)) {
    return false;
  }
  if (a.trigger != b.trigger) {
    return false;
  }
  if (IsTimerTrigger(a.trigger) && !SameConfig(a.timerConfig, b.timerConfig)) {
    return false;
  }
  if (a.trigger == QVSessionConfig::TriggerEvent && !SameConfig(a.eventConfig, b.eventConfig)) {
    return false;
  }
  return SameConfig(a.schedTraceConfig, b.schedTraceConfig) && SameConfig(a.syscallTraceConfig, b.syscallTraceConfig);
}

bool operator!=(const QVSessionConfig& a, const QVSessionConfig& b) { return !(a == b); }

std::ostream& operator<<(std::ostream& os, const QVSessionConfig& config) {
  config.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSessionConfig>& config) {
  if (config) {
    config->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
