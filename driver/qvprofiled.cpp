// qvprofiled: the user-space stand-in for the qvprofile kernel module (and,
// with --notify, for the qvnotify task-exit module). It
// serves the module's driver filesystem over FUSE: fact files, settings read
// back as stored, per-processor statistics, the control files "enable",
// "dump" and "adapt", and the "buffer" device whose reads block until event
// words are available. Samples come from perf events on every processor, or,
// with --script, from a file of prepared stream units (for tests). With
// --notify it serves the qvnotify layout instead: "pointer_size", the buffer
// settings, "enable", "dump", "stats/event_lost_overflow", the cookie table
// "dcookies/<hex>" and a "buffer" of task-exit records. With --oprofile it
// serves the oprofile driver's layout: its timer mode ("cpu_type" "timer",
// the tick's samples), samples as offsets into files named by cookies, and
// the same cookie table.
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QVNotifydTaskTable.h"
#include "QVNotifydTaskTracker.h"
#include "QVOprofiledEncoder.h"
#include "QVProfiledEventQueue.h"
#include "QVProfiledPerfSampler.h"

using namespace Quorvel;

namespace {

// oprofile's timer mode samples on the kernel's tick; HZ=1000 is the usual.
constexpr uint64_t kOprofileTickNanos = 1000000;

struct Options {
  const char* script = nullptr;
  const char* cpuType = nullptr;
  int pointerSize = 8;
  unsigned long lost = 0;      // scripted: "stats/event_lost_overflow"
  unsigned long cpu0Lost = 0;  // scripted: "stats/cpu0/sample_lost_overflow"
  int notify = 0;              // serve the task-exit layout
  int oprofile = 0;            // serve oprofile's layout
  int timer = 0;               // oprofile's module option "timer=1"
  int showHelp = 0;
};

const fuse_opt kOptionSpec[] = {
    {"--script=%s", offsetof(Options, script), 0},
    {"--cpu-type=%s", offsetof(Options, cpuType), 0},
    {"--pointer-size=%d", offsetof(Options, pointerSize), 0},
    {"--lost=%lu", offsetof(Options, lost), 0},
    {"--cpu0-lost=%lu", offsetof(Options, cpu0Lost), 0},
    {"--notify", offsetof(Options, notify), 1},
    {"--oprofile", offsetof(Options, oprofile), 1},
    {"--help", offsetof(Options, showHelp), 1},
    {"-h", offsetof(Options, showHelp), 1},
    FUSE_OPT_END,
};

/// One file of the driver filesystem.
struct Node {
  bool directory = false;
  std::function<std::string()> read;             // null: not readable
  std::function<int(const std::string&)> write;  // null: not writable; returns 0 or -errno
};

class Driver {
 public:
  explicit Driver(const Options& options);

  /// The node of a path; the cookie table's entries exist as cookies do.
  bool find(const std::string& path, Node& node) const;
  std::vector<std::string> children(const std::string& dir) const;
  /// Reads the --script units, played on every "enable" 1.
  bool loadScript(std::string& error);
  size_t readBuffer(unsigned char* out, size_t size) { return queue_.read(out, size); }
  int dump();
  void shutdown();

 private:
  void _add(const std::string& path, Node node) { nodes_[path] = std::move(node); }
  void _buildProfile();
  void _buildNotify();
  void _buildOprofile();
  // The event buffer's size and wake-up mark, which both layouts serve.
  void _bufferSettings();
  bool _servesCookies() const { return options_.notify || options_.oprofile; }
  void _setting(const std::string& path, uint64_t initial, std::function<int(uint64_t)> onWrite = nullptr);
  int _enable(uint64_t value);
  void _playScript();

  std::vector<std::vector<unsigned char>> script_;

