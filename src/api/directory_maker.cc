#include "api/directory_maker.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/path.h"

namespace qv::api {

bool makeDirectories(const std::string& path) {
  std::string prefix = (!path.empty() && path.front() == '/') ? "/" : "";
  for (const std::string& piece : pathPieces(path)) {
    // Any entry counts as existing (a file under the name makes a later piece fail instead).
    struct stat info;
    const bool exists = ::lstat((prefix + piece).c_str(), &info) == 0;
    prefix += piece + "/";
    if (exists) continue;
    // Another process may make the same directory between the test and the creation.
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace qv::api
