#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ids/QVSystemId.h"
#include "Linux/kernel/QVKernelModuleLinux.h"
#include "Linux/kernel/QVProcessLinuxKernel.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "proc/QVProcKallsymsParser.h"
#include "support/ElfProbes.h"
#include "support/FakeProcTree.h"
#include "support/Registries.h"
#include "support/TestCallFrame.h"
#include "support/TestSupport.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSymbolSourceMap.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {
namespace {

using test::FakeProcTree;
using test::RunCommand;
using test::ScratchDirectory;
using test::TestCallFrame;

// Where the fixture kallsyms puts the image and its one backed module; the
// values are typical of x86-64 (image at -2 GiB, modules above it).
constexpr unsigned long kImage = 0xffffffff81000000UL;
constexpr unsigned long kModule = 0xffffffffc0001000UL;

// Every case kallsyms can throw at the loader, each commented with what it
// must come to.
const char* const kKallsyms =
    "ffffffff81000000 T _stext\n"                 // first image symbol: the image starts here
    "ffffffff81000000 T _text\n"                  // global on global: dropped
    "ffffffff81000010 t local_a\n"                // local
    "ffffffff81000010 t local_a\n"                // exact duplicate: one symbol
    "ffffffff81000020 T glob_b\n"                 // replaced by the local below
    "ffffffff81000020 t local_over_b\n"           // local takes the address over
    "ffffffff81000030 d data_x\n"                 // data: ignored
    "ffffffff81000040 b bss_y\n"                  // bss: ignored
    "ffffffff81000050 W weak_z\n"                 // weak object: ignored
    "ffffffff81000060 T vm_func\n"                // backed by the fixture vmlinux
    "ffffffff81000100 T vm_label\n"               // only a label in vmlinux: ignored
    "ffffffff81000180 t\n"                        // no name: not a symbol line
    "ffffffff81000200 T _etext\n"                 // last image symbol: the image ends here
    "ffffffffc0001000 t mod_alpha\t[foo_bar]\n"   // module symbols
    "ffffffffc0001010 T mod_beta\t[foo_bar]\n"
    "ffffffffc0009000 t gone_fn\t[gone]\n";       // module not Live: ignored

const char* const kModules =
    "foo_bar 8192 0 - Live 0xffffffffc0001000 (OE)\n"
    "gone 4096 0 - Unloading 0xffffffffc0009000\n"
    "zero 0 0 - Live 0xffffffffc0010000\n"
    " 4096 0 - Live 0xffffffffc0030000\n"  // no name: the fields shift and it reads as not Live
    "nofile 4096 1 foo_bar, Live 0xffffffffc0020000\n"
    "nofile 4096 1 foo_bar, Live 0xffffffffc0040000\n";  // same name, same boot: a duplicate

// The backing image: vm_func at a known line, vm_label an untyped label.
const char* const kVmlinuxSource =
    "int vm_data = 1;\n"
    "int vm_func(int x) {\n"
    "  return x * 3 + vm_data;\n"
    "}\n"
    "__asm__(\".text\\n.globl vm_label\\nvm_label:\\n nop\\n\");\n";
constexpr int kVmFuncLine = 2;

const char* const kModuleSource =
    "int mod_alpha(int x) { return x + 1; }\n"
    "int mod_beta(int x) { return x - 1; }\n";

std::string Release() { return LocalMachineKernelVersion(); }

// Builds a small shared object with the compiler; kernel images and ".ko"
// files are ELF files, and all the loader reads of them is their symbols.
bool BuildElf(const ScratchDirectory& scratch, const std::string& source, const std::string& output) {
  const std::string sourcePath = scratch.file("src.c");
  test::WriteWholeFile(sourcePath, source);
  int status = -1;
  RunCommand("gcc -g -O0 -shared -fPIC -nostdlib -o " + test::ShellQuote(output) + " " +
                 test::ShellQuote(sourcePath) + " 2>&1",
             &status);
  return status == 0 && FileExists(output);
}

using test::CaptureLog;
using test::ScopedEnvironment;

class QVKernelTest : public test::RegistryTest {
 protected:
  static QVProcessId KernelId() {
    return QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 0, LocalMachineBootTime());
  }

