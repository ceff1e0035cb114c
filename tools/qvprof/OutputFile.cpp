#include "OutputFile.h"

#include <ostream>

#include <boost/iostreams/device/file_descriptor.hpp>
#include <boost/iostreams/stream.hpp>

#include "base/QVException.h"
#include "output/QVFileReplacement.h"

namespace Quorvel {
namespace qvprof {

namespace {

using Sink = boost::iostreams::stream<boost::iostreams::file_descriptor_sink>;

}  // namespace

OutputFile::OutputFile(const std::string& path, std::ostream& standardOutput)
    : path_(path), stream_(&standardOutput) {
  if (path.empty() || path == "-") return;
  replacement_ = std::make_unique<QVFileReplacement>(path);
  if (!replacement_->open()) {
    throw QVException("cannot write '" + path + "': " + replacement_->error(), __LINE__, __FILE__);
  }
  file_ = std::make_unique<Sink>(
      boost::iostreams::file_descriptor_sink(replacement_->fd(), boost::iostreams::never_close_handle));
  stream_ = file_.get();
}

OutputFile::~OutputFile() = default;

void OutputFile::commit() {
  stream_->flush();
  if (!*stream_) {
    throw QVException("cannot write '" + (isFile() ? path_ : std::string("standard output")) + "': the stream failed",
                      __LINE__, __FILE__);
  }
  if (!replacement_) return;
  file_.reset();
  if (!replacement_->commit()) {
    throw QVException("cannot write '" + path_ + "': " + replacement_->error(), __LINE__, __FILE__);
  }
}

}  // namespace qvprof
}  // namespace Quorvel
