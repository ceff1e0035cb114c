#include "QVProfileDriver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "QVErrorManager.h"
#include "QVFileUtils.h"
#include "QVLog.h"
#include "QVNotificationIds.h"
#include "QVSessionConfig.h"
#include "support/ArchiveRoundTrip.h"
#include "support/DriverRegistrySandbox.h"
#include "support/FakeProfileDriver.h"

namespace Quorvel {
namespace {

using test::ArchiveToString;
using test::DriverRegistrySandbox;
using test::FakeProfileDriver;
using test::UnarchiveFromString;

const std::string& kPerf = QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_PERF;
const std::string& kQVProfile = QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE;
const std::string& kOprofile = QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE;
const std::string& kUnknown = QVProfileDriver::QV_PROFILE_DRIVER_ID_UNKNOWN;

std::vector<std::string> Identifiers(const std::vector<std::shared_ptr<QVProfileDriver>>& drivers) {
  std::vector<std::string> identifiers;
  for (const std::shared_ptr<QVProfileDriver>& driver : drivers) {
    identifiers.push_back(driver->identifier());
  }
  return identifiers;
}

std::string ErrorMessage(const QVProfileDriver& driver, const std::string& id) {
  std::ostringstream text;
  EXPECT_TRUE(driver.getErrorMessage(text, id)) << id;
  return text.str();
}

std::string WarningMessage(const QVProfileDriver& driver, const std::string& id) {
  std::ostringstream text;
  EXPECT_TRUE(driver.getWarningMessage(text, id)) << id;
  return text.str();
}

// Replaces the text of the element named key in an archived document.
std::string WithElementText(const std::string& document, const std::string& key, const std::string& text) {
  const std::string close = "</" + key + ">";
  const size_t end = document.find(close);
  const size_t open = end == std::string::npos ? end : document.rfind("<" + key, end);
  const size_t start = open == std::string::npos ? open : document.find('>', open);
  if (start == std::string::npos || start > end) {
    ADD_FAILURE() << key << " missing from " << document;
    return document;
  }
  return document.substr(0, start + 1) + text + document.substr(end);
}

// ---------------------------------------------------------------------------
// The registry on a machine without back-ends.

TEST(QVProfileDriverRegistryTest, NoBackendLeavesOnePlainUnknownDriverThatCannotLoad) {
  DriverRegistrySandbox sandbox;
  const std::vector<std::shared_ptr<QVProfileDriver>> drivers = QVProfileDriver::availableDrivers();
  ASSERT_EQ(drivers.size(), 1u);
  EXPECT_EQ(drivers[0]->identifier(), "profile.driver.unknown");
  EXPECT_EQ(drivers[0]->name(), "unknown");
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), "profile.driver.unknown");
  EXPECT_EQ(QVProfileDriver::defaultDriver(), drivers[0]);
  // The automatic choice lands on the plain driver, whose load fails.
  EXPECT_FALSE(QVProfileDriver::setDefaultDriverId(""));
  EXPECT_EQ(QVProfileDriver::defaultDriver(), drivers[0]);
  // Later calls hand out the same registry.
  EXPECT_EQ(QVProfileDriver::availableDrivers(), drivers);
}

TEST(QVProfileDriverRegistryTest, NoBackendReportsNoDriverAndNoEventListWarning) {
  DriverRegistrySandbox sandbox;
  const std::shared_ptr<QVProfileDriver> driver = QVProfileDriver::defaultDriver();
  ASSERT_TRUE(driver);
  QVErrorManager errors;
  errors.setErrorId("left over from before");
  driver->getEnvironmentErrors(errors, false);
  EXPECT_EQ(errors.errorIds(), std::vector<std::string>{"QVProfileDriverErrorNoDriver"});
  EXPECT_FALSE(errors.testWarningId(QVProfileDriverWarningNoEventList));
  // The plain driver cannot disable power management; only a virtual
  // machine spares it the warning.
  EXPECT_EQ(errors.testWarningId("QVProfileDriverWarningUnableToDisablePowerManagement"), !driver->virtualMachine());
}

TEST(QVProfileDriverRegistryTest, FillingLogsTheDefaultDriverName) {
  DriverRegistrySandbox sandbox;
  StartCaptureLog();
  QVProfileDriver::availableDrivers();
  std::string log;
  StopCaptureLog(log);
  EXPECT_NE(log.find("default profile driver type: unknown"), std::string::npos) << log;
  EXPECT_NE(log.find("failed to set profile driver to 'profile.driver.unknown'"), std::string::npos) << log;
}

