#include "archivers/QVUniqueCallStackTenureArchiver.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "model/QVProcess.h"
#include "samples/QVSymbolSource.h"

namespace Quorvel {

namespace {

const char* const kUserKey = "User";
const char* const kSupervisorKey = "Supervisor";
const char* const kHypervisorKey = "Hypervisor";

// A stack sampled in the kernel goes on into the user code that entered
// it: kernel frames first, then the thread's own. Each frame resolves
// through the kernel where the kernel maps its address, through the
// thread's process everywhere else.
class SupervisorSymbolSource : public QVSymbolSource {
 public:
  SupervisorSymbolSource(const QVSymbolSource* kernel, const QVSymbolSource* user) : kernel_(kernel), user_(user) {}

  const std::shared_ptr<QVSection>& sectionForCallFrame(const QVAbstractCallFrame& frame,
                                                        QVRange<unsigned long>& range) const override {
    return _sourceFor(frame).sectionForCallFrame(frame, range);
  }
  const std::shared_ptr<QVSymbol>& symbolForCallFrame(const QVAbstractCallFrame& frame,
                                                      QVRange<unsigned long>& range) const override {
    return _sourceFor(frame).symbolForCallFrame(frame, range);
  }

 private:
  const QVSymbolSource& _sourceFor(const QVAbstractCallFrame& frame) const {
    if (!user_) return *kernel_;
    QVRange<unsigned long> range;
    return kernel_->sectionForCallFrame(frame, range) ? *kernel_ : *user_;
  }

