#include "Linux/metrics/QVMetricInfoLinux.h"

#include <initializer_list>

namespace Quorvel {

namespace {

using Info = QVMetricInfo;
constexpr auto V = Info::VALUE;
constexpr auto DV = Info::DELTA_VALUE;
constexpr auto DP = Info::DELTA_PERCENT_TIME;

// Sums of reader slots, as a real (seconds) or an integer value.
template <class Values>
double realSum(const Values& values, std::initializer_list<std::size_t> positions) {
  double sum = 0;
  for (std::size_t position : positions) sum += values.real(position);
  return sum;
}
template <class Values>
uint64_t integerSum(const Values& values, std::initializer_list<std::size_t> positions) {
  uint64_t sum = 0;
  for (std::size_t position : positions) sum += values.integer(position);
  return sum;
}
// A difference of two gauges that the kernel reads at slightly different
// moments; never below zero.
uint64_t gaugeDifference(uint64_t total, uint64_t part) { return total > part ? total - part : 0; }

template <class Metric, class... Args>
std::shared_ptr<Metric> make(Args&&... args) {
  return std::make_shared<Metric>(std::forward<Args>(args)...);
}

}  // namespace

std::vector<std::shared_ptr<QVMetricInfoSystemLinux>> QVLinuxSystemMetrics() {
  using M = QVMetricInfoSystemLinux;
  using R = QVSystemInfoLinux;
  const char* cpu = Info::METRIC_GROUP_CPU;
  const char* memory = Info::METRIC_GROUP_MEMORY;
  const char* loadDescription =
      "Number of jobs in the run queue (state R) or waiting for disk I/O (state D) averaged over ";
  auto statReal = [](std::initializer_list<std::size_t> positions) {
    std::vector<std::size_t> kept(positions);
    return [kept](const Info& info, const R& reader, QVPropertyMap& values) {
      const R::ProcStatValues stat = reader.procStatValues();
      double sum = 0;
      for (std::size_t position : kept) sum += stat.real(position);
      values.setFloat(info.id(), sum);
    };
  };
  auto load = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setFloat(info.id(), reader.procLoadAvgValues().real(position));
    };
  };
  auto memoryDifference = [](std::size_t total, std::size_t part) {
    return [total, part](const Info& info, const R& reader, QVPropertyMap& values) {
      const R::ProcMemInfoValues mem = reader.procMemInfoValues();
      values.setUnsigned(info.id(), gaugeDifference(mem.integer(total), mem.integer(part)));
    };
  };
  auto memoryValue = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setUnsigned(info.id(), reader.procMemInfoValues().integer(position));
    };
  };
  auto vmValue = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setUnsigned(info.id(), reader.procVmStatValues().integer(position));
    };
  };
  auto statInteger = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setUnsigned(info.id(), reader.procStatValues().integer(position));
    };
  };
  return {
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_USER_TIME, cpu, "User Time", "Time spent in user mode.", Info::TIME,
              std::vector<Info::QVMetricView>{DP, DV, V}, statReal({R::UserTime})),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_NICE_USER_TIME, cpu, "Nice Time",
              "Time spent in user mode with low priority (nice).", Info::TIME,
              std::vector<Info::QVMetricView>{DP, DV, V}, statReal({R::NiceTime})),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_SYSTEM_TIME, cpu, "System Time",
              "Time spent in system mode (kernel).", Info::TIME, std::vector<Info::QVMetricView>{DP, DV, V},
              statReal({R::SystemTime, R::IOWaitTime, R::IrqTime, R::SoftIrqTime, R::StealTime, R::GuestTime})),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_IDLE_TIME, cpu, "Idle Time", "Time spent in the idle task.",
              Info::TIME, std::vector<Info::QVMetricView>{DP, DV, V}, statReal({R::IdleTime})),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_LOAD_AVG_1MIN, cpu, "Load Average (1 minute)",
              std::string(loadDescription) + "1 minute.", Info::NONE, std::vector<Info::QVMetricView>{V},
              load(R::LoadAvg1)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_LOAD_AVG_5MIN, cpu, "Load Average (5 minute)",
              std::string(loadDescription) + "5 minutes.", Info::NONE, std::vector<Info::QVMetricView>{V},
              load(R::LoadAvg5)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_LOAD_AVG_15MIN, cpu, "Load Average (15 minute)",
              std::string(loadDescription) + "15 minutes.", Info::NONE, std::vector<Info::QVMetricView>{V},
              load(R::LoadAvg15)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_USED_MEMORY_SIZE, memory, "Memory Used",
              "Total amount of physical memory in use.", Info::BYTES, std::vector<Info::QVMetricView>{V, DV},
              memoryDifference(R::MemTotal, R::MemFree)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_FREE_MEMORY_SIZE, memory, "Memory Free",
              "Total amount of free physical memory.", Info::BYTES, std::vector<Info::QVMetricView>{V, DV},
              memoryValue(R::MemFree)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_USED_SWAP_SIZE, memory, "Swap Used",
              "Total amount of swap space in use.", Info::BYTES, std::vector<Info::QVMetricView>{V, DV},
              memoryDifference(R::SwapTotal, R::SwapFree)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_FREE_SWAP_SIZE, memory, "Swap Free",
              "Total amount free swap space.", Info::BYTES, std::vector<Info::QVMetricView>{V, DV},
              memoryValue(R::SwapFree)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_PAGE_IN_COUNT, memory, "Page Ins",
              "The number of pages that the system has paged in.", Info::COUNT,
              std::vector<Info::QVMetricView>{DV, V}, vmValue(R::PageIns)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_PAGE_OUT_COUNT, memory, "Page Outs",
              "The number of pages that the system has paged out.", Info::COUNT,
              std::vector<Info::QVMetricView>{DV, V}, vmValue(R::PageOuts)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_CONTEXT_SWITCH_COUNT, cpu, "Context Switches",
              "The number of context switches that have occurred.", Info::COUNT,
              std::vector<Info::QVMetricView>{DV, V}, statInteger(R::ContextSwitches)),
      make<M>(Info::SYSTEM, Info::METRIC_ID_SYSTEM_INTERRUPT_COUNT, cpu, "Interrupts",
              "The number of interrupts that have been serviced.", Info::COUNT,
              std::vector<Info::QVMetricView>{DV, V}, statInteger(R::Interrupts)),
  };
}

