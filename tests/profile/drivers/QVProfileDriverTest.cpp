#include "drivers/QVProfileDriver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/QVErrorManager.h"
#include "config/QVSessionConfig.h"
#include "notify/QVNotificationIds.h"
#include "support/ArchiveRoundTrip.h"
#include "support/DriverRegistrySandbox.h"
#include "support/FakeProfileDriver.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"

namespace Quorvel {
namespace {

using test::ArchiveToString;
using test::DriverRegistrySandbox;
using test::FakeProfileDriver;
using test::UnarchiveFromString;
using ::testing::HasSubstr;
using ::testing::Not;

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

std::string Message(const QVProfileDriver& driver, const std::string& id) {
  std::ostringstream text;
  EXPECT_TRUE(id.find("Error") != std::string::npos ? driver.getErrorMessage(text, id)
                                                    : driver.getWarningMessage(text, id))
      << id;
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
// The registry and the automatic choice.

TEST(QVProfileDriverRegistryTest, NoBackendLeavesOnePlainUnknownDriverThatCannotLoad) {
  DriverRegistrySandbox sandbox;
  std::vector<std::shared_ptr<QVProfileDriver>> drivers;
  const std::string log = test::CaptureLog([&] { drivers = QVProfileDriver::availableDrivers(); });
  EXPECT_THAT(log, HasSubstr("default profile driver type: unknown"));
  EXPECT_THAT(log, HasSubstr("failed to set profile driver to 'profile.driver.unknown'"));
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
  // The environment tables below have back-ends that are not loaded; here
  // there are none at all.
  QVErrorManager errors;
  drivers[0]->getEnvironmentErrors(errors, false);
  EXPECT_EQ(errors.errorIds(), std::vector<std::string>{"QVProfileDriverErrorNoDriver"});
}

// Available back-ends are listed perf, qvprofile, oprofile whatever order
// they registered in; unavailable and null ones are left out; only the
// three Linux back-ends can register. (That the default fills the registry
// on first use is what every choice test below starts with.)
TEST(QVProfileDriverRegistryTest, BackendsAreListedInPreferenceOrderAndOnlyLinuxOnesRegister) {
  {
    DriverRegistrySandbox sandbox;
    sandbox.install(std::make_shared<FakeProfileDriver>(kOprofile));
    sandbox.install(std::make_shared<FakeProfileDriver>(kQVProfile));
    sandbox.install(std::make_shared<FakeProfileDriver>(kPerf));
    EXPECT_EQ(Identifiers(QVProfileDriver::availableDrivers()),
              (std::vector<std::string>{kPerf, kQVProfile, kOprofile}));
  }
  {
    DriverRegistrySandbox sandbox;
    auto perf = std::make_shared<FakeProfileDriver>(kPerf);
    perf->setAvailable(false);
    sandbox.install(perf);
    QVProfileDriver::registerBackend(kQVProfile, [] { return std::shared_ptr<QVProfileDriver>(); });
    sandbox.install(std::make_shared<FakeProfileDriver>(kOprofile));
    EXPECT_EQ(Identifiers(QVProfileDriver::availableDrivers()), std::vector<std::string>{kOprofile});
    EXPECT_EQ(QVProfileDriver::defaultDriverId(), kOprofile);
  }
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

class QVProfileDriverChoiceTest : public ::testing::Test {
 protected:
  void Install(std::initializer_list<std::shared_ptr<FakeProfileDriver>> drivers, const std::string& release) {
    for (const auto& driver : drivers) {
      sandbox_.install(driver);
    }
    sandbox_.setKernelVersion(release);
  }

  DriverRegistrySandbox sandbox_;
  std::shared_ptr<FakeProfileDriver::Journal> journal_ = std::make_shared<FakeProfileDriver::Journal>();
  std::shared_ptr<FakeProfileDriver> perf_ = std::make_shared<FakeProfileDriver>(kPerf, journal_);
  std::shared_ptr<FakeProfileDriver> qvprofile_ = std::make_shared<FakeProfileDriver>(kQVProfile, journal_);
  std::shared_ptr<FakeProfileDriver> oprofile_ = std::make_shared<FakeProfileDriver>(kOprofile, journal_);
};

TEST(QVProfileDriverChoiceByKernelTest, PerfFromKernel2638OnQVProfileBefore) {
  // perf arrived with 2.6.38; distribution releases compare by their
  // numbers, however long their build suffix.
  const std::vector<std::pair<const char*, const std::string*>> cases = {
      {"2.6.37", &kQVProfile},
      {"2.6.38", &kPerf},
      {"2.6.32-754.35.1.el6.x86_64", &kQVProfile},
      {"5.15.0-91-generic", &kPerf},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    DriverRegistrySandbox sandbox;
    auto perf = std::make_shared<FakeProfileDriver>(kPerf);
    auto qvprofile = std::make_shared<FakeProfileDriver>(kQVProfile);
    sandbox.install(perf);
    sandbox.install(qvprofile);
    sandbox.setKernelVersion(c.first);
    EXPECT_EQ(QVProfileDriver::defaultDriverId(), *c.second);
    const bool perfChosen = c.second == &kPerf;
    EXPECT_EQ(perf->isLoaded(), perfChosen);
    EXPECT_EQ(qvprofile->isLoaded(), !perfChosen);
    EXPECT_EQ((perfChosen ? qvprofile : perf)->loadCount(), 0);
  }
  // A new release is looked at again when the choice is made again.
  DriverRegistrySandbox sandbox;
  sandbox.install(std::make_shared<FakeProfileDriver>(kPerf));
  sandbox.install(std::make_shared<FakeProfileDriver>(kQVProfile));
  sandbox.setKernelVersion("2.6.32-754.35.1.el6.x86_64");
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kQVProfile);
  sandbox.setKernelVersion("5.15.0-91-generic");
  EXPECT_TRUE(QVProfileDriver::setDefaultDriverId(""));
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
}

TEST_F(QVProfileDriverChoiceTest, FallsBackToTheOtherCandidateThenOprofile) {
  Install({qvprofile_, oprofile_}, "4.19.0");
  // perf is preferred but absent: qvprofile is next.
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kQVProfile);
  QVProfileDriver::registerBackend(kQVProfile, nullptr);
  QVProfileDriver::resetRegistry();
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kOprofile);
  EXPECT_TRUE(oprofile_->isLoaded());
}

TEST_F(QVProfileDriverChoiceTest, RegisteredCandidateThatFailsToLoadStaysDefault) {
  perf_->setLoadSucceeds(false);
  Install({perf_, qvprofile_, oprofile_}, "3.10.0");
  QVProfileDriver::availableDrivers();
  journal_->clear();
  const std::string failed = test::CaptureLog([] { EXPECT_FALSE(QVProfileDriver::setDefaultDriverId(kUnknown)); });
  EXPECT_THAT(failed, HasSubstr("failed to set profile driver to 'profile.driver.linux.perf'"));
  EXPECT_THAT(failed, HasSubstr("failed to set profile driver to 'profile.driver.unknown'"));
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  // Neither later candidate was tried.
  EXPECT_EQ(*journal_, std::vector<std::string>{"load perf"});
  EXPECT_EQ(qvprofile_->loadCount(), 0);
  EXPECT_EQ(oprofile_->loadCount(), 0);
}

TEST_F(QVProfileDriverChoiceTest, LoadedDriversAreUnloadedBeforeTheChosenOneLoads) {
  Install({perf_, qvprofile_, oprofile_}, "3.10.0");
  ASSERT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  // Choosing the current default changes nothing.
  journal_->clear();
  EXPECT_TRUE(QVProfileDriver::setDefaultDriverId(kPerf));
  EXPECT_TRUE(journal_->empty()) << (*journal_)[0];
  EXPECT_TRUE(perf_->isLoaded());
  // Something else loaded oprofile's kernel side meanwhile.
  oprofile_->setLoaded(true);
  EXPECT_TRUE(QVProfileDriver::setDefaultDriverId(kQVProfile));
  EXPECT_EQ(*journal_, (std::vector<std::string>{"unload perf", "unload oprofile", "load qvprofile"}));
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kQVProfile);
  EXPECT_FALSE(perf_->isLoaded());
  EXPECT_FALSE(oprofile_->isLoaded());
  EXPECT_TRUE(qvprofile_->isLoaded());
}