  const QVSymbolSource* kernel_;
  const QVSymbolSource* user_;
};

// Registered processes live as long as their registry, so the trees keep
// plain pointers to them, and to the supervisor sources made for them,
// which live as long.
const QVSymbolSource* DefaultSymbolSource(const QVThreadId& threadId, int state) {
  const QVSymbolSource* user = QVProcess::processWithId(threadId.asProcessId(), false, false).get();
  if (state == QVContext::StateUser) return user;
  const QVSymbolSource* kernel = QVProcess::kernelProcessForSystem(threadId.asSystemId(), false).get();
  if (state != QVContext::StateSupervisor || !kernel || !user) return kernel;
  static std::mutex mutex;
  static std::map<std::pair<const QVSymbolSource*, const QVSymbolSource*>, std::unique_ptr<SupervisorSymbolSource>>
      sources;
  std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<SupervisorSymbolSource>& source = sources[std::make_pair(kernel, user)];
  if (!source) source = std::make_unique<SupervisorSymbolSource>(kernel, user);
  return source.get();
}

}  // namespace

QVUniqueCallStackTenureArchiver::QVUniqueCallStackTenureArchiver() = default;

QVUniqueCallStackTenureArchiver::~QVUniqueCallStackTenureArchiver() = default;

QVUniqueCallStackTenureArchiver::FrameArchiverMap& QVUniqueCallStackTenureArchiver::_mapForState(int state) {
  switch (state) {
    case QVContext::StateUser:
      return userFrameArchivers_;
    case QVContext::StateSupervisor:
      return supervisorFrameArchivers_;
    default:
      return hypervisorFrameArchivers_;
  }
}

const QVUniqueCallStackTenureArchiver::FrameArchiverMap& QVUniqueCallStackTenureArchiver::_mapForState(
    int state) const {
  return const_cast<QVUniqueCallStackTenureArchiver*>(this)->_mapForState(state);
}

const std::shared_ptr<QVUniqueCallFrameArchiver>& QVUniqueCallStackTenureArchiver::_frameArchiverForContext(
    const QVContext& context) {
  if (lastFrameArchiver_ && context == lastContext_) {
    return lastFrameArchiver_;
  }
  std::shared_ptr<QVUniqueCallFrameArchiver>& slot = _mapForState(context.state())[context.threadId()];
  if (!slot) {
    slot = std::make_shared<QVUniqueCallFrameArchiver>();
    if (const QVSymbolSource* source = DefaultSymbolSource(context.threadId(), context.state())) {
      slot->setSymbolSource(source);
    }
  }
  lastContext_ = context;
  lastFrameArchiver_ = slot;
  return lastFrameArchiver_;
}

void QVUniqueCallStackTenureArchiver::archive(const QVContext& context, const uint64_t& beginTick,
                                              const uint64_t& endTick, const std::vector<uint64_t>& addresses) {
  const std::shared_ptr<QVUniqueCallFrameArchiver>& frameArchiver = _frameArchiverForContext(context);
  const int leaf = frameArchiver->archiveCallFrames(addresses);
  _addSample(std::make_shared<QVUniqueCallStackTenure>(context, beginTick, endTick, frameArchiver, leaf));
}

void QVUniqueCallStackTenureArchiver::archive(const QVContext& context, const uint64_t& beginTick,
                                              const uint64_t& endTick, const std::vector<uint64_t>& addresses,
                                              char schedulerState, int64_t cpuTimeNanos) {
  const std::shared_ptr<QVUniqueCallFrameArchiver>& frameArchiver = _frameArchiverForContext(context);
  const int leaf = frameArchiver->archiveCallFrames(addresses);
  auto sample = std::make_shared<QVUniqueCallStackTenure>(context, beginTick, endTick, frameArchiver, leaf);
  sample->setScheduling(schedulerState, cpuTimeNanos);
  _addSample(sample);
}

std::shared_ptr<QVUniqueCallFrameArchiver> QVUniqueCallStackTenureArchiver::getFrameArchiver(
    const QVContext& context) const {
  const FrameArchiverMap& map = _mapForState(context.state());
  const auto found = map.find(context.threadId());
  return found != map.end() ? found->second : nullptr;
}

void QVUniqueCallStackTenureArchiver::clear() {
  QVAbstractCallStackTenureArchiver::clear();
  userFrameArchivers_.clear();
  supervisorFrameArchivers_.clear();
  hypervisorFrameArchivers_.clear();
  lastContext_ = QVContext();
  lastFrameArchiver_.reset();
}

void QVUniqueCallStackTenureArchiver::_encodeFrameArchivers(QVArchiver* archiver, const FrameArchiverMap& map,
                                                            const char* key) {
  // Thread order, so that the same recording always writes the same file.
  std::vector<QVThreadId> threadIds;
  threadIds.reserve(map.size());
  for (const auto& entry : map) {
    threadIds.push_back(entry.first);
  }
  std::sort(threadIds.begin(), threadIds.end());

  archiver->beginList(key);
  archiver->beginList("ThreadIds");
  for (const QVThreadId& threadId : threadIds) {
    archiver->encodeObject(threadId, "ThreadId");
  }
  archiver->endList("ThreadIds");
  archiver->beginList("FrameArchivers");
  for (const QVThreadId& threadId : threadIds) {
    archiver->encodeObject(*map.at(threadId), "FrameArchiver");
  }
  archiver->endList("FrameArchivers");
  archiver->endList(key);
}

void QVUniqueCallStackTenureArchiver::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->beginList("CallStacks");
  _encodeSamples(archiver, "CallStack");
  archiver->endList("CallStacks");
  _encodeFrameArchivers(archiver, userFrameArchivers_, kUserKey);
  _encodeFrameArchivers(archiver, supervisorFrameArchivers_, kSupervisorKey);
  _encodeFrameArchivers(archiver, hypervisorFrameArchivers_, kHypervisorKey);
}