std::vector<std::shared_ptr<QVMetricInfoProcessLinux>> QVLinuxProcessMetrics() {
  using M = QVMetricInfoProcessLinux;
  using R = QVTaskInfoLinux;
  using Stat = R::ProcStatValues;
  using Status = R::ProcStatusValues;
  const char* cpu = Info::METRIC_GROUP_CPU;
  const char* memory = Info::METRIC_GROUP_MEMORY;
  auto statReal = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setFloat(info.id(), reader.procStatValues().real(position));
    };
  };
  auto statInteger = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setUnsigned(info.id(), reader.procStatValues().integer(position));
    };
  };
  auto statusInteger = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setUnsigned(info.id(), reader.procStatusValues().integer(position));
    };
  };
  return {
      make<M>(Info::PROCESS, Info::METRIC_ID_PROCESS_USER_TIME, cpu, "User Time", "Time spent in user mode.",
              Info::TIME, std::vector<Info::QVMetricView>{DP, DV, V}, statReal(Stat::UserTime)),
      make<M>(Info::PROCESS, Info::METRIC_ID_PROCESS_SYSTEM_TIME, cpu, "System Time",
              "Time spent in system mode (kernel).", Info::TIME, std::vector<Info::QVMetricView>{DP, DV, V},
              statReal(Stat::SystemTime)),
      make<M>(Info::PROCESS, Info::METRIC_ID_PROCESS_THREAD_COUNT, cpu, "Threads", "Number of threads in this process.",
              Info::COUNT, std::vector<Info::QVMetricView>{V, DV},
              [](const Info& info, const R& reader, QVPropertyMap& values) {
                values.setSigned(info.id(), reader.procStatusValues().threadCount());
              }),
      make<M>(Info::PROCESS, Info::METRIC_ID_PROCESS_VIRTUAL_SIZE, memory, "Virtual Size", "Virtual memory size.",
              Info::BYTES, std::vector<Info::QVMetricView>{V, DV}, statusInteger(Status::VmSize)),
      make<M>(Info::PROCESS, Info::METRIC_ID_PROCESS_RESIDENT_SIZE, memory, "Resident Size",
              "Resident set size. This amount of real (physical) memory being used.", Info::BYTES,
              std::vector<Info::QVMetricView>{V, DV}, statusInteger(Status::VmRSS)),
      make<M>(Info::PROCESS, Info::METRIC_ID_PROCESS_MAJOR_FAULT_COUNT, memory, "Major Faults",
              "The number of major faults that the process has made which have required loading a memory page "
              "from disk.",
              Info::COUNT, std::vector<Info::QVMetricView>{DV, V}, statInteger(Stat::MajorFaults)),
      make<M>(Info::PROCESS, Info::METRIC_ID_PROCESS_MINOR_FAULT_COUNT, memory, "Minor Faults",
              "The number of minor faults that the process has made which have not required loading a memory "
              "page from disk.",
              Info::COUNT, std::vector<Info::QVMetricView>{DV, V}, statInteger(Stat::MinorFaults)),
      make<M>(Info::PROCESS, Info::METRIC_ID_PROCESS_CONTEXT_SWITCH_COUNT, cpu, "Context Switches",
              "Number of voluntary and nonvoluntary context switches.", Info::COUNT,
              std::vector<Info::QVMetricView>{DV, V},
              [](const Info& info, const R& reader, QVPropertyMap& values) {
                values.setUnsigned(info.id(), integerSum(reader.procStatusValues(),
                                                         {Status::VoluntaryContextSwitches,
                                                          Status::NonvoluntaryContextSwitches}));
              }),
  };
}