TEST(QVProfileDriverRegistryTest, DefaultDriverFillsTheRegistryOnFirstUse) {
  DriverRegistrySandbox sandbox;
  auto perf = std::make_shared<FakeProfileDriver>(kPerf);
  sandbox.install(perf);
  EXPECT_EQ(QVProfileDriver::defaultDriver(), perf);
  EXPECT_EQ(perf->loadCount(), 1);
}

// ---------------------------------------------------------------------------
// Filling the registry from the back-end providers.

TEST(QVProfileDriverRegistryTest, AvailableBackendsAreListedPerfQVProfileOprofile) {
  DriverRegistrySandbox sandbox;
  // Registered in the opposite order on purpose.
  sandbox.install(std::make_shared<FakeProfileDriver>(kOprofile));
  sandbox.install(std::make_shared<FakeProfileDriver>(kQVProfile));
  sandbox.install(std::make_shared<FakeProfileDriver>(kPerf));
  EXPECT_EQ(Identifiers(QVProfileDriver::availableDrivers()),
            (std::vector<std::string>{kPerf, kQVProfile, kOprofile}));
}

TEST(QVProfileDriverRegistryTest, UnavailableAndNullBackendsAreLeftOut) {
  DriverRegistrySandbox sandbox;
  auto perf = std::make_shared<FakeProfileDriver>(kPerf);
  perf->setAvailable(false);
  sandbox.install(perf);
  QVProfileDriver::registerBackend(kQVProfile, [] { return std::shared_ptr<QVProfileDriver>(); });
  sandbox.install(std::make_shared<FakeProfileDriver>(kOprofile));
  EXPECT_EQ(Identifiers(QVProfileDriver::availableDrivers()), std::vector<std::string>{kOprofile});
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kOprofile);
}

TEST(QVProfileDriverRegistryTest, OnlyTheThreeLinuxBackendsCanRegister) {
  DriverRegistrySandbox sandbox;
  auto provider = [] { return std::make_shared<FakeProfileDriver>(kPerf); };
  EXPECT_FALSE(QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_FREEBSD_HWPMC, provider));
  EXPECT_FALSE(QVProfileDriver::registerBackend(kUnknown, provider));
  EXPECT_FALSE(QVProfileDriver::backendProvider(kUnknown));
  EXPECT_TRUE(QVProfileDriver::registerBackend(kPerf, provider));
  EXPECT_TRUE(QVProfileDriver::backendProvider(kPerf));
  EXPECT_TRUE(QVProfileDriver::registerBackend(kPerf, nullptr));
  EXPECT_FALSE(QVProfileDriver::backendProvider(kPerf));
}

// ---------------------------------------------------------------------------
// The automatic choice.

class QVProfileDriverChoiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    journal_ = std::make_shared<FakeProfileDriver::Journal>();
    perf_ = std::make_shared<FakeProfileDriver>(kPerf, journal_);
    qvprofile_ = std::make_shared<FakeProfileDriver>(kQVProfile, journal_);
    oprofile_ = std::make_shared<FakeProfileDriver>(kOprofile, journal_);
  }

  DriverRegistrySandbox sandbox_;
  std::shared_ptr<FakeProfileDriver::Journal> journal_;
  std::shared_ptr<FakeProfileDriver> perf_;
  std::shared_ptr<FakeProfileDriver> qvprofile_;
  std::shared_ptr<FakeProfileDriver> oprofile_;
};

TEST_F(QVProfileDriverChoiceTest, KernelOlderThan2638PrefersQVProfile) {
  sandbox_.install(perf_);
  sandbox_.install(qvprofile_);
  sandbox_.setKernelVersion("2.6.37");
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kQVProfile);
  EXPECT_TRUE(qvprofile_->isLoaded());
  EXPECT_EQ(perf_->loadCount(), 0);
}

TEST_F(QVProfileDriverChoiceTest, Kernel2638ItselfPrefersPerf) {
  sandbox_.install(perf_);
  sandbox_.install(qvprofile_);
  sandbox_.setKernelVersion("2.6.38");
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  EXPECT_TRUE(perf_->isLoaded());
  EXPECT_EQ(qvprofile_->loadCount(), 0);
}

TEST_F(QVProfileDriverChoiceTest, DistributionReleaseStringsCompareByTheirNumbers) {
  sandbox_.install(perf_);
  sandbox_.install(qvprofile_);
  // A 2.6.32 enterprise kernel with a long build suffix is still older.
  sandbox_.setKernelVersion("2.6.32-754.35.1.el6.x86_64");
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kQVProfile);
  sandbox_.setKernelVersion("5.15.0-91-generic");
  EXPECT_TRUE(QVProfileDriver::setDefaultDriverId(""));
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
}