TEST_F(QVProfileDriverChoiceTest, UnregisteredIdentifiersAndDriversThatDoNotLoadFail) {
  Install({perf_}, "3.10.0");
  ASSERT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  const std::string log = test::CaptureLog(
      [] { EXPECT_FALSE(QVProfileDriver::setDefaultDriverId(QVProfileDriver::QV_PROFILE_DRIVER_ID_FREEBSD_HWPMC)); });
  EXPECT_THAT(log, HasSubstr("failed to set profile driver to 'profile.driver.freebsd.hwpmc'"));
  // The request still cleared the way for a driver, so perf was unloaded,
  // but the default did not move.
  EXPECT_EQ(QVProfileDriver::defaultDriverId(), kPerf);
  EXPECT_FALSE(perf_->isLoaded());
  EXPECT_FALSE(QVProfileDriver::setDefaultDriverId(kOprofile));
}

// ---------------------------------------------------------------------------
// Environment errors.

TEST_F(QVProfileDriverChoiceTest, LoadedBackendsSatisfyTheDriverCheckUnlessOprofileMeetsQVProfile) {
  Install({perf_, qvprofile_, oprofile_}, "3.10.0");
  // Which of perf, qvprofile and oprofile are loaded, and the errors seen.
  // perf and qvprofile together are no conflict: they do not share counters.
  const std::vector<std::pair<std::vector<bool>, std::vector<std::string>>> cases = {
      {{true, false, false}, {}},
      {{false, true, false}, {}},
      {{false, false, true}, {}},
      {{true, true, false}, {}},
      {{false, true, true}, {"QVProfileDriverErrorDriverConflict"}},
      {{false, false, false}, {"QVProfileDriverErrorNoDriver"}},
  };
  // One manager for all: what the case before left is cleared.
  QVErrorManager errors;
  for (const auto& c : cases) {
    perf_->setLoaded(c.first[0]);
    qvprofile_->setLoaded(c.first[1]);
    oprofile_->setLoaded(c.first[2]);
    perf_->getEnvironmentErrors(errors, false);
    EXPECT_EQ(errors.errorIds(), c.second) << c.first[0] << c.first[1] << c.first[2];
  }
  QVErrorManager appended;
  appended.setErrorId("QVSamplerErrorInsufficientSamples");
  perf_->getEnvironmentErrors(appended, true);
  EXPECT_EQ(appended.errorIds(),
            (std::vector<std::string>{"QVSamplerErrorInsufficientSamples", "QVProfileDriverErrorNoDriver"}))
      << "appending keeps what the manager held";
}

