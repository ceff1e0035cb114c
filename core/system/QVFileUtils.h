#pragma once

#include <string>

#include <sys/types.h>

namespace Quorvel {

// File services. Paths are used as given: callers that read kernel or system
// files pass them through QVSystemPaths::path() first.
// None of these throw; failures give false, 0 or an empty string.

bool FileExists(const std::string& path);       // anything that stat() finds
bool FileCanRead(const std::string& path);      // by the effective user
bool FileCanExecute(const std::string& path);   // a regular file the effective user may run
bool DirectoryExists(const std::string& path);
// The folder part of a path as dirname(1) gives it for the paths users type:
// "." when there is no "/", "/" for a file in the root.
std::string PathDirectory(const std::string& path);
// The part after the last "/" (the whole path when there is none).
std::string PathBaseName(const std::string& path);
// st_mode of the file (following links); 0 when it is missing.
mode_t FileModeFlags(const std::string& path);

// Reads the whole file into out, reading until end of file rather than
// trusting the size, so /proc and /sys files (whose size reads as 0) work.
// On failure out is left empty.
bool FileReadString(const std::string& path, std::string& out);
// Replaces the file's contents with text (creating it with mode 0666 less
// the umask). Writes to /proc and /sys go through one write() call as the
// kernel expects.
bool FileWriteString(const std::string& path, const std::string& text);
bool FileRemove(const std::string& path);

// Creates an empty file, mode 0600, named prefix + six random characters in
// directory path (GetTempDirectory() when path is empty) and closes it.
// Returns its path, or empty on failure.
std::string CreateTempFile(const std::string& path, const std::string& prefix);
// $TMPDIR when set and not empty, else "/tmp"; without a trailing "/".
std::string GetTempDirectory();

// The directory above the one holding the core library (the "lib" directory
// of an installation or the build tree); empty when it cannot be found.
std::string GetInstallDirectory();
std::string GetEtcDirectory();    // GetInstallDirectory() + "/etc"
std::string GetShareDirectory();  // GetInstallDirectory() + "/share/quorvel"

// Orders version strings such as kernel releases: negative when a < b, 0 when
// equal, positive when a > b. Components are separated by "." and "-" and
// compared numerically ("2.6.9" < "2.6.38"); missing components count as 0
// ("3.0" == "3"); a numeric component beats a non-numeric one, so
// "2.6.38-rc1" < "2.6.38-1"; non-numeric components compare by their leading
// text and then by any number that follows ("rc2" < "rc10").
int CompareVersions(const std::string& a, const std::string& b);

}  // namespace Quorvel