TEST_F(QVProfileDriverChoiceTest, FallsBackToTheOtherCandidateThenOprofile) {
  sandbox_.install(qvprofile_);
  sandbox_.install(oprofile_);
  sandbox_.setKernelVersion("4.19.0");
  // perf is preferred but absent: qvprofile is next.
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kQVProfile);

  QVProfileDriver::registerBackend(kQVProfile, nullptr);
  QVProfileDriver::resetRegistry();
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kOprofile);
  EXPECT_TRUE(oprofile_->isLoaded());
}

TEST_F(QVProfileDriverChoiceTest, RegisteredCandidateThatFailsToLoadStaysDefault) {
  perf_->setLoadSucceeds(false);
  sandbox_.install(perf_);
  sandbox_.install(qvprofile_);
  sandbox_.install(oprofile_);
  sandbox_.setKernelVersion("3.10.0");
  QVProfileDriver::availableDrivers();
  journal_->clear();
  EXPECT_FALSE(QVProfileDriver::setDefaultDriverId(kUnknown));
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  // Neither later candidate was tried.
  EXPECT_EQ(*journal_, std::vector<std::string>{"load perf"});
  EXPECT_EQ(qvprofile_->loadCount(), 0);
  EXPECT_EQ(oprofile_->loadCount(), 0);
}

TEST_F(QVProfileDriverChoiceTest, LoadedDriversAreUnloadedBeforeTheChosenOneLoads) {
  sandbox_.install(perf_);
  sandbox_.install(qvprofile_);
  sandbox_.install(oprofile_);
  sandbox_.setKernelVersion("3.10.0");
  ASSERT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  // Something else loaded oprofile's kernel side meanwhile.
  oprofile_->setLoaded(true);
  journal_->clear();
  EXPECT_TRUE(QVProfileDriver::setDefaultDriverId(kQVProfile));
  EXPECT_EQ(*journal_, (std::vector<std::string>{"unload perf", "unload oprofile", "load qvprofile"}));
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kQVProfile);
  EXPECT_FALSE(perf_->isLoaded());
  EXPECT_FALSE(oprofile_->isLoaded());
  EXPECT_TRUE(qvprofile_->isLoaded());
}

TEST_F(QVProfileDriverChoiceTest, ChoosingTheCurrentDefaultChangesNothing) {
  sandbox_.install(perf_);
  sandbox_.install(qvprofile_);
  sandbox_.setKernelVersion("3.10.0");
  ASSERT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  journal_->clear();
  EXPECT_TRUE(QVProfileDriver::setDefaultDriverId(kPerf));
  EXPECT_TRUE(journal_->empty()) << (*journal_)[0];
  EXPECT_TRUE(perf_->isLoaded());
}

TEST_F(QVProfileDriverChoiceTest, AnUnregisteredIdentifierFails) {
  sandbox_.install(perf_);
  sandbox_.setKernelVersion("3.10.0");
  ASSERT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  StartCaptureLog();
  EXPECT_FALSE(QVProfileDriver::setDefaultDriverId(QVProfileDriver::QV_PROFILE_DRIVER_ID_FREEBSD_HWPMC));
  std::string log;
  StopCaptureLog(log);
  EXPECT_NE(log.find("failed to set profile driver to 'profile.driver.freebsd.hwpmc'"), std::string::npos) << log;
  // The request still cleared the way for a driver, so perf was unloaded,
  // but the default did not move.
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  EXPECT_FALSE(perf_->isLoaded());
  EXPECT_FALSE(QVProfileDriver::setDefaultDriverId(kOprofile));
}

TEST_F(QVProfileDriverChoiceTest, UnknownIdentifierFailsWhenRealDriversAreRegisteredButNoneLoads) {
  perf_->setLoadSucceeds(false);
  sandbox_.install(perf_);
  sandbox_.setKernelVersion("3.10.0");
  QVProfileDriver::availableDrivers();
  StartCaptureLog();
  EXPECT_FALSE(QVProfileDriver::setDefaultDriverId(""));
  std::string log;
  StopCaptureLog(log);
  EXPECT_NE(log.find("failed to set profile driver to 'profile.driver.linux.perf'"), std::string::npos) << log;
  EXPECT_NE(log.find("failed to set profile driver to 'profile.driver.unknown'"), std::string::npos) << log;
}

// ---------------------------------------------------------------------------
// Environment errors.

