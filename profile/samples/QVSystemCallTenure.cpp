#include "samples/QVSystemCallTenure.h"

#include <cinttypes>
#include <cstdio>
#include <ostream>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

QVSystemCallTenure::QVSystemCallTenure() : QVAbstractSystemCallTenure(), QVCallStack(), number_(-1), result_(0) {}

QVSystemCallTenure::QVSystemCallTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick, int number)
    : QVAbstractSystemCallTenure(context, beginTick, endTick), QVCallStack(), number_(number), result_(0) {}

QVSystemCallTenure::~QVSystemCallTenure() = default;

void QVSystemCallTenure::setNumber(int number) { number_ = number; }

int QVSystemCallTenure::number() const { return number_; }

void QVSystemCallTenure::setArguments(const std::vector<uint64_t>& arguments) { arguments_ = arguments; }

const std::vector<uint64_t>& QVSystemCallTenure::arguments() const { return arguments_; }

void QVSystemCallTenure::setResult(const uint64_t& result) { result_ = result; }

uint64_t QVSystemCallTenure::result() const { return result_; }

void QVSystemCallTenure::getDescription(std::ostream& os) const { QVAbstractSystemCallTenure::getDescription(os); }

std::string QVSystemCallTenure::argumentsText(const std::vector<uint64_t>& arguments) {
  std::string text;
  char buffer[24];
  for (uint64_t argument : arguments) {
    std::snprintf(buffer, sizeof(buffer), "0x%" PRIx64 " ", argument);
    text += buffer;
  }
  return text;
}

void QVSystemCallTenure::encodeWithArchiver(QVArchiver* archiver) const {
  QVContextTenure::encodeWithArchiver(archiver);
  QVCallStack::encodeWithArchiver(archiver);
  archiver->encodeSigned(number_, "SysCallNum");
  archiver->encodeString(argumentsText(arguments_), "Args");
  archiver->encodeUnsigned(result_, "Result");
}

void QVSystemCallTenure::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVContextTenure::decodeWithUnarchiver(unarchiver);
  QVCallStack::decodeWithUnarchiver(unarchiver);
  // System-call numbers are small; a hostile value is cut to the stored width.
  number_ = static_cast<int32_t>(unarchiver->decodeSigned("SysCallNum"));
  std::string text;
  unarchiver->decodeString("Args", text);
  parseFramesText(text, arguments_);
  result_ = unarchiver->decodeUnsigned("Result");
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSystemCallTenure>& tenure) {
  if (tenure) {
    tenure->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
