#include "support/FakeProfileDriver.h"

#include <utility>

namespace Quorvel {
namespace test {

FakeProfileDriver::FakeProfileDriver(const std::string& identifier, std::shared_ptr<Journal> journal)
    : QVProfileDriver(identifier), journal_(std::move(journal)) {}

bool FakeProfileDriver::load(const std::vector<std::string>& /*args*/) {
  ++loadCount_;
  journal_->push_back("load " + name());
  loaded_ = loadSucceeds_;
  return loadSucceeds_;
}

bool FakeProfileDriver::unload() {
  journal_->push_back("unload " + name());
  loaded_ = false;
  return true;
}

}  // namespace test
}  // namespace Quorvel