TEST_F(QVProfileDriverChoiceTest, OprofileAndQVProfileLoadedTogetherConflict) {
  sandbox_.install(perf_);
  sandbox_.install(qvprofile_);
  sandbox_.install(oprofile_);
  qvprofile_->setLoaded(true);
  oprofile_->setLoaded(true);
  QVErrorManager errors;
  perf_->getEnvironmentErrors(errors, false);
  EXPECT_EQ(errors.errorIds(), std::vector<std::string>{"QVProfileDriverErrorDriverConflict"});
}

TEST_F(QVProfileDriverChoiceTest, AnyOneLoadedBackendSatisfiesTheDriverCheck) {
  sandbox_.install(perf_);
  sandbox_.install(qvprofile_);
  sandbox_.install(oprofile_);
  for (const std::shared_ptr<FakeProfileDriver>& loaded : {perf_, qvprofile_, oprofile_}) {
    perf_->setLoaded(false);
    qvprofile_->setLoaded(false);
    oprofile_->setLoaded(false);
    loaded->setLoaded(true);
    QVErrorManager errors;
    perf_->getEnvironmentErrors(errors, false);
    EXPECT_EQ(errors.errorCount(), 0u) << loaded->name();
  }
  // perf and qvprofile together are no conflict: they do not share counters.
  perf_->setLoaded(true);
  qvprofile_->setLoaded(true);
  oprofile_->setLoaded(false);
  QVErrorManager errors;
  perf_->getEnvironmentErrors(errors, false);
  EXPECT_EQ(errors.errorCount(), 0u);
}

TEST_F(QVProfileDriverChoiceTest, AppendKeepsWhatTheManagerHeld) {
  QVErrorManager errors;
  errors.setErrorId("QVSamplerErrorInsufficientSamples");
  perf_->getEnvironmentErrors(errors, true);
  EXPECT_EQ(errors.errorIds(),
            (std::vector<std::string>{"QVSamplerErrorInsufficientSamples", "QVProfileDriverErrorNoDriver"}));
}

TEST(QVProfileDriverEnvironmentTest, NoEventListWarningNeedsAnEmptyListARealProcessorAndABackend) {
  DriverRegistrySandbox sandbox;
  FakeProfileDriver driver(kOprofile);
  driver.setProcessor(QVProcessorCore2);
  QVErrorManager errors;
  driver.getEnvironmentErrors(errors, false);
  EXPECT_TRUE(errors.testWarningId("QVProfileDriverWarningNoEventList"));

  // Timer mode (processor 0x100) has no events to find.
  driver.setProcessor(QVProcessorTimer);
  driver.getEnvironmentErrors(errors, false);
  EXPECT_FALSE(errors.testWarningId("QVProfileDriverWarningNoEventList"));

  driver.setProcessor(QVProcessorCore2);
  driver.addEvent(EVENT_ID_CPU_CYCLES);
  driver.getEnvironmentErrors(errors, false);
  EXPECT_FALSE(errors.testWarningId("QVProfileDriverWarningNoEventList"));

  FakeProfileDriver plain(kUnknown);
  plain.setProcessor(QVProcessorCore2);
  plain.getEnvironmentErrors(errors, false);
  EXPECT_FALSE(errors.testWarningId("QVProfileDriverWarningNoEventList"));
}

TEST(QVProfileDriverEnvironmentTest, PowerManagementWarningOnlyOnRealMachinesThatCannotDisableIt) {
  DriverRegistrySandbox sandbox;
  FakeProfileDriver driver(kPerf);
  driver.setVirtualMachine(false);
  QVErrorManager errors;
  driver.getEnvironmentErrors(errors, false);
  EXPECT_TRUE(errors.testWarningId("QVProfileDriverWarningUnableToDisablePowerManagement"));
  driver.setVirtualMachine(true);
  driver.getEnvironmentErrors(errors, false);
  EXPECT_FALSE(errors.testWarningId("QVProfileDriverWarningUnableToDisablePowerManagement"));
  driver.setVirtualMachine(false);
  driver.setDisablePowerManagementSupported(true);
  driver.getEnvironmentErrors(errors, false);
  EXPECT_FALSE(errors.testWarningId("QVProfileDriverWarningUnableToDisablePowerManagement"));
}

// ---------------------------------------------------------------------------
// Messages.

