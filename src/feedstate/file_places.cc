#include "feedstate/file_places.h"

namespace fh {

std::string FilePlaces::Work(std::string_view name) const {
  if (workDir_.empty()) return std::string(name);
  return (workDir_ / std::filesystem::path(name)).string();
}

std::string FilePlaces::SystemDrive(std::string_view name) const {
  if (systemDrive_.empty()) return std::string(name);
  return (systemDrive_ / std::filesystem::path(name)).string();
}

}  // namespace fh
