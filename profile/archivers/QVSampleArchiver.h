#pragma once

#include <memory>
#include <string>
#include <vector>

#include "archive/QVArchivable.h"
#include "archive/QVArchiver.h"
#include "archive/QVUnarchivable.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

// Creates, keeps and archives the samples of one kind for a recording, in
// the order archived. S is the sample class; the archiver owns its samples
// through shared pointers, which it hands out.
//
// Not locked: one sampler thread archives, readers come after it.
template <class S>
class QVSampleArchiver : public QVArchivable, public QVUnarchivable {
 public:
  using Sample = S;
  using SamplePtr = std::shared_ptr<S>;
  using SampleList = std::vector<SamplePtr>;

  QVSampleArchiver() = default;
  ~QVSampleArchiver() override = default;
  QVSampleArchiver(const QVSampleArchiver&) = delete;
  QVSampleArchiver& operator=(const QVSampleArchiver&) = delete;

  virtual size_t size() const { return samples_.size(); }
  virtual const SampleList& samples() const { return samples_; }
  virtual void clear() { samples_.clear(); }

 protected:
  void _addSample(SamplePtr sample) { samples_.push_back(std::move(sample)); }

  // Every sample as one element named `key`.
  void _encodeSamples(QVArchiver* archiver, const std::string& key) const {
    for (const SamplePtr& sample : samples_) {
      archiver->encodeObject(*sample, key);
    }
  }

  // Appends every consecutive element named `key`, made as a T.
  template <class T>
  void _decodeSamples(QVUnarchiver* unarchiver, const std::string& key) {
    while (unarchiver->hasValueForKey(key)) {
      std::shared_ptr<T> sample;
      unarchiver->decodeObjectForKey(key, sample);
      samples_.push_back(std::move(sample));
    }
  }

  SampleList samples_;
};

}  // namespace Quorvel
