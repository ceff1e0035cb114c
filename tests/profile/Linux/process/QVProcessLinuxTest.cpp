#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>

#include <gtest/gtest.h>

#include "data/QVData.h"
#include "ids/QVSystemId.h"
#include "Linux/kernel/QVThreadLinuxKernel.h"
#include "Linux/process/QVProcessLinux.h"
#include "Linux/process/QVThreadLinux.h"
#include "Linux/unwind/QVDebuggerLinux.h"
#include "proc/QVProcMapsParser.h"
#include "support/ChildProbe.h"
#include "support/Registries.h"
#include "support/TestCallFrame.h"
#include "support/TestSupport.h"
#include "symbols/QVModule.h"
#include "symbols/QVSymbol.h"
#include "time/QVTime.h"

namespace Quorvel {
namespace {

using test::ChildProbe;

// The line of the probe source that defines the function, found the way a
// reader would: the first line holding "<name>(" and an opening brace.
int DefinitionLine(const std::string& name) {
  std::ifstream in(QV_DISCOVERY_PROBE_SOURCE);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.find(name + "(") != std::string::npos && line.find('{') != std::string::npos) {
      return number;
    }
  }
  return 0;
}

using QVProcessLinuxTest = test::RegistryTest;

// One child through its life: discovered with its facts and threads (also
// through the registry), its vdso placed, its function found with its line,
// and its end noticed once. A binary without lines is the module test's case.
TEST_F(QVProcessLinuxTest, DiscoversAChildWithItsFactsThreadsVdsoFunctionLineAndExit) {
  ChildProbe child(QV_DISCOVERY_PROBE_G);
  ASSERT_TRUE(child.start());

  const QVProcessId id = QVProcessLinux::updateProcessList(child.pid(), false);
  ASSERT_TRUE(id.isValid());
  EXPECT_EQ(child.pid(), id.nativeIdentifier());
  // Known now: the same id, without a second object.
  const std::shared_ptr<QVProcess> process = QVProcess::processWithId(id, false, false);
  ASSERT_TRUE(process);
  EXPECT_EQ(id, QVProcessLinux::updateProcessList(child.pid(), false));
  EXPECT_EQ(process, QVProcess::processWithId(id, false, false));

  // The kernel's command name is the file name cut to 15 characters.
  EXPECT_EQ(std::string("discovery_probe_g").substr(0, 15), process->name());
  EXPECT_EQ(std::filesystem::canonical(QV_DISCOVERY_PROBE_G).string(), process->executablePath());
  EXPECT_EQ(QVProcessIdFromNativeIdentifier(getpid()), process->parentProcessId());
  EXPECT_EQ(static_cast<uint32_t>(getuid()), process->userIdentifier());
  EXPECT_EQ("user", process->properties().stringValue("process_type"));
  EXPECT_TRUE(process->isRunning());
  EXPECT_TRUE(process->exitTime().is_not_a_date_time());
  // /proc gives start times to the second after boot; a minute is slack
  // for a loaded machine.
  ASSERT_FALSE(process->startTime().is_not_a_date_time());
  const auto age = CurrentUniversalTime() - process->startTime();
  EXPECT_LT(age.total_seconds(), 60);
  EXPECT_GT(age.total_seconds(), -60);

  // Through the registry, which reaches the Linux discovery.
  std::unordered_set<QVThreadId> threadIds;
  QVThread::getThreadIdsForProcess(threadIds, id, false, true, false);
  std::multiset<std::string> types;  // main and the probe's idle thread
  for (const QVThreadId& threadId : threadIds) {
    const std::shared_ptr<QVThread>& thread = QVThread::threadWithId(threadId, false, false);
    ASSERT_TRUE(thread);
    EXPECT_TRUE(thread->isRunning());
    const std::string type = thread->properties().stringValue("thread_type");
    EXPECT_EQ(type == "main", threadId.nativeIdentifier() == child.pid()) << type;
    types.insert(type);
  }
  EXPECT_EQ(types, (std::multiset<std::string>{"main", "user"}));

  // The registry's own updates reach the Linux discovery too.
  EXPECT_EQ(id, QVProcess::updateProcessList(child.pid(), false));
  EXPECT_TRUE(std::dynamic_pointer_cast<QVProcessLinux>(QVProcess::processWithId(id, false, false)));
  QVProcessLinux::updateProcessList(false);
  std::unordered_set<QVProcessId> ids;
  QVProcess::getProcessIdsForSystem(QVSystemId::currentSystemId(), ids, true, false, false);
  EXPECT_EQ(1u, ids.count(QVProcessIdFromNativeIdentifier(getpid())));
  EXPECT_EQ(1u, ids.count(id));

  // The vdso as the child's own maps list it.
  ASSERT_NO_THROW(QVDebuggerLinux::_initVDSOModule());
  const std::shared_ptr<QVModule> vdso = QVDebuggerLinux::vdsoModule();
  if (vdso) {
    uint64_t vdsoStart = 0;
    std::ifstream maps("/proc/" + std::to_string(child.pid()) + "/maps");
    for (std::string line; std::getline(maps, line);) {
      const auto entry = QVProcMapsParser::parseLine(line);
      if (entry && entry->name == "[vdso]") {
        vdsoStart = entry->start;
      }
    }
    ASSERT_NE(0u, vdsoStart);
    auto linuxProcess = std::dynamic_pointer_cast<QVProcessLinux>(process);
    ASSERT_TRUE(linuxProcess);
    EXPECT_EQ(vdsoStart, linuxProcess->moduleStartAddress(vdso->moduleId()));
    std::vector<QVRange<unsigned long>> ranges;
    process->sectionMap().getRangesInRange(QVRange<unsigned long>(vdsoStart, 0x10000), ranges);
    EXPECT_FALSE(ranges.empty());
  }

  // The function's address as the child printed it resolves, through the
  // map read from its maps, to the function and the line that defines it.
  const uint64_t function = child.address("function");
  ASSERT_NE(0u, function);
  QVRange<unsigned long> range;
  const std::shared_ptr<QVSymbol> symbol = process->symbolForCallFrame(test::TestCallFrame(function), range);
  ASSERT_TRUE(symbol);
  EXPECT_EQ("qvdiscovery_target", symbol->name());
  EXPECT_EQ(function, range.location);
  QVFileId file;
  int line = 0;
  ASSERT_TRUE(symbol->sourceLineForOffset(0, file, line));
  EXPECT_EQ(DefinitionLine("qvdiscovery_target"), line);
  EXPECT_NE(std::string::npos, file.path().find("DiscoveryProbe.cpp"));

  // The exit time is set once, to the second, when the process has gone.
  const auto before = CurrentUniversalTime();
  child.finish();
  const auto exit = process->exitTime();
  ASSERT_FALSE(exit.is_not_a_date_time());
  EXPECT_GE(exit, before - boost::posix_time::seconds(1));
  EXPECT_EQ(0, exit.time_of_day().fractional_seconds());
  ::sleep(1);
  EXPECT_EQ(exit, process->exitTime());
  EXPECT_FALSE(process->isRunning());

  // A pid whose process is gone before it was ever seen gives no process.
  const pid_t pid = test::StartChild([] { return 0; });
  ASSERT_GT(pid, 0);
  ASSERT_EQ(0, test::WaitForChild(pid));
  EXPECT_FALSE(QVProcessLinux::updateProcessList(pid, false).isValid());
  EXPECT_FALSE(QVProcess::processWithNativeIdentifier(pid, false, false));
  if (!vdso) {
    GTEST_SKIP() << "this process has no vdso mapping: the child's vdso was not checked";
  }
}