  Options options_;
  unsigned processors_;
  std::map<std::string, Node> nodes_;
  std::map<std::string, uint64_t> values_;
  std::mutex mutex_;  // settings and the enable state
  QVProfiledEventQueue queue_;
  QVProfiledPerfSampler sampler_;
  QVNotifydTaskTable tasks_;
  QVNotifydTaskTracker tracker_;
  QVOprofiledEncoder encoder_;
  std::atomic<bool> callchains_{false};  // read by the sampler's thread
  bool enabled_ = false;
};

bool parseNumber(const std::string& text, uint64_t& value) {
  size_t begin = text.find_first_not_of(" \t\n");
  size_t end = text.find_last_not_of(" \t\n\0");
  if (begin == std::string::npos) return false;
  std::string digits = text.substr(begin, end - begin + 1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  value = std::strtoull(digits.c_str(), nullptr, 10);
  return errno == 0;
}

std::string readFirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

uint64_t processorKhz() {
  uint64_t khz = 0;
  if (parseNumber(readFirstLine("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"), khz)) return khz;
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 7, "cpu MHz") == 0) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) return uint64_t(std::strtod(line.c_str() + colon + 1, nullptr) * 1000);
    }
  }
  return 0;
}

Driver::Driver(const Options& options)
    : options_(options),
      processors_(unsigned(sysconf(_SC_NPROCESSORS_CONF))),
      queue_(131072, uint64_t(options.pointerSize)),
      sampler_(queue_, processors_),
      tracker_(queue_, tasks_, processors_),
      encoder_(tasks_) {
  _add("/", Node{true, nullptr, nullptr});
  _add("/stats", Node{true, nullptr, nullptr});
  if (options.notify) {
    _buildNotify();
  } else if (options.oprofile) {
    _buildOprofile();
  } else {
    _buildProfile();
  }
}

void Driver::_bufferSettings() {
  _setting("/buffer_size", 131072, [this](uint64_t words) {
    if (words == 0) return -EINVAL;
    queue_.setCapacity(words);
    return 0;
  });
  _setting("/buffer_watershed", 32768, [this](uint64_t words) {
    queue_.setWatershed(words);
    return 0;
  });
  queue_.setWatershed(32768);
}

void Driver::_buildNotify() {
  _add("/pointer_size", Node{false, [this] { return std::to_string(options_.pointerSize) + "\n"; }, nullptr});
  _bufferSettings();
  _setting("/enable", 0, [this](uint64_t value) { return _enable(value); });
  _add("/dump", Node{false, [] { return std::string("0\n"); }, [this](const std::string&) { return dump(); }});
  _add("/dcookies", Node{true, nullptr, nullptr});
  _add(
      "/stats/event_lost_overflow",
      Node{false, [this] { return std::to_string(queue_.lostUnits() + tracker_.lostRecords() + options_.lost) + "\n"; },
           nullptr});
}

