// Where the feed handler's files live.
//
// Names without a directory are relative to the working directory; the masters,
// their schema, the state file and the F&O index file live on the "system
// drive", which on this platform is a folder of the operator's choice.
// Thread safety: immutable after construction.
#pragma once

#include <filesystem>
#include <string>
#include <cstddef>
#include <string_view>

namespace fh {

class FilePlaces {
 public:
  // Empty paths mean the process's current directory.
  FilePlaces() = default;
  FilePlaces(std::filesystem::path workDir, std::filesystem::path systemDrive)
      : workDir_(std::move(workDir)), systemDrive_(std::move(systemDrive)), workPrefix_(workDir_.string()) {
    if (!workPrefix_.empty() && workPrefix_.back() != '/') workPrefix_ += '/';
  }

  // A file of the working directory, such as "BPACK_NCM.TXT".
  std::string Work(std::string_view name) const;
  // A file of the system drive, such as "security.txt" for "C:\security.txt".
  std::string SystemDrive(std::string_view name) const;
  // Work(name) formed into out without allocating; false when it does not fit.
  bool WorkInto(char* out, std::size_t size, std::string_view name) const;

  const std::filesystem::path& SystemDriveDir() const { return systemDrive_; }

 private:
  std::filesystem::path workDir_;
  std::filesystem::path systemDrive_;
  std::string workPrefix_;  // workDir_ with a trailing '/', or empty
};

}  // namespace fh