TEST(QVProfileDriverMessageTest, ErrorTexts) {
  QVProfileDriver driver(kPerf);
  // The installer path is the installation's directory joined with the
  // script's relative path.
  std::string install = GetInstallDirectory();
  if (!install.empty() && install.back() != '/') {
    install += '/';
  }
  const std::string hint =
      "\n       To install a profiling driver, open a terminal and type:"
      "\n       > su root"
      "\n       > " +
      install + "setup/install_driver.sh";
  EXPECT_EQ(ErrorMessage(driver, "QVProfileDriverErrorUnknown"), "Unknown profile driver error.");
  EXPECT_EQ(ErrorMessage(driver, "QVProfileDriverErrorNoDriver"), "There is no profiling driver installed." + hint);
  EXPECT_EQ(ErrorMessage(driver, "QVProfileDriverErrorDriverConflict"),
            "More than one profiling driver is loaded." + hint);
  EXPECT_EQ(ErrorMessage(driver, "QVProfileDriverErrorIncompatibleConfig"),
            "The selected configuration is incompatible with this hardware.");
  EXPECT_EQ(ErrorMessage(driver, "QVProfileDriverErrorTriggerNotAvailable"), "The selected trigger is not available.");
}

TEST(QVProfileDriverMessageTest, WarningTexts) {
  FakeProfileDriver driver(kOprofile);
  driver.setProcessor(QVProcessorCore2);
  const std::string advice =
      "\n         increased. You may also want to disable the gathering of kernel"
      "\n         symbols with the --disable_kernel_symbols option in order to reduce"
      "\n         sample processing time.";
  EXPECT_EQ(WarningMessage(driver, "QVProfileDriverWarningUnknown"), "Unknown profile driver warning.");
  EXPECT_EQ(WarningMessage(driver, "QVProfileDriverWarningLowCPUFrequency"),
            "Low processor frequency detected - the default timer interval has been" + advice);
  EXPECT_EQ(WarningMessage(driver, "QVProfileDriverWarningLowMemory"),
            "Limited system memory detected - the default timer interval has been" + advice);
  EXPECT_EQ(WarningMessage(driver, "QVProfileDriverWarningNoEventList"),
            "The oprofile driver was unable to find an event list for " + ProcessorToPrettyString(QVProcessorCore2) +
                ".");
  EXPECT_EQ(WarningMessage(driver, "QVProfileDriverWarningVirtualMachine"),
            "Virtual machine detected - CPU timer and CPU event sampling triggers\n"
            "         are not available.");
  EXPECT_EQ(WarningMessage(driver, "QVProfileDriverWarningNoFramePointer"),
            "System-wide time and event profiles of " + ArchitectureToPrettyString(LocalMachineArchitecture()) +
                " binaries may contain\n"
                "         incomplete callstacks because frame pointers are not enabled by\n"
                "         default. Frame pointers can be enabled with a compiler flag. For GCC,\n"
                "         this flag is -fno-omit-frame-pointer. Including the frame pointer\n"
                "         should not significantly impact the performance of most code. Thread\n"
                "         time profiling is not affected by this limitation and should be used\n"
                "         when gathering complete callstacks is important.");
  EXPECT_EQ(WarningMessage(driver, "QVProfileDriverWarningUnableToDisablePowerManagement"),
            "Power management can not be fully disabled with the oprofile driver.\n"
            "         Power management may change the rate at which CPU performance events\n"
            "         occur. Profiling configurations that use a CPU timer trigger or CPU\n"
            "         event trigger may be affected. The OS timer trigger is not affected by\n"
            "         power management and should be used if a constant sampling frequency\n"
            "         is needed.");
}

TEST(QVProfileDriverMessageTest, EveryIdentifierConstantHasItsText) {
  QVProfileDriver driver(kPerf);
  for (const std::string* id : {&QVProfileDriverErrorUnknown, &QVProfileDriverErrorNoDriver,
                                &QVProfileDriverErrorDriverConflict, &QVProfileDriverErrorIncompatibleConfig,
                                &QVProfileDriverErrorTriggerNotAvailable}) {
    EXPECT_FALSE(ErrorMessage(driver, *id).empty()) << *id;
  }
  for (const std::string* id :
       {&QVProfileDriverWarningUnknown, &QVProfileDriverWarningLowCPUFrequency, &QVProfileDriverWarningLowMemory,
        &QVProfileDriverWarningNoEventList, &QVProfileDriverWarningNoFramePointer,
        &QVProfileDriverWarningVirtualMachine, &QVProfileDriverWarningUnableToDisablePowerManagement}) {
    EXPECT_FALSE(WarningMessage(driver, *id).empty()) << *id;
  }
}

