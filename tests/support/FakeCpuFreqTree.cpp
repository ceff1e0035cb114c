#include "support/FakeCpuFreqTree.h"

#include <boost/filesystem.hpp>
#include <sstream>

#include "system/QVFileUtils.h"

namespace Quorvel {
namespace test {

namespace {

const char* const kFiles[] = {"scaling_available_governors", "scaling_available_frequencies",
                              "scaling_governor",            "scaling_min_freq",
                              "scaling_max_freq",            "scaling_cur_freq",
                              "scaling_setspeed"};

}  // namespace

FakeCpuFreqTree::FakeCpuFreqTree(unsigned processorCount) : scratch_("qvcpufreq"), count_(processorCount) {
  WriteWholeFile(root() + "/sys/devices/system/cpu/possible", "0-" + std::to_string(processorCount - 1) + "\n");
}

std::string FakeCpuFreqTree::path(unsigned index, const std::string& file) const {
  return root() + "/sys/devices/system/cpu/cpu" + std::to_string(index) + "/cpufreq/" + file;
}

void FakeCpuFreqTree::addProcessor(unsigned index, const Processor& processor) {
  // The kernel ends every value with a newline, lists with a blank before it.
  write(index, "scaling_available_governors", processor.governors + " \n");
  write(index, "scaling_available_frequencies", processor.frequencies + " \n");
  write(index, "scaling_governor", processor.governor + "\n");
  write(index, "scaling_min_freq", std::to_string(processor.minimum) + "\n");
  write(index, "scaling_max_freq", std::to_string(processor.maximum) + "\n");
  write(index, "scaling_cur_freq", std::to_string(processor.current) + "\n");
  write(index, "scaling_setspeed", processor.setspeed + "\n");
}

std::string FakeCpuFreqTree::read(unsigned index, const std::string& file) const {
  std::string text;
  FileReadString(path(index, file), text);
  const size_t begin = text.find_first_not_of(" \n");
  const size_t end = text.find_last_not_of(" \n");
  return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

void FakeCpuFreqTree::write(unsigned index, const std::string& file, const std::string& text) const {
  WriteWholeFile(path(index, file), text);
}

std::string FakeCpuFreqTree::snapshot() const {
  std::ostringstream text;
  for (unsigned index = 0; index < count_; ++index) {
    for (const char* file : kFiles) {
      if (FileExists(path(index, file))) text << "cpu" << index << '/' << file << '=' << read(index, file) << '\n';
    }
  }
  return text.str();
}

void FakeCpuFreqTree::linkRealSystemTrees() const {
  for (const char* tree : {"proc", "dev", "etc", "lib", "opt", "usr/share"}) {
    const boost::filesystem::path link = boost::filesystem::path(root()) / tree;
    boost::filesystem::create_directories(link.parent_path());
    boost::filesystem::create_directory_symlink(std::string("/") + tree, link);
  }
}

}  // namespace test
}  // namespace Quorvel