TEST_F(QVProcessLinuxTest, KernelThreadsAreIdleOrKernelAndTheKernelStaysReachable) {
  const QVProcessId kernel = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 0, 1);
  QVThreadLinuxKernel idle(QVThreadId::uniqueThreadId(kernel, 0, 1));
  EXPECT_EQ("idle", idle.properties().stringValue("thread_type"));
  EXPECT_TRUE(idle.isRunning());
  const QVProcessId kthreadd = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 2, 1);
  QVThreadLinuxKernel worker(QVThreadId::uniqueThreadId(kthreadd, 3, 1));
  EXPECT_EQ("kernel", worker.properties().stringValue("thread_type"));
  const QVProcessId remote =
      QVProcessId::uniqueProcessId(QVSystemId::uniqueSystemId("elsewhere", "elsewhere"), 2, 1);
  EXPECT_FALSE(QVThreadLinuxKernel(QVThreadId::uniqueThreadId(remote, 3, 1)).isRunning());

  // Linux discovery, once in use, must still hand the kernel question to
  // the kernel layer: kernel-mode frames resolve through it.
  ASSERT_TRUE(QVProcessLinux::updateProcessList(static_cast<int>(::getpid()), false).isValid());
  std::shared_ptr<QVProcess> process = QVProcess::kernelProcessForSystem(QVSystemId::currentSystemId(), false);
  ASSERT_TRUE(process);
  EXPECT_EQ(process->processId().nativeIdentifier(), 0);
  EXPECT_EQ(process->properties().stringValue(QVProcess::PROPERTY_PROCESS_TYPE), QVProcess::VAL_PROCESS_KERNEL);

  // The kernel thread daemon as /proc shows it.
  const QVThreadId threadId = QVThreadIdFromNativeIdentifier(2, 2);
  if (!threadId.isValid() || !QVTaskInfoLinux(2).executable().empty() || QVTaskInfoLinux(2).ppid() != 0) {
    GTEST_SKIP() << "pid 2 is not the kernel thread daemon in this pid namespace";
  }
  EXPECT_EQ("kernel", QVThreadLinux(threadId).properties().stringValue("thread_type"));
}