TEST(QVProfileDriverEnvironmentTest, NoEventListAndPowerManagementWarnings) {
  DriverRegistrySandbox sandbox;
  struct Case {
    const std::string* identifier;
    QVProcessor processor;
    bool withEvent;
    bool virtualMachine;
    bool canDisablePowerManagement;
    bool noEventList;
    bool powerManagement;
  };
  // The event-list warning needs an empty list, a real processor (not timer
  // mode, 0x100) and a back-end; the power-management one a real machine
  // whose driver cannot disable it.
  const Case cases[] = {
      {&kOprofile, QVProcessorCore2, false, false, false, true, true},
      {&kOprofile, QVProcessorTimer, false, false, false, false, true},
      {&kOprofile, QVProcessorCore2, true, false, false, false, true},
      {&kUnknown, QVProcessorCore2, false, false, false, false, true},
      {&kPerf, QVProcessorCore2, true, true, false, false, false},
      {&kPerf, QVProcessorCore2, true, false, true, false, false},
  };
  for (const Case& c : cases) {
    FakeProfileDriver driver(*c.identifier);
    driver.setProcessor(c.processor);
    if (c.withEvent) {
      driver.addEvent(EVENT_ID_CPU_CYCLES);
    }
    driver.setVirtualMachine(c.virtualMachine);
    driver.setDisablePowerManagementSupported(c.canDisablePowerManagement);
    QVErrorManager errors;
    driver.getEnvironmentErrors(errors, false);
    SCOPED_TRACE(driver.name() + " " + ProcessorToString(c.processor));
    EXPECT_EQ(errors.testWarningId("QVProfileDriverWarningNoEventList"), c.noEventList);
    EXPECT_EQ(errors.testWarningId("QVProfileDriverWarningUnableToDisablePowerManagement"), c.powerManagement);
  }
}

// ---------------------------------------------------------------------------
// Messages.