  // The kernel process loaded now; what loading it logged goes to `log`.
  static std::unique_ptr<QVProcessLinuxKernel> LoadKernel(std::string& log) {
    std::unique_ptr<QVProcessLinuxKernel> kernel;
    log = CaptureLog([&] { kernel = std::make_unique<QVProcessLinuxKernel>(KernelId(), "vmlinux", "vmlinux", true); });
    return kernel;
  }

  // The symbol the process resolves an address to, by name ("" for none),
  // and its absolute range.
  static std::string SymbolAt(const QVProcess& process, unsigned long address, QVRange<unsigned long>* range = nullptr) {
    TestCallFrame frame(address);
    QVRange<unsigned long> found;
    const std::shared_ptr<QVSymbol>& symbol = process.symbolForCallFrame(frame, found);
    if (range != nullptr) {
      *range = found;
    }
    return symbol ? symbol->name() : std::string();
  }

  // A fixture tree with kallsyms, modules (unless left out), the foo-bar.ko
  // file and an uncompressed vmlinux (unless left out).
  void MakeTree(bool withModules, bool withVmlinux) {
    tree_.writeFile("/proc/kallsyms", kKallsyms);
    if (withModules) {
      tree_.writeFile("/proc/modules", kModules);
    }
    const std::string moduleDir = "/lib/modules/" + Release() + "/kernel/drivers";
    tree_.writeFile(moduleDir + "/readme.txt", "not a module\n");
    ASSERT_TRUE(BuildElf(scratch_, kModuleSource, tree_.path(moduleDir + "/foo-bar.ko")));
    if (withVmlinux) {
      tree_.writeFile("/boot/vmlinux", "");
      ASSERT_TRUE(BuildElf(scratch_, kVmlinuxSource, tree_.path("/boot/vmlinux")));
    }
  }

  FakeProcTree tree_;
  ScratchDirectory scratch_{"qvkernel"};
  // The machine's own image must not stand in for the fixture's.
  ScopedEnvironment vmlinux_{"VESK_VMLINUX", nullptr};
};

