#pragma once

#include <memory>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>

#include "archive/QVUnarchiver.h"
#include "data/QVPropertyMap.h"
#include "metrics/QVSessionDataMetrics.h"
#include "session/QVSession.h"

namespace Quorvel {

class QVSessionConfig;
class QVSessionDataCallStackTenures;
class QVSessionDataSystemCallTenures;
class QVSessionDataThreadTenures;

// The result of one recording: its configuration, wall-clock span,
// properties and notes, and up to three kinds of session data. Written as
// one document, the session file (see QVSessionFile), which also carries
// every system, process, thread, module, symbol and source file that the
// samples refer to (QVSession).
//
// Archive layout after the QVSession part: "SessionInfo" holding "Config"
// (object; left out without a configuration), "StartTime", "EndTime"
// (times), "Properties" (object), "Notes" (string; optional when reading);
// then "SessionData" holding "CallStackData", "ThreadTenureData" and
// "SysCallData" (objects), each only when present and each optional when
// reading.
//
// Identifiers are gathered from the call-stack data, then the system-call
// data, then the thread tenures. Replacing any session data makes the next
// save gather again.
class QVSessionProfile : public QVSession {
 public:
  // Names under which a caller records the recording's settings in the
  // properties; the library itself neither reads nor writes them.
  static const std::string KeyCollectCallStacks;              // "collect_callstacks"
  static const std::string KeyMonitorProcessExits;            // "monitor_proc_exits"
  static const std::string KeyAllowPowerManagement;           // "allow_power_mgmt"
  static const std::string KeyGatherKernelSymbols;            // "gather_kernel_symbols"
  static const std::string KeyProfileCpuBufferSize;           // "profile_cpu_buffer_size"
  static const std::string KeyProfileBufferMultiple;          // "profile_buffer_multiple"
  static const std::string KeyProfileBufferWatershedPercent;  // "profile_buffer_watershed_percent"
  static const std::string KeyNotifyBufferSize;               // "notify_buffer_size"
  static const std::string KeyNotifyBufferWatershedPercent;   // "notify_buffer_watershed_percent"
  static const std::string KeyProfileDriverName;              // "profile_driver"
  static const std::string KeyProfileDriverIdentifier;        // "profile_driver_id"
  static const std::string KeyNotifyDriverName;               // "notify_driver"
  static const std::string KeyNotifyDriverIdentifier;         // "notify_driver_id"

  // The flags go to QVSession; recorders pass (false, true).
  QVSessionProfile(const std::shared_ptr<QVSessionConfig>& config, const boost::posix_time::ptime& beginTime,
                   const boost::posix_time::ptime& endTime, bool indentDocument, bool shareObjects);
  ~QVSessionProfile() override;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  void gatherIdentifiers() const override;
  std::string schemaNameSpace() const override;
  std::string schemaInstance() const override;
  std::string schemaLocation() const override;

  virtual std::shared_ptr<QVSessionConfig> config() const;
  virtual void setBeginTime(const boost::posix_time::ptime& time);
  virtual boost::posix_time::ptime beginTime() const;
  virtual void setEndTime(const boost::posix_time::ptime& time);
  virtual boost::posix_time::ptime endTime() const;
  virtual const QVPropertyMap& properties() const;
  virtual QVPropertyMap& mutableProperties();
  virtual void setCallStackData(const std::shared_ptr<QVSessionDataCallStackTenures>& data);
  virtual std::shared_ptr<QVSessionDataCallStackTenures> callStackData() const;
  virtual void setSystemCallData(const std::shared_ptr<QVSessionDataSystemCallTenures>& data);
  virtual std::shared_ptr<QVSessionDataSystemCallTenures> systemCallData() const;
  virtual void setThreadTenureData(const std::shared_ptr<QVSessionDataThreadTenures>& data);
  virtual std::shared_ptr<QVSessionDataThreadTenures> threadTenureData() const;

  // The metrics sampled beside the recording; null when none were.
  void setMetricData(const std::shared_ptr<QVSessionDataMetrics>& data) { metricData_ = data; }
  std::shared_ptr<QVSessionDataMetrics> metricData() const { return metricData_; }

  const std::string& notes() const { return notes_; }
  void setNotes(const std::string& notes) { notes_ = notes; }

  int getCurrentMajorVersion() const override { return 1; }
  int getCurrentMinorVersion() const override { return 0; }

 private:
  std::shared_ptr<QVSessionConfig> config_;
  boost::posix_time::ptime beginTime_;
  boost::posix_time::ptime endTime_;
  QVPropertyMap properties_;
  std::string notes_;
  std::shared_ptr<QVSessionDataCallStackTenures> callStackData_;
  std::shared_ptr<QVSessionDataThreadTenures> threadTenureData_;
  std::shared_ptr<QVSessionDataSystemCallTenures> systemCallData_;
  std::shared_ptr<QVSessionDataMetrics> metricData_;
};

// A profile being read starts empty, as the recorder would make it, and
// takes everything from the document.
template <>
struct QVUnarchiverFactory<QVSessionProfile> {
  static std::shared_ptr<QVSessionProfile> create() {
    return std::make_shared<QVSessionProfile>(nullptr, boost::posix_time::ptime(), boost::posix_time::ptime(),
                                              false, true);
  }
};

}  // namespace Quorvel