bool Driver::find(const std::string& path, Node& node) const {
  auto it = nodes_.find(path);
  if (it != nodes_.end()) {
    node = it->second;
    return true;
  }
  const std::string prefix = "/dcookies/";
  if (!_servesCookies() || path.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string hex = path.substr(prefix.size());
  if (hex.empty() || hex.find_first_not_of("0123456789abcdef") != std::string::npos || hex.size() > 16) return false;
  std::string file;
  if (!tasks_.cookiePath(std::strtoull(hex.c_str(), nullptr, 16), file)) return false;
  node = Node{false, [file] { return file + "\n"; }, nullptr};
  return true;
}

void Driver::_buildProfile() {
  const Options& options = options_;
  auto fact = [this](const std::string& path, std::string text) {
    _add(path, Node{false, [text] { return text + "\n"; }, nullptr});
  };
  fact("/cpu_type", options.cpuType ? options.cpuType : "timer");
  fact("/cpu_khz", std::to_string(processorKhz()));
  fact("/pointer_size", std::to_string(options.pointerSize));
  // The timer runs in nanoseconds: "timer_count" is the period in ns.
  fact("/timer_freq", "1000000000");
  fact("/num_counters", "0");
  _setting("/backtrace_depth", 0, [](uint64_t depth) { return depth <= 512 ? 0 : -EINVAL; });
  _bufferSettings();
  _setting("/cpu_buffer_size", 8192);
  _setting("/idle_poll", 0);
  _setting("/enable_kernel", 1);
  _setting("/enable_user", 1);
  _setting("/timer_count", 1000000, [](uint64_t count) { return count == 0 ? -EINVAL : 0; });
  _setting("/enable", 0, [this](uint64_t value) { return _enable(value); });
  _add("/dump", Node{false, [] { return std::string("0\n"); }, [this](const std::string&) { return dump(); }});
  _add("/adapt", Node{false, [] { return std::string("0\n"); },
                      [this](const std::string&) {
                        if (options_.script) return 0;
                        return sampler_.adapt() ? 0 : -EIO;
                      }});
  _add("/stats/event_lost_overflow",
       Node{false, [this] { return std::to_string(queue_.lostUnits() + options_.lost) + "\n"; }, nullptr});
  for (unsigned cpu = 0; cpu < processors_; ++cpu) {
    std::string dir = "/stats/cpu" + std::to_string(cpu);
    _add(dir, Node{true, nullptr, nullptr});
    _add(dir + "/sample_lost_overflow",
         Node{false,
              [this, cpu] {
                return std::to_string(sampler_.lostRecords(cpu) + (cpu == 0 ? options_.cpu0Lost : 0)) + "\n";
              },
              nullptr});
  }
}

void Driver::_buildOprofile() {
  // oprofile's files over the profile driver's, without what only the
  // library's own module has: its timer setting, adaptation, idle polling.
  _buildProfile();
  for (const char* own : {"/timer_count", "/timer_freq", "/adapt", "/idle_poll", "/num_counters", "/cpu_khz",
                          "/enable_kernel", "/enable_user"}) {
    nodes_.erase(own);
    values_.erase(own);
  }
  _add("/dcookies", Node{true, nullptr, nullptr});
  tracker_.setReportExits(false);
  sampler_.setEncoder(
      [this](uint32_t cpu, uint32_t pid, uint32_t tid, const std::vector<QVProfiledPerfSampler::Frame>& frames) {
        return encoder_.encode(cpu, pid, tid, frames, callchains_);
      });
}

void Driver::_setting(const std::string& path, uint64_t initial, std::function<int(uint64_t)> onWrite) {
  values_[path] = initial;
  Node node;
  node.read = [this, path] {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::to_string(values_[path]) + "\n";
  };
  node.write = [this, path, onWrite](const std::string& text) {
    uint64_t value;
    if (!parseNumber(text, value)) return -EINVAL;
    if (onWrite) {
      int result = onWrite(value);
      if (result != 0) return result;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    values_[path] = value;
    return 0;
  };
  _add(path, node);
}

int Driver::_enable(uint64_t value) {
  if (value > 1) return -EINVAL;
  std::lock_guard<std::mutex> lock(mutex_);
  if (bool(value) == enabled_) return 0;
  if (value) {
    queue_.arm();
    if (options_.script) {
      _playScript();
    } else if (options_.notify) {
      std::string error;
      if (!tracker_.start("/proc", error)) {
        std::fprintf(stderr, "qvprofiled: %s\n", error.c_str());
        return -EIO;
      }
    } else {
      QVProfiledPerfSampler::Settings settings;
      // oprofile's timer mode samples on the kernel's tick.
      settings.periodNanos = options_.oprofile ? kOprofileTickNanos : values_["/timer_count"];
      settings.callchains = values_["/backtrace_depth"] != 0;
      settings.depth = uint32_t(values_["/backtrace_depth"]);
      settings.kernel = options_.oprofile || values_["/enable_kernel"] != 0;
      settings.user = options_.oprofile || values_["/enable_user"] != 0;
      std::string error;
      // The files behind the samples' addresses are known before the first sample.
      if (options_.oprofile && !tracker_.start("/proc", error)) {
        std::fprintf(stderr, "qvprofiled: %s\n", error.c_str());
        return -EIO;
      }
      callchains_ = settings.callchains;
      if (!sampler_.start(settings, error)) {
        tracker_.stop();
        std::fprintf(stderr, "qvprofiled: %s\n", error.c_str());
        return -EIO;
      }
    }
    enabled_ = true;
  } else {
    sampler_.stop();
    tracker_.stop();
    queue_.release();
    enabled_ = false;
  }
  return 0;
}

bool Driver::loadScript(std::string& error) {
  // Units: a 32-bit byte length, then that many bytes of stream words.
  std::ifstream in(options_.script, std::ios::binary);
  if (!in) {
    error = std::string("cannot open script ") + options_.script;
    return false;
  }
  uint32_t length;
  while (in.read(reinterpret_cast<char*>(&length), sizeof length)) {
    std::vector<unsigned char> unit(length);
    if (!in.read(reinterpret_cast<char*>(unit.data()), length)) {
      error = std::string("script ") + options_.script + " ends inside a unit";
      return false;
    }
    script_.push_back(std::move(unit));
  }
  return true;
}

void Driver::_playScript() {
  for (const std::vector<unsigned char>& unit : script_) queue_.push(unit);
}

int Driver::dump() {
  // Samples reach the queue as the rings are drained; a stopped sampler has
  // drained everything, so a flush only has to wake waiting readers.
  if (!enabled_) queue_.release();
  return 0;
}

void Driver::shutdown() {
  sampler_.stop();
  tracker_.stop();
  queue_.shutdown();
}

std::vector<std::string> Driver::children(const std::string& dir) const {
  std::vector<std::string> names;
  const std::string prefix = dir == "/" ? "/" : dir + "/";
  for (const auto& entry : nodes_) {
    const std::string& path = entry.first;
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) continue;
    if (path.find('/', prefix.size()) != std::string::npos) continue;
    names.push_back(path.substr(prefix.size()));
  }
  if (dir == "/") names.push_back("buffer");
  if (dir == "/dcookies" && _servesCookies()) {
    for (uint64_t cookie : tasks_.cookies()) {
      char hex[17];
      std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(cookie));
      names.push_back(hex);
    }
  }
  return names;
}