TEST_F(QVKernelTest, FixtureKernelFollowsTheKallsymsAndModulesRules) {
  ASSERT_NO_FATAL_FAILURE(MakeTree(true, true));
  QVSystemPaths::ScopedRoot root(tree_.root());
  std::string log;
  const std::unique_ptr<QVProcessLinuxKernel> kernel = LoadKernel(log);

  // The image's section caches what it was asked and loads all on demand.
  std::shared_ptr<QVSection> section = kernel->kernelImage()->section();
  ASSERT_TRUE(section);

  QVRange<int> offsets;
  const std::shared_ptr<QVSymbol>& found = section->symbolAtSectionOffset(0x15, offsets, true);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name(), "local_a");
  EXPECT_EQ(offsets, QVRange<int>(0x10, 0x10));
  // Answered from the section's own map now, without loading everything.
  EXPECT_EQ(section->symbolAtSectionOffset(0x1f, offsets, false), found);
  EXPECT_FALSE(section->symbolsLoaded());
  EXPECT_FALSE(section->symbolAtSectionOffset(0x300, offsets, true));
  EXPECT_EQ(offsets, QVRange<int>(0, 0));

  std::vector<std::shared_ptr<QVSymbol>> all;
  section->getSymbols(all, true);
  ASSERT_EQ(all.size(), 5u);
  // Each is the registered symbol of its id, and the cached one stayed.
  for (const std::shared_ptr<QVSymbol>& symbol : all) {
    EXPECT_EQ(QVSymbol::symbolWithId(symbol->symbolId()), symbol);
  }
  EXPECT_EQ(section->symbolAtSectionOffset(0x10, offsets, false), found);

  EXPECT_EQ(kernel->properties().stringValue(QVProcess::PROPERTY_PROCESS_TYPE), "kernel");
  EXPECT_FALSE(kernel->debugger());
  EXPECT_TRUE(kernel->isRunning());

  // The image runs from its first to its last function symbol.
  const std::shared_ptr<QVKernelModuleLinux>& image = kernel->kernelImage();
  EXPECT_EQ(image->addressRange(), QVRange<unsigned long>(kImage, 0x200));
  EXPECT_EQ(image->path(), tree_.path("/boot/vmlinux"));
  // _stext, local_a, local_over_b, vm_func, _etext: the rest were dropped.
  EXPECT_EQ(image->symbolCount(), 5u);

  // {offset asked, symbol, its offset and size}. The local took over
  // glob_b's address and reaches over the ignored data, bss and weak lines
  // to vm_func; vm_label is only a label in the backing image, so vm_func
  // reaches on to the image's last symbol, which marks the end and is itself
  // not covered.
  const struct {
    unsigned long at;
    const char* name;
    unsigned long start, size;
  } lookups[] = {{5, "_stext", 0, 0x10},          {0x10, "local_a", 0x10, 0x10}, {0x5f, "local_over_b", 0x20, 0x40},
                 {0x1ff, "vm_func", 0x60, 0x1a0}, {0x200, "", 0, 0}};
  for (const auto& lookup : lookups) {
    QVRange<unsigned long> range;
    EXPECT_EQ(SymbolAt(*kernel, kImage + lookup.at, &range), lookup.name) << lookup.at;
    EXPECT_EQ(range, lookup.name[0] ? QVRange<unsigned long>(kImage + lookup.start, lookup.size)
                                    : QVRange<unsigned long>(0, 0));
  }

  QVRange<int> offsetRange;
  const std::shared_ptr<QVSymbol> stext = image->symbolAtOffset(0, offsetRange);
  ASSERT_TRUE(stext);
  EXPECT_EQ(stext->visibility(), QVSymbol::VisibilityGlobal);
  EXPECT_EQ(stext->type(), QVSymbol::TypeCode);
  const std::shared_ptr<QVSymbol> localA = image->symbolAtOffset(0x10, offsetRange);
  ASSERT_TRUE(localA);
  EXPECT_EQ(localA->visibility(), QVSymbol::VisibilityLocal);
  EXPECT_EQ(localA->sectionRange(), QVRange<int>(0x10, 0x10));

  // The backing image answers for vm_func: its line comes from the image's
  // debug information.
  const std::shared_ptr<QVSymbol> vmFunc = image->symbolAtOffset(0x60, offsetRange);
  ASSERT_TRUE(vmFunc);
  ASSERT_EQ(vmFunc->name(), "vm_func");
  EXPECT_TRUE(vmFunc->haveSourceLocationInfo());
  QVFileId file;
  int line = 0;
  ASSERT_TRUE(vmFunc->sourceLineForOffset(0, file, line));
  EXPECT_EQ(line, kVmFuncLine);
  std::vector<unsigned char> bytes;
  EXPECT_TRUE(vmFunc->getData(bytes));
  EXPECT_FALSE(bytes.empty());
  // _stext is not in the backing image: nothing more is known of it.
  QVSymbolSourceMap locations;
  EXPECT_FALSE(image->getSourceLocationsForSymbol(*stext, locations));
  EXPECT_TRUE(locations.empty());
  EXPECT_FALSE(stext->getData(bytes));
  EXPECT_TRUE(bytes.empty());


  // Not Live, zero-length, unnamed and duplicate lines make no module.
  ASSERT_EQ(kernel->modules().size(), 2u);
  const std::shared_ptr<QVKernelModuleLinux>& fooBar = kernel->modules()[0];
  EXPECT_EQ(fooBar->name(), "foo_bar");
  EXPECT_EQ(fooBar->addressRange(), QVRange<unsigned long>(kModule, 8192));
  // The file is foo-bar.ko; kernel module names write "_" for its "-".
  EXPECT_EQ(fooBar->path(), tree_.path("/lib/modules/" + Release() + "/kernel/drivers/foo-bar.ko"));
  EXPECT_TRUE(fooBar->backingModule());
  EXPECT_EQ(kernel->modules()[1]->name(), "nofile");
  EXPECT_EQ(kernel->modules()[1]->path(), "");
  EXPECT_EQ(kernel->moduleMap().valueForLocation(0xffffffffc0020010UL, true), kernel->modules()[1]);

  for (const char* logged :
       {"skipping kernel module \"zero\" with zero-length range at [0xffffffffc0010000, 0xffffffffc0010000)",
        "unable to resolve module name \"nofile\" to path",
        "unknown backing path for kernel module \"nofile\"  at [0xffffffffc0020000, 0xffffffffc0021000)",
        "WARNING skipping duplicate kernel module \"nofile\" at [0xffffffffc0040000, 0xffffffffc0041000)"}) {
    EXPECT_NE(log.find(logged), std::string::npos) << logged << "\n" << log;
  }
  EXPECT_EQ(log.find("\"gone\""), std::string::npos) << log;

  QVRange<unsigned long> range;
  EXPECT_EQ(SymbolAt(*kernel, kModule + 3, &range), "mod_alpha");
  EXPECT_EQ(range, QVRange<unsigned long>(kModule, 0x10));
  // The last symbol of a module reaches the module's end.
  EXPECT_EQ(SymbolAt(*kernel, kModule + 8191, &range), "mod_beta");
  EXPECT_EQ(range, QVRange<unsigned long>(kModule + 0x10, 8192 - 0x10));
  EXPECT_EQ(SymbolAt(*kernel, 0xffffffffc0009000UL), "");
  EXPECT_EQ(SymbolAt(*kernel, 0xffffffffc0020000UL), "");

  // The image's provisional end was the lowest module, so the image and
  // the module sections never overlap in the map.
  const QVProcess::SectionMap& sections = kernel->sectionMap();
  EXPECT_EQ(sections.size(), 3u);
  EXPECT_EQ(sections.valueForLocation(kModule, true)->attributes(), 11u);

  // The module is registered under its name within this boot.
  EXPECT_EQ(QVModule::moduleWithId(fooBar->moduleId()), fooBar);
  EXPECT_EQ(fooBar->moduleId().fileId().path(), "foo_bar");
  EXPECT_EQ(fooBar->moduleId().fileId().time(), LocalMachineBootTime());
}