void QVUniqueCallStackTenureArchiver::_decodeFrameArchivers(QVUnarchiver* unarchiver, FrameArchiverMap& map,
                                                            const char* key) {
  if (!unarchiver->hasValueForKey(key)) {
    return;
  }
  unarchiver->enterElement(key);
  std::vector<std::shared_ptr<QVThreadId>> threadIds;
  unarchiver->enterElement("ThreadIds");
  while (unarchiver->hasValueForKey("ThreadId")) {
    std::shared_ptr<QVThreadId> threadId;
    unarchiver->decodeObjectForKey("ThreadId", threadId);
    threadIds.push_back(threadId);
  }
  unarchiver->leaveElement("ThreadIds");
  std::vector<std::shared_ptr<QVUniqueCallFrameArchiver>> frameArchivers;
  unarchiver->enterElement("FrameArchivers");
  while (unarchiver->hasValueForKey("FrameArchiver")) {
    std::shared_ptr<QVUniqueCallFrameArchiver> frameArchiver;
    unarchiver->decodeObjectForKey("FrameArchiver", frameArchiver);
    frameArchivers.push_back(frameArchiver);
  }
  unarchiver->leaveElement("FrameArchivers");
  unarchiver->leaveElement(key);

  const size_t pairs = std::min(threadIds.size(), frameArchivers.size());
  if (threadIds.size() != frameArchivers.size()) {
    QV_WARNING(key << " frame archivers list " << threadIds.size() << " thread ids for " << frameArchivers.size()
                   << " frame archivers; keeping the first " << pairs);
  }
  for (size_t i = 0; i < pairs; ++i) {
    map[*threadIds[i]] = frameArchivers[i];
  }
}

void QVUniqueCallStackTenureArchiver::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  clear();
  unarchiver->enterElement("CallStacks");
  _decodeSamples<QVUniqueCallStackTenure>(unarchiver, "CallStack");
  unarchiver->leaveElement("CallStacks");
  _decodeFrameArchivers(unarchiver, userFrameArchivers_, kUserKey);
  _decodeFrameArchivers(unarchiver, supervisorFrameArchivers_, kSupervisorKey);
  _decodeFrameArchivers(unarchiver, hypervisorFrameArchivers_, kHypervisorKey);
  _attachDecodedSamples();
}

void QVUniqueCallStackTenureArchiver::_attachDecodedSamples() {
  size_t detached = 0;
  for (const SamplePtr& sample : samples_) {
    // Only this class's decoding fills samples_, with unique tenures.
    QVUniqueCallStackTenure& tenure = static_cast<QVUniqueCallStackTenure&>(*sample);
    const int leaf = tenure.leafFrameDescriptor();
    std::shared_ptr<QVUniqueCallFrameArchiver> frameArchiver = getFrameArchiver(tenure.context());
    if (!frameArchiver) {
      if (leaf != -1) {
        ++detached;
      }
      continue;
    }
    if (leaf != -1 && frameArchiver->frameForDescriptor(leaf) == nullptr) {
      throw QVException("call stack sample names frame descriptor " + std::to_string(leaf) + " of a tree with " +
                            std::to_string(frameArchiver->frameCount()) + " frames",
                        __LINE__, __FILE__);
    }
    tenure.setFrameArchiver(frameArchiver);
  }
  if (detached > 0) {
    QV_WARNING(detached << " call stack samples have no frame archiver for their thread; they read as empty");
  }
  for (FrameArchiverMap* map : {&userFrameArchivers_, &supervisorFrameArchivers_, &hypervisorFrameArchivers_}) {
    const int state = map == &userFrameArchivers_ ? QVContext::StateUser
                      : map == &supervisorFrameArchivers_ ? QVContext::StateSupervisor
                                                          : 0;
    for (const auto& entry : *map) {
      entry.second->setSymbolSource(DefaultSymbolSource(entry.first, state));
    }
  }
}

void QVUniqueCallStackTenureArchiver::_getCallFrameIdentifiers(QVSampleIdentifiers& ids) const {
  for (const FrameArchiverMap* map : {&userFrameArchivers_, &supervisorFrameArchivers_, &hypervisorFrameArchivers_}) {
    for (const auto& entry : *map) {
      const QVUniqueCallFrameArchiver& frameArchiver = *entry.second;
      for (int descriptor = 0; descriptor < frameArchiver.frameCount(); ++descriptor) {
        ids.addFrame(*frameArchiver.frameForDescriptor(descriptor));
      }
    }
  }
}

}  // namespace Quorvel
