#include "archive/QVArchiveInput.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <istream>

#include <zlib.h>

#include "base/QVException.h"

namespace Quorvel {

namespace {
constexpr unsigned char kGzipMagic0 = 0x1f;
constexpr unsigned char kGzipMagic1 = 0x8b;
constexpr size_t kInputWindow = 1 << 16;
}  // namespace

struct QVArchiveInput::Inflater {
  z_stream zs{};
  std::vector<char> in;
  bool memberEnded = false;  // the last inflate() call reached a gzip trailer
  Inflater() : in(kInputWindow) {
    // 15 + 16 accepts the gzip wrapper only: the magic has been seen already.
    if (inflateInit2(&zs, 15 + 16) != Z_OK) {
      throw QVException("cannot initialise the gzip decompressor", __LINE__, __FILE__);
    }
  }
  ~Inflater() { inflateEnd(&zs); }
};

QVArchiveInput::QVArchiveInput(std::istream& stream) : stream_(stream) {
  char head[2];
  size_t got = readRaw(head, sizeof head);
  pending_.assign(head, head + got);
  if (got == 2 && static_cast<unsigned char>(head[0]) == kGzipMagic0 &&
      static_cast<unsigned char>(head[1]) == kGzipMagic1) {
    inflater_ = std::make_unique<Inflater>();
  }
}

QVArchiveInput::~QVArchiveInput() = default;

size_t QVArchiveInput::readRaw(char* out, size_t capacity) {
  size_t total = 0;
  if (pendingOffset_ < pending_.size()) {
    size_t n = std::min(capacity, pending_.size() - pendingOffset_);
    std::memcpy(out, pending_.data() + pendingOffset_, n);
    pendingOffset_ += n;
    total += n;
  }
  if (total < capacity && stream_.good()) {
    stream_.read(out + total, static_cast<std::streamsize>(capacity - total));
    total += static_cast<size_t>(stream_.gcount());
    if (stream_.bad()) {
      throw QVException("failed to read archive input", __LINE__, __FILE__);
    }
  }
  return total;
}

bool QVArchiveInput::refill() {
  z_stream& zs = inflater_->zs;
  size_t got = readRaw(inflater_->in.data(), inflater_->in.size());
  zs.next_in = reinterpret_cast<Bytef*>(inflater_->in.data());
  zs.avail_in = static_cast<uInt>(got);
  return got > 0;
}

size_t QVArchiveInput::readInflated(char* out, size_t capacity) {
  z_stream& zs = inflater_->zs;
  zs.next_out = reinterpret_cast<Bytef*>(out);
  zs.avail_out = static_cast<uInt>(capacity);
  while (zs.avail_out == capacity) {
    if (zs.avail_in == 0 && !refill()) {
      if (!inflater_->memberEnded) {
        throw QVException("compressed archive ends before its gzip trailer", __LINE__, __FILE__);
      }
      break;
    }
    if (inflater_->memberEnded) {
      // Another gzip member follows the one that ended.
      if (inflateReset(&zs) != Z_OK) {
        throw QVException("cannot restart the gzip decompressor", __LINE__, __FILE__);
      }
      inflater_->memberEnded = false;
    }
    int status = inflate(&zs, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      inflater_->memberEnded = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      throw QVException(std::string("corrupt compressed archive: ") + (zs.msg ? zs.msg : "inflate failed"),
                        __LINE__, __FILE__);
    }
  }
  return capacity - zs.avail_out;
}

size_t QVArchiveInput::read(char* out, size_t capacity) {
  if (capacity == 0) {
    return 0;
  }
  return inflater_ ? readInflated(out, capacity) : readRaw(out, capacity);
}

}  // namespace Quorvel