// Before loading nothing is mapped; without /proc/modules the image alone,
// and without /proc/kallsyms nothing at all.
TEST_F(QVKernelTest, BeforeLoadingOrWithoutModulesOrKallsymsLittleIsMapped) {
  ASSERT_NO_FATAL_FAILURE(MakeTree(true, true));
  QVSystemPaths::ScopedRoot root(tree_.root());
  QVProcessLinuxKernel unloaded(KernelId(), "vmlinux", "vmlinux", false);
  EXPECT_TRUE(unloaded.modules().empty());
  EXPECT_EQ(unloaded.kernelImage()->symbolCount(), 0u);
  EXPECT_TRUE(unloaded.sectionMap().isEmpty());
  EXPECT_EQ(QVModule::moduleWithId(unloaded.kernelImage()->moduleId()), unloaded.kernelImage());

  ASSERT_TRUE(FileRemove(tree_.path("/proc/modules")));
  std::string log;
  std::unique_ptr<QVProcessLinuxKernel> kernel = LoadKernel(log);
  EXPECT_NE(log.find("/proc/modules does not exist"), std::string::npos) << log;
  EXPECT_TRUE(kernel->modules().empty());
  EXPECT_EQ(kernel->kernelImage()->addressRange(), QVRange<unsigned long>(kImage, 0x200));
  EXPECT_EQ(SymbolAt(*kernel, kImage + 0x61), "vm_func");
  // Module symbols have no module to go to.
  EXPECT_EQ(SymbolAt(*kernel, kModule), "");
  EXPECT_EQ(kernel->sectionMap().size(), 1u);

  ASSERT_TRUE(FileRemove(tree_.path("/proc/kallsyms")));
  kernel = LoadKernel(log);
  EXPECT_NE(log.find("/proc/kallsyms does not exist"), std::string::npos) << log;
  EXPECT_TRUE(kernel->sectionMap().isEmpty());
  EXPECT_EQ(SymbolAt(*kernel, kImage), "");
}

