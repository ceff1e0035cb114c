#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archivers/QVAbstractCallStackTenureArchiver.h"
#include "ids/QVThreadId.h"
#include "samples/QVUniqueCallFrameArchiver.h"
#include "samples/QVUniqueCallStackTenure.h"

namespace Quorvel {

// Keeps call-stack samples as leaf descriptors into one frame tree per
// thread and mode ("User" for state 1, "Supervisor" for state 2,
// "Hypervisor" for any other state), so equal stack suffixes are stored
// once. A frame tree resolves through the sampled process (user mode) or
// the kernel of the sampled system (other modes), looked up when the tree
// is made.
//
// Archive keys: "CallStacks", a list of "CallStack" (QVUniqueCallStackTenure);
// then "User", "Supervisor" and "Hypervisor", each holding a list
// "ThreadIds" of "ThreadId" and a list "FrameArchivers" of "FrameArchiver"
// (QVUniqueCallFrameArchiver), pairwise, in thread-id order. Reading pairs
// the lists up to the shorter one, then attaches every sample to the tree
// of its context's thread and mode and gives each tree its symbol source
// (so the processes must be registered before). A sample whose descriptor
// is outside its tree raises QVException; one without a tree stays empty.
class QVUniqueCallStackTenureArchiver : public QVAbstractCallStackTenureArchiver,
                                        public std::enable_shared_from_this<QVUniqueCallStackTenureArchiver> {
 public:
  using FrameArchiverMap = std::unordered_map<QVThreadId, std::shared_ptr<QVUniqueCallFrameArchiver>>;

  QVUniqueCallStackTenureArchiver();
  ~QVUniqueCallStackTenureArchiver() override;
  const char* sessionKey() const override { return "UniqueCallStacksV2"; }

  void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
               const std::vector<uint64_t>& addresses) override;
  void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
               const std::vector<uint64_t>& addresses, char schedulerState, int64_t cpuTimeNanos) override;
  // The tree of the context's thread in the map of its mode, or null.
  virtual std::shared_ptr<QVUniqueCallFrameArchiver> getFrameArchiver(const QVContext& context) const;
  // Drops the samples and every tree.
  void clear() override;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  // Walks each tree's frames once instead of every sample's stack: the
  // same symbols, far fewer lookups.
  void _getCallFrameIdentifiers(QVSampleIdentifiers& ids) const override;

  const FrameArchiverMap& userFrameArchivers() const { return userFrameArchivers_; }
  const FrameArchiverMap& supervisorFrameArchivers() const { return supervisorFrameArchivers_; }
  const FrameArchiverMap& hypervisorFrameArchivers() const { return hypervisorFrameArchivers_; }

 private:
  FrameArchiverMap& _mapForState(int state);
  const FrameArchiverMap& _mapForState(int state) const;
  // The tree of the context, made (with its symbol source) when absent.
  const std::shared_ptr<QVUniqueCallFrameArchiver>& _frameArchiverForContext(const QVContext& context);
  static void _encodeFrameArchivers(QVArchiver* archiver, const FrameArchiverMap& map, const char* key);
  static void _decodeFrameArchivers(QVUnarchiver* unarchiver, FrameArchiverMap& map, const char* key);
  void _attachDecodedSamples();

  FrameArchiverMap userFrameArchivers_;
  FrameArchiverMap supervisorFrameArchivers_;
  FrameArchiverMap hypervisorFrameArchivers_;
  // Consecutive samples mostly come from one context; this saves the map
  // lookup for them.
  QVContext lastContext_;
  std::shared_ptr<QVUniqueCallFrameArchiver> lastFrameArchiver_;
};

}  // namespace Quorvel