std::vector<std::shared_ptr<QVMetricInfoDiskLinux>> QVLinuxDiskMetrics() {
  using M = QVMetricInfoDiskLinux;
  using R = QVDiskInfoLinux;
  const char* disk = Info::METRIC_GROUP_DISK;
  auto count = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setUnsigned(info.id(), reader.diskStats().integer(position));
    };
  };
  auto time = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setFloat(info.id(), realSum(reader.diskStats(), {position}));
    };
  };
  return {
      make<M>(Info::DISK, Info::METRIC_ID_DISK_READ_COUNT, disk, "Disk Reads", "The number of disk read operations.",
              Info::COUNT, std::vector<Info::QVMetricView>{DV, V}, count(R::Reads)),
      make<M>(Info::DISK, Info::METRIC_ID_DISK_READ_BYTES, disk, "Disk Read Size", "The amount of data read from disk.",
              Info::BYTES, std::vector<Info::QVMetricView>{DV, V}, count(R::ReadBytes)),
      make<M>(Info::DISK, Info::METRIC_ID_DISK_READ_TIME, disk, "Disk Read Time", "Time spent reading data from disk.",
              Info::TIME, std::vector<Info::QVMetricView>{DP, DV, V}, time(R::ReadTime)),
      make<M>(Info::DISK, Info::METRIC_ID_DISK_WRITE_COUNT, disk, "Disk Writes", "The number of disk write operations.",
              Info::COUNT, std::vector<Info::QVMetricView>{DV, V}, count(R::Writes)),
      make<M>(Info::DISK, Info::METRIC_ID_DISK_WRITE_BYTES, disk, "Disk Write Size",
              "The amount of data written to disk.", Info::BYTES, std::vector<Info::QVMetricView>{DV, V},
              count(R::WriteBytes)),
      make<M>(Info::DISK, Info::METRIC_ID_DISK_WRITE_TIME, disk, "Disk Write Time", "Time spent writing data to disk.",
              Info::TIME, std::vector<Info::QVMetricView>{DP, DV, V}, time(R::WriteTime)),
  };
}

std::vector<std::shared_ptr<QVMetricInfoNetworkLinux>> QVLinuxNetworkMetrics() {
  using M = QVMetricInfoNetworkLinux;
  using R = QVNetworkInfoLinux;
  const char* network = Info::METRIC_GROUP_NETWORK;
  const char* loopback = " (does not include loopback device).";
  auto count = [](std::size_t position) {
    return [position](const Info& info, const R& reader, QVPropertyMap& values) {
      values.setUnsigned(info.id(), reader.networkStats().integer(position));
    };
  };
  return {
      make<M>(Info::NETWORK, Info::METRIC_ID_NETWORK_PACKET_RECEIVE_COUNT, network, "Packets Received",
              std::string("The number of network packets received") + loopback, Info::COUNT,
              std::vector<Info::QVMetricView>{DV, V}, count(R::ReceivePackets)),
      make<M>(Info::NETWORK, Info::METRIC_ID_NETWORK_PACKET_RECEIVE_BYTES, network, "Bytes Received",
              std::string("The amount of network data received") + loopback, Info::BYTES,
              std::vector<Info::QVMetricView>{DV, V}, count(R::ReceiveBytes)),
      make<M>(Info::NETWORK, Info::METRIC_ID_NETWORK_PACKET_SEND_COUNT, network, "Packets Sent",
              std::string("The number of network packets sent") + loopback, Info::COUNT,
              std::vector<Info::QVMetricView>{DV, V}, count(R::SendPackets)),
      make<M>(Info::NETWORK, Info::METRIC_ID_NETWORK_PACKET_SEND_BYTES, network, "Bytes Sent",
              std::string("The amount of network data sent") + loopback, Info::BYTES,
              std::vector<Info::QVMetricView>{DV, V}, count(R::SendBytes)),
  };
}

}  // namespace Quorvel
