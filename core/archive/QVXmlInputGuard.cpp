#include "archive/QVXmlInputGuard.h"

#include <cstring>

namespace Quorvel {

namespace {

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

} // namespace

QVXmlInputGuard::QVXmlInputGuard(std::size_t maxAttributesPerElement, std::uint64_t maxIgnorableBytes)
  : maxAttributes_(maxAttributesPerElement), maxIgnorable_(maxIgnorableBytes) {}

long QVXmlInputGuard::filter(const char* data, std::size_t size, char* out) {
  if (!refusal_.empty()) return -1;
  out_ = out;
  written_ = 0;
  if (size == 0) {
    _release();
    return static_cast<long>(written_);
  }
  for (std::size_t i = 0; i < size; ++i, ++offset_) {
    if (!_step(data[i])) return -1;
  }
  return static_cast<long>(written_);
}

bool QVXmlInputGuard::feed(const char* data, std::size_t size) {
  std::string out(size + kHeldBack, '\0');
  return filter(data, size, &out[0]) >= 0;
}

void QVXmlInputGuard::_release() {
  for (std::size_t i = 0; i < heldCount_; ++i) _emit(held_[i]);
  heldCount_ = 0;
}

void QVXmlInputGuard::_skipUntil(const char* terminator, bool keep) {
  state_ = State::Skip;
  terminator_ = terminator;
  matched_ = 0;
  skipKeeps_ = keep;
  if (keep) {
    _release();
  } else {
    heldCount_ = 0;
  }
}

bool QVXmlInputGuard::_step(char c) {
  switch (state_) {
  case State::Text:
    if (c == '<') {
      // A run of text that held only whitespace carried nothing.
      if (!textSignificant_ && !_addIgnorable(whitespaceRun_)) return false;
      whitespaceRun_ = 0;
      textSignificant_ = false;
      state_ = State::Open;
      openOffset_ = offset_;
      held_[heldCount_++] = c;
      return true;
    }
    _emit(c);
    if (isXmlSpace(c)) {
      ++whitespaceRun_;
      // Checked as it grows so that a run with no tag after it is caught too.
      if (!textSignificant_ && whitespaceRun_ + ignorable_ > maxIgnorable_) return _addIgnorable(whitespaceRun_);
    } else {
      textSignificant_ = true;
    }
    return true;
  case State::Open:
    if (c == '!') {
      held_[heldCount_++] = c;
      state_ = State::Bang;
      return true;
    }
    if (c == '?') {
      // The XML declaration must stay, and only it may start the document.
      skipIsIgnorable_ = true;
      _skipUntil("?>", openOffset_ == 0);
      if (skipKeeps_) _emit(c);
      return _addIgnorable(2);
    }
    _release();
    _emit(c);
    if (c == '/') {
      state_ = State::EndTag;
    } else {
      attributes_ = 0;
      state_ = State::StartTag;
    }
    return true;
  case State::Bang:
    if (c == '-') {
      held_[heldCount_++] = c;
      state_ = State::BangDash;
      return true;
    }
    // CDATA is content and declarations are refused by the reader
    // itself: both pass through and neither counts as padding.
    skipIsIgnorable_ = false;
    _skipUntil(c == '[' ? "]]>" : ">", true);
    _emit(c);
    return true;
  case State::BangDash:
    if (c != '-') {
      // Not a comment: let the parser report it.
      skipIsIgnorable_ = false;
      _skipUntil(">", true);
      _emit(c);
      return true;
    }
    skipIsIgnorable_ = true;
    _skipUntil("-->", false);
    return _addIgnorable(4);
  case State::Skip: {
    if (skipKeeps_) _emit(c);
    if (skipIsIgnorable_ && !_addIgnorable(1)) return false;
    const std::size_t length = std::strlen(terminator_);
    if (c == terminator_[matched_]) {
      if (++matched_ == length) state_ = State::Text;
    } else if (matched_ == 2 && length == 3 && c == terminator_[1]) {
      // "--->" or "]]]>": the extra leading character keeps the match.
    } else {
      matched_ = (c == terminator_[0]) ? 1 : 0;
    }
    return true;
  }
  case State::StartTag:
    _emit(c);
    if (c == '"' || c == '\'') {
      quote_ = c;
      state_ = State::AttributeValue;
    } else if (c == '=') {
      if (++attributes_ > maxAttributes_) {
        return _refuse("an element has more than " + std::to_string(maxAttributes_) + " attributes");
      }
    } else if (c == '>') {
      state_ = State::Text;
    }
    return true;
  case State::AttributeValue:
    _emit(c);
    if (c == quote_) state_ = State::StartTag;
    return true;
  case State::EndTag:
    _emit(c);
    if (c == '>') state_ = State::Text;
    return true;
  }
  return true;
}

bool QVXmlInputGuard::_addIgnorable(std::uint64_t count) {
  ignorable_ += count;
  if (ignorable_ > maxIgnorable_) {
    return _refuse("the document holds more than " + std::to_string(maxIgnorable_ >> 20) +
             " MB of comments, processing instructions and whitespace");
  }
  return true;
}

bool QVXmlInputGuard::_refuse(std::string why) {
  refusal_ = std::move(why);
  return false;
}

} // namespace Quorvel