TEST(QVProfileDriverMessageTest, ForeignIdentifiersAnswerFalseAndInvalidOnesAreLogged) {
  QVProfileDriver driver(kPerf);
  std::ostringstream text;
  StartCaptureLog();
  // Another class's ids name their kind, so they are simply not ours.
  EXPECT_FALSE(driver.getWarningMessage(text, "QVSamplerWarningBufferOverflow"));
  EXPECT_FALSE(driver.getErrorMessage(text, "QVSamplerErrorInsufficientSamples"));
  std::string quiet;
  StopCaptureLog(quiet);
  EXPECT_EQ(quiet.find("invalid"), std::string::npos) << quiet;
  EXPECT_EQ(text.str(), "");

  StartCaptureLog();
  EXPECT_FALSE(driver.getWarningMessage(text, "foo"));
  EXPECT_FALSE(driver.getErrorMessage(text, "bar"));
  // One of our own error ids asked as a warning is no warning id at all.
  EXPECT_FALSE(driver.getWarningMessage(text, "QVProfileDriverErrorNoDriver"));
  std::string log;
  StopCaptureLog(log);
  EXPECT_NE(log.find("ERROR"), std::string::npos) << log;
  EXPECT_NE(log.find("invalid warning id: QVProfileDriverErrorNoDriver"), std::string::npos) << log;
  EXPECT_NE(log.find("invalid warning id: foo"), std::string::npos) << log;
  EXPECT_NE(log.find("invalid error id: bar"), std::string::npos) << log;
  EXPECT_EQ(text.str(), "");
}

// ---------------------------------------------------------------------------
// The driver object itself.

TEST(QVProfileDriverTest, NamesFollowIdentifiers) {
  EXPECT_EQ(QVProfileDriver(kUnknown).name(), "unknown");
  EXPECT_EQ(QVProfileDriver(kOprofile).name(), "oprofile");
  EXPECT_EQ(QVProfileDriver(kQVProfile).name(), "qvprofile");
  EXPECT_EQ(QVProfileDriver(kPerf).name(), "perf");
  EXPECT_EQ(QVProfileDriver(QVProfileDriver::QV_PROFILE_DRIVER_ID_FREEBSD_HWPMC).name(), "hwpmc");
  EXPECT_EQ(QVProfileDriver(QVProfileDriver::QV_PROFILE_DRIVER_ID_MACOSX_QVPROFILE).name(), "qvprofile");
  EXPECT_EQ(QVProfileDriver("profile.driver.linux.dtrace").name(), "unknown");
  EXPECT_EQ(QVProfileDriver("").name(), "unknown");
}

TEST(QVProfileDriverTest, ConstructorTakesTheLocalMachineAndThreadTimeCapabilities) {
  const QVProfileDriver driver(kPerf);
  EXPECT_EQ(driver.identifier(), kPerf);
  EXPECT_EQ(driver.jiffy(), -1.0);
  EXPECT_EQ(driver.virtualMachine(), LocalMachineIsVM());
  EXPECT_EQ(driver.arch(), LocalMachineArchitecture());
  EXPECT_EQ(driver.processor(), LocalMachineProcessorType());
  EXPECT_EQ(driver.processorCount(), LocalMachineProcessorCount());
  EXPECT_EQ(driver.processorFrequency(), LocalMachineProcessorFrequency());
  EXPECT_EQ(driver.cycleCounterFrequency(), LocalMachineProcessorFrequency());
  EXPECT_EQ(driver.pmcCount(), 0u);
  EXPECT_EQ(driver.pmcWidth(), 32u);
  EXPECT_TRUE(driver.events().empty());
  EXPECT_EQ(driver.events().bucket_count(), 11u);
  EXPECT_TRUE(driver.timeLimitSupported());
  EXPECT_TRUE(driver.threadTimeSamplingSupported());
  EXPECT_TRUE(driver.threadTimeCallstacksSupported());
  for (bool flag : {driver.sampleLimitSupported(), driver.adaptiveIntervalSupported(),
                    driver.disablePowerManagementSupported(), driver.cpuTimeSamplingSupported(),
                    driver.cpuEventSamplingSupported(), driver.osTimeSamplingSupported(),
                    driver.cpuTimeCallstacksSupported(), driver.cpuEventCallstacksSupported(),
                    driver.osTimeCallstacksSupported(), driver.schedTraceSupported(), driver.syscallTraceSupported(),
                    driver.collectCallstacks()}) {
    EXPECT_FALSE(flag);
  }
  EXPECT_FALSE(driver.config());
}