// The texts that are put together rather than fixed: the installer path
// (the installation's directory joined with the script's relative path) and
// the processor's name.
TEST(QVProfileDriverMessageTest, ComposedTextsAndForeignAndInvalidIdentifiers) {
  std::string install = GetInstallDirectory();
  if (!install.empty() && install.back() != '/') install += '/';
  EXPECT_EQ(Message(QVProfileDriver(kPerf), "QVProfileDriverErrorNoDriver"),
            "There is no profiling driver installed.\n       To install a profiling driver, open a terminal and "
            "type:\n       > su root\n       > " +
                install + "setup/install_driver.sh");
  FakeProfileDriver driver(kOprofile);
  driver.setProcessor(QVProcessorCore2);
  EXPECT_EQ(Message(driver, "QVProfileDriverWarningNoEventList"),
            "The oprofile driver was unable to find an event list for " + ProcessorToPrettyString(QVProcessorCore2) +
                ".");
  EXPECT_EQ(0u, Message(driver, "QVProfileDriverWarningNoFramePointer")
                    .find("System-wide time and event profiles of " +
                          ArchitectureToPrettyString(LocalMachineArchitecture()) + " binaries may contain\n"));

  // Foreign identifiers answer false; invalid ones are logged.
  std::ostringstream text;
  const std::string quiet = test::CaptureLog([&] {
    // Another class's ids name their kind, so they are simply not ours.
    EXPECT_FALSE(driver.getWarningMessage(text, "QVSamplerWarningBufferOverflow"));
    EXPECT_FALSE(driver.getErrorMessage(text, "QVSamplerErrorInsufficientSamples"));
  });
  EXPECT_THAT(quiet, Not(HasSubstr("invalid")));
  const std::string log = test::CaptureLog([&] {
    EXPECT_FALSE(driver.getWarningMessage(text, "foo"));
    EXPECT_FALSE(driver.getErrorMessage(text, "bar"));
    // One of our own error ids asked as a warning is no warning id at all.
    EXPECT_FALSE(driver.getWarningMessage(text, "QVProfileDriverErrorNoDriver"));
  });
  EXPECT_THAT(log, HasSubstr("ERROR invalid warning id: QVProfileDriverErrorNoDriver"));
  EXPECT_THAT(log, HasSubstr("invalid warning id: foo"));
  EXPECT_THAT(log, HasSubstr("invalid error id: bar"));
  EXPECT_EQ(text.str(), "");
}

// ---------------------------------------------------------------------------
// The driver object itself.

TEST(QVProfileDriverTest, CyclesFollowTheCounterFrequency) {
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
  // Writing the decoded driver gives the same document, so every member
  // survived; that each is read from its own element is what the
  // description test below shows. Numbers are hex.
  EXPECT_EQ(ArchiveToString(*decoded, "ProfileDriver"), document);
  EXPECT_EQ(decoded->identifier(), kOprofile);
  EXPECT_EQ(decoded->cycleCounterFrequency(), 2400000000u);
  EXPECT_EQ(decoded->events(), driver.events());
  uint64_t size = 0, watershed = 0, cpuSize = 0;
  decoded->getBufferConfig(size, watershed, cpuSize);
  EXPECT_EQ(cpuSize, 0x10000u);
  EXPECT_NE(document.find(">0x8f0d1800</CycleCounterFrequency>"), std::string::npos) << document;
  EXPECT_NE(document.find(">0x100000</BufferSize>"), std::string::npos) << document;
  EXPECT_NE(document.find(">-1.0000000000</Jiffy>"), std::string::npos) << document;
  EXPECT_NE(document.find(">0x20</PmcWidth>"), std::string::npos) << document;

  // Decoding into a driver replaces the events it held.
  FakeProfileDriver target(kPerf);
  target.addEvent(EVENT_ID_CPU_INSTRUCTIONS_COMPLETED);
  std::istringstream stream(document);
  QVUnarchiver::createUnarchiver(stream)->decodeObject("ProfileDriver", target);
  EXPECT_EQ(target.events(), driver.events());
}

TEST(QVProfileDriverTest, DescriptionListsNameMachineAndCapabilities) {
  // Decoded from a document so that every value is fixed, not this machine's;
  // numbers are read with base detection (hex 0x4, decimal 2400000000).
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
