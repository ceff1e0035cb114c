#pragma once

#include <iosfwd>
#include <memory>
#include <string>

namespace Quorvel {

class QVFileReplacement;

namespace qvprof {

// Where a command writes a file it produces: the named file, replaced only
// when complete (QVFileReplacement: a half-written export never takes the
// place of an earlier one), or the command's own output stream when the
// path is empty or "-".
class OutputFile {
 public:
  // Opens the file; throws QVException with a one-line reason.
  OutputFile(const std::string& path, std::ostream& standardOutput);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::ostream& stream() { return *stream_; }
  bool isFile() const { return replacement_ != nullptr; }
  // Flushes and, for a file, puts it in place; throws QVException when
  // either fails (the stream failed, the disk is full, the target changed).
  void commit();

 private:
  std::string path_;
  std::unique_ptr<QVFileReplacement> replacement_;
  std::unique_ptr<std::ostream> file_;
  std::ostream* stream_;
};

}  // namespace qvprof
}  // namespace Quorvel