TEST(QVProfileDriverTest, BaseLifecycleFailsAndSettingsAreStored) {
  QVProfileDriver driver(kUnknown);
  EXPECT_FALSE(driver.isAvailable());
  EXPECT_FALSE(driver.load({"--anything"}));
  EXPECT_FALSE(driver.init());
  EXPECT_FALSE(driver.setup());
  EXPECT_FALSE(driver.shutdown());
  EXPECT_FALSE(driver.unload());
  EXPECT_FALSE(driver.isLoaded());

  uint64_t size = 1, watershed = 2, cpuSize = 3;
  driver.getDefaultBufferConfig(size, watershed, cpuSize);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(watershed, 0u);
  EXPECT_EQ(cpuSize, 0u);
  driver.setBufferConfig(1u << 20, 1u << 19, 1u << 16);
  driver.getBufferConfig(size, watershed, cpuSize);
  EXPECT_EQ(size, 1u << 20);
  EXPECT_EQ(watershed, 1u << 19);
  EXPECT_EQ(cpuSize, 1u << 16);

  driver.setCollectCallstacks(true);
  EXPECT_TRUE(driver.collectCallstacks());
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer);
  EXPECT_TRUE(driver.setConfig(config));
  EXPECT_EQ(driver.config(), config);

  QVErrorManager errors;
  errors.setErrorId("QVProfileDriverErrorUnknown");
  driver.getConfigErrors(errors, true);
  EXPECT_EQ(errors.errorCount(), 1u);
  driver.getConfigErrors(errors, false);
  EXPECT_EQ(errors.errorCount(), 0u);
}

TEST(QVProfileDriverTest, CycleConversionsUseTheCycleCounterFrequency) {
  FakeProfileDriver driver(kPerf);
  driver.setCycleCounterFrequency(2400000000u);
  EXPECT_EQ(driver.secondsToCycles(1.0), 2400000000u);
  EXPECT_EQ(driver.cyclesToSeconds(2400000000u), 1.0);
  EXPECT_EQ(driver.secondsToCycles(0.001), 2400000u);
  EXPECT_EQ(driver.secondsToCycles(-1.0), 0u);
  // 3 * 2^62 cycles lies above 2^63, where a signed detour would break.
  driver.setCycleCounterFrequency(uint64_t(1) << 62);
  EXPECT_EQ(driver.secondsToCycles(3.0), uint64_t(3) << 62);
  EXPECT_EQ(driver.cyclesToSeconds(uint64_t(3) << 62), 3.0);
}

TEST(QVProfileDriverTest, ArchiveRoundTripKeepsEveryArchivedMember) {
  FakeProfileDriver driver(kOprofile);
  driver.setProcessor(QVProcessorCore2);
  driver.setVirtualMachine(true);
  driver.setDisablePowerManagementSupported(true);
  driver.setCycleCounterFrequency(2400000000u);
  driver.addEvent(EVENT_ID_CPU_CYCLES);
  driver.addEvent(EVENT_ID_CPU_BRANCH_MISPREDICTS);
  driver.setBufferConfig(0x100000, 0x80000, 0x10000);

  const std::string document = ArchiveToString(driver, "ProfileDriver");
  const std::shared_ptr<QVProfileDriver> decoded = UnarchiveFromString<QVProfileDriver>(document, "ProfileDriver");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->identifier(), kOprofile);
  EXPECT_EQ(decoded->name(), "oprofile");
  EXPECT_EQ(decoded->jiffy(), -1.0);
  EXPECT_TRUE(decoded->virtualMachine());
  EXPECT_EQ(decoded->arch(), driver.arch());
  EXPECT_EQ(decoded->processor(), QVProcessorCore2);
  EXPECT_EQ(decoded->processorCount(), driver.processorCount());
  EXPECT_EQ(decoded->processorFrequency(), driver.processorFrequency());
  EXPECT_EQ(decoded->cycleCounterFrequency(), 2400000000u);
  EXPECT_EQ(decoded->pmcWidth(), 32u);
  EXPECT_EQ(decoded->events(), driver.events());
  EXPECT_TRUE(decoded->disablePowerManagementSupported());
  EXPECT_TRUE(decoded->timeLimitSupported());
  EXPECT_FALSE(decoded->sampleLimitSupported());
  uint64_t size = 0, watershed = 0, cpuSize = 0;
  decoded->getBufferConfig(size, watershed, cpuSize);
  EXPECT_EQ(size, 0x100000u);
  EXPECT_EQ(watershed, 0x80000u);
  EXPECT_EQ(cpuSize, 0x10000u);
  // Writing the decoded driver gives the same document.
  EXPECT_EQ(ArchiveToString(*decoded, "ProfileDriver"), document);
}