// A desktop tree as a distribution lays it out, reduced to what the tables
// look at.
class IconTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Write("/usr/share/applications/gedit.desktop",
          "[Desktop Entry]\nName=Text Editor\nExec=/usr/bin/gedit %U\nIcon = accessories-text-editor \n");
    Write("/usr/share/applications/kde/files.desktop", "Exec=nautilus --new-window\nIcon=system-file-manager\n");
    Write("/usr/share/applications/kde/panel.desktop", "Exec=kcmshell mouse\nIcon=input-mouse\n");
    Write("/usr/share/applications/vector.desktop", "Exec=vectorapp\nIcon=vectorapp.svg\n");
    Write("/usr/share/applications/small.desktop", "Exec=smallapp\nIcon=smallapp.png\n");
    Write("/usr/share/applications/noicon.desktop", "Exec=noicon\n");
    Write("/usr/share/applications/readme.txt", "Exec=notadesktopfile\nIcon=x\n");
    Write("/usr/share/icons/gnome/32x32/apps/accessories-text-editor.png", "large gedit icon");
    Write("/usr/share/icons/gnome/16x16/apps/accessories-text-editor.png", "small gedit icon");
    Write("/usr/share/icons/gnome/16x16/apps/smallapp.png", "small only icon");
    Write("/usr/share/icons/hicolor/index.theme", "");
    Write("/usr/share/icons/HighContrast/index.theme", "");
    Write("/usr/share/pixmaps/other.png", "pixmap");
  }

  void Write(const std::string& path, const std::string& text) {
    const std::filesystem::path file(scratch.path() + path);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  const std::string& root() const { return scratch.path(); }

  test::ScratchDirectory scratch{"qvicons"};
};

TEST_F(IconTableTest, DesktopEntriesAndThemesLeadToThePngOfTheRightSize) {
  const QVProcessLinux::ExeToPixMap table = QVProcessLinux::_readExeToPixMap(root());
  ASSERT_EQ(1u, table.count("/usr/bin/gedit"));
  EXPECT_EQ("accessories-text-editor", table.at("/usr/bin/gedit"));  // trimmed, up to the first space
  EXPECT_EQ("file-manager", table.at("nautilus"));                  // the file manager's own entry is ignored
  EXPECT_EQ(0u, table.count("kcmshell"));
  EXPECT_EQ(0u, table.count("noicon"));
  EXPECT_EQ(0u, table.count("notadesktopfile"));
  EXPECT_EQ("vectorapp.svg", table.at("vectorapp"));

  // Search paths: the themes, then other themes, then the pixmaps.
  QVProcessLinux::SearchPaths large;
  QVProcessLinux::SearchPaths small;
  QVProcessLinux::_findIconSearchPaths(root(), large, small);
  const std::string icons = std::filesystem::canonical(root() + "/usr/share/icons").string();
  ASSERT_FALSE(large.empty());
  EXPECT_EQ(icons + "/gnome/32x32/apps/", large.front());
  EXPECT_EQ(root() + "/usr/share/pixmaps/", large.back());
  auto has = [](const QVProcessLinux::SearchPaths& paths, const std::string& path) {
    return std::find(paths.begin(), paths.end(), path) != paths.end();
  };
  EXPECT_TRUE(has(small, icons + "/gnome/16x16/apps/"));
  EXPECT_TRUE(has(large, root() + "/usr/share/icons/hicolor/32x32/apps/"));
  EXPECT_TRUE(has(large, root() + "/usr/share/icons/hicolor/48x48/apps/"));
  EXPECT_TRUE(has(large, root() + "/usr/share/icons/gnome/48x48/apps/"));
  EXPECT_TRUE(has(small, root() + "/usr/share/icons/hicolor/16x16/apps/"));
  for (const std::string& path : large) {
    EXPECT_EQ(std::string::npos, path.find("HighContrast")) << path;
  }

  auto icon = [&](const std::string& exe, bool big) {
    const std::shared_ptr<QVData> data = QVProcessLinux::_iconDataForExecutable(exe, big, table, large, small, root());
    return data ? std::string(data->vector().begin(), data->vector().end()) : std::string("<none>");
  };
  EXPECT_EQ("large gedit icon", icon("/usr/bin/gedit", true));
  EXPECT_EQ("small gedit icon", icon("/usr/bin/gedit", false));
  // By file name when the full path is not in the table.
  EXPECT_EQ("small only icon", icon("/opt/bin/smallapp", false));
  // Only a 16x16 icon: nothing large, which is why a process falls back.
  EXPECT_EQ("<none>", icon("/opt/bin/smallapp", true));
  EXPECT_EQ("<none>", icon("/usr/bin/vectorapp", true));
  EXPECT_EQ("<none>", icon("/usr/bin/vectorapp", false));
  EXPECT_EQ("<none>", icon("/usr/bin/unknown", true));
}

}  // namespace
}  // namespace Quorvel