// VESK_VMLINUX names the image when the file is there; a compressed image
// is decompressed to a temporary file that goes with its module object.
TEST_F(QVKernelTest, VmlinuxVariableAndCompressedImages) {
  ASSERT_NO_FATAL_FAILURE(MakeTree(true, true));
  const std::string own = scratch_.file("own-vmlinux");
  test::CopyFile(tree_.path("/boot/vmlinux"), own);
  QVSystemPaths::ScopedRoot root(tree_.root());
  {
    ScopedEnvironment vmlinux("VESK_VMLINUX", own.c_str());
    EXPECT_EQ(QVKernelModuleLinux("vmlinux", QVRange<unsigned long>()).path(), own);
  }
  {
    const std::string missing = scratch_.file("no-such-vmlinux");
    ScopedEnvironment vmlinux("VESK_VMLINUX", missing.c_str());
    std::shared_ptr<QVKernelModuleLinux> image;
    const std::string log =
        CaptureLog([&] { image = std::make_shared<QVKernelModuleLinux>("vmlinux", QVRange<unsigned long>()); });
    EXPECT_NE(log.find("WARNING failed to find or open " + missing + " for reading"), std::string::npos) << log;
    EXPECT_EQ(image->path(), tree_.path("/boot/vmlinux"));
  }

  const std::string compressed = tree_.path("/boot/vmlinux-" + Release() + ".gz");
  int status = -1;
  RunCommand("gzip -c " + test::ShellQuote(tree_.path("/boot/vmlinux")) + " > " + test::ShellQuote(compressed),
             &status);
  ASSERT_EQ(status, 0);
  const std::string original = test::ReadWholeFile(tree_.path("/boot/vmlinux"));
  ASSERT_TRUE(FileRemove(tree_.path("/boot/vmlinux")));
  auto image = std::make_shared<QVKernelModuleLinux>("vmlinux", QVRange<unsigned long>(kImage, 0x1000));
  const std::string path = image->path();
  EXPECT_EQ(path.rfind("/var/tmp/quorvel-kernelmodule.", 0), 0u) << path;
  EXPECT_EQ(path.size(), std::string("/var/tmp/quorvel-kernelmodule.").size() + 6);
  EXPECT_EQ(test::ReadWholeFile(path), original);
  EXPECT_TRUE(image->backingModule());

  // A second module object decompresses its own copy.
  auto other = std::make_unique<QVKernelModuleLinux>("vmlinux", QVRange<unsigned long>(kImage, 0x1000));
  EXPECT_NE(other->path(), path);
  const std::string otherPath = other->path();
  other.reset();
  EXPECT_FALSE(FileExists(otherPath));

  image.reset();
  EXPECT_FALSE(FileExists(path));

  // A corrupt one leaves no temporary file either.
  ASSERT_TRUE(FileRemove(compressed));
  tree_.writeFile("/boot/vmlinux.gz", "this is not gzip data");
  const std::string log = CaptureLog(
      [&] { image = std::make_shared<QVKernelModuleLinux>("vmlinux", QVRange<unsigned long>(kImage, 0x1000)); });
  EXPECT_NE(log.find("exception occurred while uncompressing " + tree_.path("/boot/vmlinux.gz")), std::string::npos)
      << log;
  EXPECT_EQ(image->path(), "");
  ASSERT_EQ(image->tempFiles().size(), 1u);
  const std::string temp = image->tempFiles().front();
  image.reset();
  EXPECT_FALSE(FileExists(temp));
}