// Module options arrive as plain words after the mount point ("timer=1"
// from "modprobe oprofile timer=1" through the init script).
int keepModuleOption(void* data, const char* arg, int key, fuse_args*) {
  if (key == FUSE_OPT_KEY_NONOPT && std::strncmp(arg, "timer=", 6) == 0) {
    static_cast<Options*>(data)->timer = std::atoi(arg + 6);
    return 0;
  }
  return 1;
}

Driver* driver() { return static_cast<Driver*>(fuse_get_context()->private_data); }

int opGetattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/buffer") == 0) {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    return 0;
  }
  Node found;
  if (!driver()->find(path, found)) return -ENOENT;
  const Node* node = &found;
  if (node->directory) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  st->st_mode = S_IFREG | (node->read ? 0444 : 0) | (node->write ? 0200 : 0);
  st->st_nlink = 1;
  st->st_size = node->read ? off_t(node->read().size()) : 0;
  return 0;
}

int opReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  Node found;
  if (!driver()->find(path, found) || !found.directory) return -ENOTDIR;
  fill(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
  fill(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
  for (const std::string& name : driver()->children(path)) fill(buf, name.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
  return 0;
}

int opOpen(const char* path, fuse_file_info* fi) {
  // Contents change behind the kernel's back: no page cache, no size limits.
  fi->direct_io = 1;
  fi->nonseekable = std::strcmp(path, "/buffer") == 0;
  if (fi->nonseekable) return 0;
  Node found;
  if (!driver()->find(path, found)) return -ENOENT;
  const Node* node = &found;
  if (node->directory) return -EISDIR;
  int mode = fi->flags & O_ACCMODE;
  if ((mode != O_WRONLY && !node->read) || (mode != O_RDONLY && !node->write)) return -EACCES;
  return 0;
}

int opRead(const char* path, char* out, size_t size, off_t offset, fuse_file_info*) {
  if (std::strcmp(path, "/buffer") == 0) return int(driver()->readBuffer(reinterpret_cast<unsigned char*>(out), size));
  Node found;
  if (!driver()->find(path, found) || !found.read) return -EACCES;
  const Node* node = &found;
  std::string text = node->read();
  if (offset >= off_t(text.size())) return 0;
  size_t n = std::min(size, text.size() - size_t(offset));
  std::memcpy(out, text.data() + offset, n);
  return int(n);
}

int opWrite(const char* path, const char* data, size_t size, off_t offset, fuse_file_info*) {
  if (std::strcmp(path, "/buffer") == 0) {
    // Any 4-byte write asks for pending samples to be flushed.
    if (size != 4) return -EINVAL;
    int result = driver()->dump();
    return result == 0 ? int(size) : result;
  }
  Node found;
  if (!driver()->find(path, found) || !found.write) return -EACCES;
  const Node* node = &found;
  if (offset != 0) return -EINVAL;
  int result = node->write(std::string(data, size));
  return result == 0 ? int(size) : result;
}

int opTruncate(const char* path, off_t, fuse_file_info*) {
  // Settings are replaced whole by the next write; truncation is a no-op.
  if (std::strcmp(path, "/buffer") == 0) return 0;
  Node found;
  return driver()->find(path, found) && found.write ? 0 : -EACCES;
}

void opDestroy(void* data) { static_cast<Driver*>(data)->shutdown(); }

}  // namespace

int main(int argc, char** argv) {
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  Options options;
  if (fuse_opt_parse(&args, &options, kOptionSpec, keepModuleOption) != 0) return 2;
  if (options.showHelp) {
    std::printf(
        "usage: qvprofiled MOUNTPOINT [FUSE options] [--script=FILE] [--cpu-type=TYPE] [--pointer-size=4|8]\n"
        "Serves the qvprofile driver filesystem at MOUNTPOINT.\n"
        "  --script=FILE      play the stream units of FILE on \"enable\" instead of sampling\n"
        "  --cpu-type=TYPE    the \"cpu_type\" to report (default: timer)\n"
        "  --pointer-size=N   word size of the event stream (default: 8)\n"
        "  --lost=N           scripted: records the event buffer reports lost\n"
        "  --cpu0-lost=N      scripted: records processor 0's buffer reports lost\n"
        "  --notify           serve the qvnotify task-exit layout instead\n"
        "  --oprofile         serve the oprofile driver's layout instead (timer mode)\n"
        "  timer=1            oprofile's module option; timer mode is the only one served\n");
    fuse_opt_add_arg(&args, "--help");
    args.argv[0][0] = '\0';
  }
  if (options.notify && options.oprofile) {
    std::fprintf(stderr, "qvprofiled: --notify and --oprofile serve different drivers; give one\n");
    return 2;
  }
  if (options.pointerSize != 4 && options.pointerSize != 8) {
    std::fprintf(stderr, "qvprofiled: --pointer-size must be 4 or 8\n");
    return 2;
  }
  if (!options.script && options.pointerSize != 8) {
    std::fprintf(stderr, "qvprofiled: live sampling writes 64-bit words; --pointer-size=4 needs --script\n");
    return 2;
  }
  fuse_operations ops;
  std::memset(&ops, 0, sizeof ops);
  ops.getattr = opGetattr;
  ops.readdir = opReaddir;
  ops.open = opOpen;
  ops.read = opRead;
  ops.write = opWrite;
  ops.truncate = opTruncate;
  ops.destroy = opDestroy;
  Driver* state = new Driver(options);
  std::string error;
  if (options.script && !state->loadScript(error)) {
    std::fprintf(stderr, "qvprofiled: %s\n", error.c_str());
    delete state;
    return 1;
  }
  int status = fuse_main(args.argc, args.argv, &ops, state);
  fuse_opt_free_args(&args);
  delete state;
  return status;
}
