#include "samples/QVContextTenure.h"

#include <mutex>
#include <unordered_set>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

namespace {

// Node-based, so element addresses stay put as contexts are added; never
// destroyed, so tenures in static objects can still read their context at
// exit.
struct ContextTable {
  std::mutex mutex;
  std::unordered_set<QVContext> contexts;
};

ContextTable& Table() {
  static ContextTable* const table = new ContextTable();
  return *table;
}

}  // namespace

const QVContext* QVContextTenure::internContext(const QVContext& context) {
  ContextTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return &*table.contexts.insert(context).first;
}

QVContextTenure::QVContextTenure() : QVTenure(), context_(internContext(QVContext::invalid())) {}

QVContextTenure::QVContextTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick)
    : QVTenure(beginTick, endTick), context_(internContext(context)) {}

QVContextTenure::~QVContextTenure() = default;

void QVContextTenure::setContext(const QVContext& context) { context_ = internContext(context); }

const QVContext& QVContextTenure::context() const { return *context_; }

void QVContextTenure::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(*context_, "Context");
  QVTenure::encodeWithArchiver(archiver);
}

void QVContextTenure::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::shared_ptr<QVContext> context;
  unarchiver->decodeObjectForKey("Context", context);
  QVTenure::decodeWithUnarchiver(unarchiver);
  context_ = internContext(*context);
}

}  // namespace Quorvel
