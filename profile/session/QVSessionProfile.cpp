#include "session/QVSessionProfile.h"

#include <utility>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "config/QVSessionConfig.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"

namespace Quorvel {

const std::string QVSessionProfile::KeyCollectCallStacks = "collect_callstacks";
const std::string QVSessionProfile::KeyMonitorProcessExits = "monitor_proc_exits";
const std::string QVSessionProfile::KeyAllowPowerManagement = "allow_power_mgmt";
const std::string QVSessionProfile::KeyGatherKernelSymbols = "gather_kernel_symbols";
const std::string QVSessionProfile::KeyProfileCpuBufferSize = "profile_cpu_buffer_size";
const std::string QVSessionProfile::KeyProfileBufferMultiple = "profile_buffer_multiple";
const std::string QVSessionProfile::KeyProfileBufferWatershedPercent = "profile_buffer_watershed_percent";
const std::string QVSessionProfile::KeyNotifyBufferSize = "notify_buffer_size";
const std::string QVSessionProfile::KeyNotifyBufferWatershedPercent = "notify_buffer_watershed_percent";
const std::string QVSessionProfile::KeyProfileDriverName = "profile_driver";
const std::string QVSessionProfile::KeyProfileDriverIdentifier = "profile_driver_id";
const std::string QVSessionProfile::KeyNotifyDriverName = "notify_driver";
const std::string QVSessionProfile::KeyNotifyDriverIdentifier = "notify_driver_id";

QVSessionProfile::QVSessionProfile(const std::shared_ptr<QVSessionConfig>& config,
                                   const boost::posix_time::ptime& beginTime,
                                   const boost::posix_time::ptime& endTime, bool indentDocument, bool shareObjects)
    : QVSession(indentDocument, shareObjects), config_(config), beginTime_(beginTime), endTime_(endTime) {}

QVSessionProfile::~QVSessionProfile() = default;

std::string QVSessionProfile::schemaNameSpace() const { return "http://www.quorvel.com/schemas/VeskFileFormat"; }

std::string QVSessionProfile::schemaInstance() const { return "http://www.w3.org/2001/XMLSchema-instance"; }

std::string QVSessionProfile::schemaLocation() const { return "VeskFileFormat.xsd"; }

void QVSessionProfile::gatherIdentifiers() const {
  QVSampleIdentifiers ids;
  if (callStackData_) {
    callStackData_->getIdentifiers(ids);
  }
  if (systemCallData_) {
    systemCallData_->getIdentifiers(ids);
  }
  if (threadTenureData_) {
    threadTenureData_->getIdentifiers(ids);
  }
  systemIds_ = std::move(ids.systemIds);
  processIds_ = std::move(ids.processIds);
  threadIds_ = std::move(ids.threadIds);
  contexts_ = std::move(ids.contexts);
  moduleIds_ = std::move(ids.moduleIds);
  sectionIds_ = std::move(ids.sectionIds);
  symbolIds_ = std::move(ids.symbolIds);
  sourceFileIds_ = std::move(ids.sourceFileIds);
}

void QVSessionProfile::encodeWithArchiver(QVArchiver* archiver) const {
  QVSession::encodeWithArchiver(archiver);

  archiver->beginList("SessionInfo");
  if (config_) {
    archiver->encodeObject(*config_, "Config");
  }
  archiver->encodeTime(beginTime_, "StartTime");
  archiver->encodeTime(endTime_, "EndTime");
  archiver->encodeObject(properties_, "Properties");
  archiver->encodeString(notes_, "Notes");
  archiver->endList("SessionInfo");

  archiver->beginList("SessionData");
  if (callStackData_) {
    archiver->encodeObject(*callStackData_, "CallStackData");
  }
  if (threadTenureData_) {
    archiver->encodeObject(*threadTenureData_, "ThreadTenureData");
  }
  if (systemCallData_) {
    archiver->encodeObject(*systemCallData_, "SysCallData");
  }
  if (metricData_) {
    archiver->encodeObject(*metricData_, "MetricData");
  }
  archiver->endList("SessionData");
}

void QVSessionProfile::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVSession::decodeWithUnarchiver(unarchiver);

  unarchiver->enterElement("SessionInfo");
  config_.reset();
  if (unarchiver->hasValueForKey("Config")) {
    unarchiver->decodeObjectForKey("Config", config_);
  }
  unarchiver->decodeTime("StartTime", beginTime_);
  unarchiver->decodeTime("EndTime", endTime_);
  unarchiver->decodeObject("Properties", properties_);
  notes_.clear();
  if (unarchiver->hasValueForKey("Notes")) {
    unarchiver->decodeString("Notes", notes_);
  }
  unarchiver->leaveElement("SessionInfo");

  callStackData_.reset();
  threadTenureData_.reset();
  systemCallData_.reset();
  metricData_.reset();
  // Written files always have the element; it is absent only from files
  // that carried no samples at all.
  if (unarchiver->hasValueForKey("SessionData")) {
    unarchiver->enterElement("SessionData");
    if (unarchiver->hasValueForKey("CallStackData")) {
      unarchiver->decodeObjectForKey("CallStackData", callStackData_);
    }
    if (unarchiver->hasValueForKey("ThreadTenureData")) {
      unarchiver->decodeObjectForKey("ThreadTenureData", threadTenureData_);
    }
    if (unarchiver->hasValueForKey("SysCallData")) {
      unarchiver->decodeObjectForKey("SysCallData", systemCallData_);
    }
    if (unarchiver->hasValueForKey("MetricData")) {
      metricData_ = std::make_shared<QVSessionDataMetrics>();
      unarchiver->decodeObject("MetricData", *metricData_);
    }
    unarchiver->leaveElement("SessionData");
  }
}

std::shared_ptr<QVSessionConfig> QVSessionProfile::config() const { return config_; }

void QVSessionProfile::setBeginTime(const boost::posix_time::ptime& time) { beginTime_ = time; }

boost::posix_time::ptime QVSessionProfile::beginTime() const { return beginTime_; }

void QVSessionProfile::setEndTime(const boost::posix_time::ptime& time) { endTime_ = time; }

boost::posix_time::ptime QVSessionProfile::endTime() const { return endTime_; }

const QVPropertyMap& QVSessionProfile::properties() const { return properties_; }

QVPropertyMap& QVSessionProfile::mutableProperties() { return properties_; }

void QVSessionProfile::setCallStackData(const std::shared_ptr<QVSessionDataCallStackTenures>& data) {
  callStackData_ = data;
  _invalidateIdentifiers();
}

std::shared_ptr<QVSessionDataCallStackTenures> QVSessionProfile::callStackData() const { return callStackData_; }

void QVSessionProfile::setSystemCallData(const std::shared_ptr<QVSessionDataSystemCallTenures>& data) {
  systemCallData_ = data;
  _invalidateIdentifiers();
}

std::shared_ptr<QVSessionDataSystemCallTenures> QVSessionProfile::systemCallData() const { return systemCallData_; }

void QVSessionProfile::setThreadTenureData(const std::shared_ptr<QVSessionDataThreadTenures>& data) {
  threadTenureData_ = data;
  _invalidateIdentifiers();
}

std::shared_ptr<QVSessionDataThreadTenures> QVSessionProfile::threadTenureData() const { return threadTenureData_; }

}  // namespace Quorvel
