#include "feedstate/file_places.h"

#include <cstring>

namespace fh {

std::string FilePlaces::Work(std::string_view name) const {
  if (workDir_.empty()) return std::string(name);
  return (workDir_ / std::filesystem::path(name)).string();
}

std::string FilePlaces::SystemDrive(std::string_view name) const {
  if (systemDrive_.empty()) return std::string(name);
  return (systemDrive_ / std::filesystem::path(name)).string();
}

bool FilePlaces::WorkInto(char* out, std::size_t size, std::string_view name) const {
  if (workPrefix_.size() + name.size() + 1 > size) return false;
  std::memcpy(out, workPrefix_.data(), workPrefix_.size());
  std::memcpy(out + workPrefix_.size(), name.data(), name.size());
  out[workPrefix_.size() + name.size()] = '\0';
  return true;
}

}  // namespace fh