TEST(QVProfileDriverTest, ArchivedNumbersAreHexTextAndReadWithBaseDetection) {
  FakeProfileDriver driver(kPerf);
  driver.setCycleCounterFrequency(2400000000u);
  driver.setBufferConfig(4096, 0, 0);
  const std::string document = ArchiveToString(driver, "ProfileDriver");
  EXPECT_NE(document.find(">0x8f0d1800</CycleCounterFrequency>"), std::string::npos) << document;
  EXPECT_NE(document.find(">0x1000</BufferSize>"), std::string::npos) << document;
  EXPECT_NE(document.find(">-1.0000000000</Jiffy>"), std::string::npos) << document;
  EXPECT_NE(document.find(">0x20</PmcWidth>"), std::string::npos) << document;

  for (const std::string text : {"0x10", "16"}) {
    const auto decoded = UnarchiveFromString<QVProfileDriver>(WithElementText(document, "ProcessorCount", text),
                                                              "ProfileDriver");
    EXPECT_EQ(decoded->processorCount(), 16u) << text;
  }
  const auto garbage =
      UnarchiveFromString<QVProfileDriver>(WithElementText(document, "PmcCount", "lots"), "ProfileDriver");
  EXPECT_EQ(garbage->pmcCount(), 0u);
  const auto jiffy =
      UnarchiveFromString<QVProfileDriver>(WithElementText(document, "Jiffy", "0.0040000000"), "ProfileDriver");
  EXPECT_EQ(jiffy->jiffy(), 0.004);
}

TEST(QVProfileDriverTest, DecodingReplacesTheEventsItHeld) {
  FakeProfileDriver source(kPerf);
  source.addEvent(EVENT_ID_CPU_CYCLES);
  FakeProfileDriver target(kPerf);
  target.addEvent(EVENT_ID_CPU_INSTRUCTIONS_COMPLETED);
  std::istringstream stream(ArchiveToString(source, "ProfileDriver"));
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
  unarchiver->decodeObject("ProfileDriver", target);
  EXPECT_EQ(target.events(), QVProfileDriver::EventSet{EVENT_ID_CPU_CYCLES});
}

TEST(QVProfileDriverTest, DescriptionListsNameMachineAndCapabilities) {
  // Decoded from a document so that every value is fixed, not this machine's.
  std::string document = ArchiveToString(QVProfileDriver(kQVProfile), "ProfileDriver");
  document = WithElementText(document, "Jiffy", "0.0040000000");
  document = WithElementText(document, "VirtualMachine", "false");
  document = WithElementText(document, "Arch", ArchitectureToString(QVArchitectureX86_64));
  document = WithElementText(document, "Processor", ProcessorToString(QVProcessorCore2));
  document = WithElementText(document, "ProcessorCount", "0x4");
  document = WithElementText(document, "ProcessorFrequency", "2400000000");
  document = WithElementText(document, "PmcCount", "2");
  document = WithElementText(document, "PmcWidth", "40");
  document = WithElementText(document, "SchedTraceSupported", "true");
  document = WithElementText(document, "BufferSize", "0x1000");
  document = WithElementText(document, "BufferWatershed", "0x800");
  const auto driver = UnarchiveFromString<QVProfileDriver>(document, "ProfileDriver");
  ASSERT_FALSE(driver->virtualMachine()) << document;
  ASSERT_TRUE(driver->schedTraceSupported()) << document;

  const std::string expected = "qvprofile -  jiffy:0.004 vm:0 arch:" + ArchitectureToPrettyString(QVArchitectureX86_64) +
                               " cpu:" + ProcessorToPrettyString(QVProcessorCore2) +
                               " cpuFreq:2400000000 cpuCount:4 pmcCount:2 pmcWidth:40 timeLimit:1 sampleLimit:0"
                               " adaptiveInterval:0 disablePowerManagement:0 threadTimeSampling:1"
                               " cpuTimeSampling:0 cpuEventSampling:0 osTimeSampling:0 threadTimeCallstacks:1"
                               " cpuTimeCallstacks:0 cpuEventCallstacks:0 osTimeCallstacks:0 schedTrace:1"
                               " syscallTrace:0 bufferSize:4096 bufferWatershed:2048";
  std::ostringstream description;
  driver->getDescription(description);
  EXPECT_EQ(description.str(), expected);

  std::ostringstream streamed;
  streamed << *driver << '|' << driver << '|' << std::shared_ptr<QVProfileDriver>();
  EXPECT_EQ(streamed.str(), expected + "|" + expected + "|");
}

}  // namespace
}  // namespace Quorvel