TEST_F(QVKernelTest, AddSymbolRulesAtOneAddress) {
  QVSystemPaths::ScopedRoot root(tree_.root());
  auto module = std::make_shared<QVKernelModuleLinux>("rules", QVRange<unsigned long>(kModule, 0x100));
  module->_addSymbolAtAddress(kModule + 0x10, "g1", QVSymbol::TypeCode, QVSymbol::VisibilityGlobal);
  module->_addSymbolAtAddress(kModule + 0x10, "g2", QVSymbol::TypeCode, QVSymbol::VisibilityGlobal);
  module->_addSymbolAtAddress(kModule + 0x20, "l1", QVSymbol::TypeCode, QVSymbol::VisibilityLocal);
  module->_addSymbolAtAddress(kModule + 0x20, "g3", QVSymbol::TypeCode, QVSymbol::VisibilityGlobal);
  module->_addSymbolAtAddress(kModule + 0x30, "g4", QVSymbol::TypeCode, QVSymbol::VisibilityGlobal);
  module->_addSymbolAtAddress(kModule + 0x30, "g4", QVSymbol::TypeCode, QVSymbol::VisibilityGlobal);
  EXPECT_EQ(module->symbolCount(), 3u);
  module->_fixSymbolRanges();

  QVRange<int> range;
  // The first symbol reaches back to the module start.
  EXPECT_EQ(module->symbolAtOffset(0, range)->name(), "g1");
  EXPECT_EQ(range, QVRange<int>(0, 0x20));
  // A global after a local takes the address over.
  EXPECT_EQ(module->symbolAtOffset(0x20, range)->name(), "g3");
  EXPECT_EQ(module->symbolAtOffset(0xff, range)->name(), "g4");
  EXPECT_EQ(range, QVRange<int>(0x30, 0xd0));

  // Moving a module with symbols is reported but done.
  const std::string log =
      CaptureLog([&] { module->setAddressRange(QVRange<unsigned long>(kModule + 0x1000, 0x100)); });
  EXPECT_NE(log.find("ERROR setting new address range for Linux kernel module with existing symbols"),
            std::string::npos)
      << log;
  EXPECT_EQ(module->section()->addressRange(), QVRange<unsigned long>(kModule + 0x1000, 0x100));
}

TEST_F(QVKernelTest, CurrentKernelProcessIsRegisteredOnceAndResolvesTheMachinesFunctions) {
  std::shared_ptr<QVProcessLinuxKernel> kernel = QVProcessLinuxKernel::currentKernelProcess(false);
  ASSERT_TRUE(kernel);
  EXPECT_EQ(QVProcessLinuxKernel::currentKernelProcess(true), kernel);
  EXPECT_EQ(kernel->processId().nativeIdentifier(), 0);
  EXPECT_EQ(kernel->processId().order(), LocalMachineBootTime());
  EXPECT_EQ(kernel->name(), "vmlinux");
  EXPECT_EQ(QVProcess::processWithId(kernel->processId(), false, false), kernel);
  EXPECT_EQ(QVProcess::kernelProcessForSystem(QVSystemId::currentSystemId(), false), kernel);

  const QVThreadId threadId = QVThreadId::uniqueThreadId(kernel->processId(), 0, LocalMachineBootTime());
  const std::shared_ptr<QVThread>& thread = QVThread::threadWithId(threadId, false, false);
  ASSERT_TRUE(thread);
  EXPECT_EQ(thread->properties().stringValue(QVThread::PROPERTY_THREAD_TYPE), "idle");

  // Loaded from the machine's own kallsyms: a function address it lists
  // resolves to the function that covers it.
  if (!FileExists("/proc/kallsyms")) {
    GTEST_SKIP() << "no /proc/kallsyms on this machine";
  }
  std::string text;
  ASSERT_TRUE(FileReadString("/proc/kallsyms", text));
  // The image's function symbols by address; an address held by several
  // names is not a fair question, as only one of them can win.
  std::map<unsigned long, std::vector<std::string>> image;
  QVProcKallsymsParser::forEach(text, [&image](const QVProcKallsymsEntry& entry) {
    if (entry.isFunction() && entry.module.empty()) {
      image[entry.address].emplace_back(entry.name);
    }
  });
  if (image.empty() || image.rbegin()->first == 0) {
    GTEST_SKIP() << "kernel pointers are restricted and could not be unrestricted";
  }
  ASSERT_GE(image.size(), 3u);

  // A function well inside the image, with one name at its address: the
  // middle entry that qualifies.
  auto it = image.begin();
  std::advance(it, image.size() / 2);
  while (std::next(it) != image.end() && it->second.size() != 1) {
    ++it;
  }
  ASSERT_NE(std::next(it), image.end());
  const unsigned long address = it->first;
  const unsigned long next = std::next(it)->first;
  QVRange<unsigned long> range;
  EXPECT_EQ(SymbolAt(*kernel, address, &range), it->second.front());
  EXPECT_EQ(range, QVRange<unsigned long>(address, next - address));
  EXPECT_EQ(SymbolAt(*kernel, next - 1), it->second.front());
  EXPECT_EQ(kernel->kernelImage()->addressRange().location, image.begin()->first);
}

}  // namespace
}  // namespace Quorvel
