#include "archive/QVArchiveOutput.h"

#include <ostream>
#include <string>

#include <zlib.h>

#include "base/QVException.h"

namespace Quorvel {

// zlib's stream state with its output window; owned so that every path out
// of the archiver ends the deflater.
struct QVArchiveOutput::Deflater {
  z_stream zs{};
  std::vector<char> out;
  Deflater() : out(1 << 16) {
    // 15 + 16 asks zlib for a gzip wrapper rather than a raw zlib stream.
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw QVException("cannot initialise the gzip compressor", __LINE__, __FILE__);
    }
  }
  ~Deflater() { deflateEnd(&zs); }
};

QVArchiveOutput::QVArchiveOutput(std::ostream& stream, bool compress, size_t bufferSize)
    : stream_(stream), buffer_(bufferSize < 64 ? 64 : bufferSize) {
  if (compress) {
    deflater_ = std::make_unique<Deflater>();
  }
}

QVArchiveOutput::~QVArchiveOutput() = default;

void QVArchiveOutput::putSlow(const char* bytes, size_t length) {
  while (length > 0) {
    if (used_ == buffer_.size()) {
      drain();
    }
    size_t room = buffer_.size() - used_;
    size_t chunk = length < room ? length : room;
    std::memcpy(buffer_.data() + used_, bytes, chunk);
    used_ += chunk;
    bytes += chunk;
    length -= chunk;
  }
}

void QVArchiveOutput::drain() {
  if (finished_) {
    throw QVException("archive output written after it was finished", __LINE__, __FILE__);
  }
  if (used_ == 0) {
    return;
  }
  if (deflater_) {
    writeCompressed(buffer_.data(), used_, Z_NO_FLUSH);
  } else {
    writeStream(buffer_.data(), used_);
  }
  used_ = 0;
}

void QVArchiveOutput::writeStream(const char* bytes, size_t length) {
  stream_.write(bytes, static_cast<std::streamsize>(length));
  if (!stream_) {
    throw QVException("failed to write " + std::to_string(length) + " bytes of archive output", __LINE__,
                      __FILE__);
  }
}

void QVArchiveOutput::writeCompressed(const char* bytes, size_t length, int mode) {
  z_stream& zs = deflater_->zs;
  // zlib's interface is not const-correct; it never writes through next_in.
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
  zs.avail_in = static_cast<uInt>(length);
  for (;;) {
    zs.next_out = reinterpret_cast<Bytef*>(deflater_->out.data());
    zs.avail_out = static_cast<uInt>(deflater_->out.size());
    int status = deflate(&zs, mode);
    if (status == Z_STREAM_ERROR) {
      throw QVException("gzip compressor failed", __LINE__, __FILE__);
    }
    size_t produced = deflater_->out.size() - zs.avail_out;
    if (produced > 0) {
      writeStream(deflater_->out.data(), produced);
    }
    if (mode == Z_FINISH ? status == Z_STREAM_END : (zs.avail_in == 0 && zs.avail_out != 0)) {
      break;
    }
  }
}

void QVArchiveOutput::flush() {
  drain();
  if (deflater_) {
    writeCompressed(nullptr, 0, Z_SYNC_FLUSH);
  }
  stream_.flush();
  if (!stream_) {
    throw QVException("failed to flush archive output", __LINE__, __FILE__);
  }
}

void QVArchiveOutput::finish() {
  if (finished_) {
    return;
  }
  drain();
  if (deflater_) {
    writeCompressed(nullptr, 0, Z_FINISH);
  }
  finished_ = true;
  stream_.flush();
  if (!stream_) {
    throw QVException("failed to flush archive output", __LINE__, __FILE__);
  }
}

}  // namespace Quorvel
