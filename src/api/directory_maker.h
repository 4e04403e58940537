// The directory maker used for the flow directories. The path follows the runtime's piece rule
// (base/path.h): split at every '/' and '\', empty pieces dropped, so doubled separators collapse
// and "C:\x" becomes "C:/x/"; an absolute path stays absolute. Each prefix (the pieces so far,
// each followed by "/") is created when nothing exists under that name. Any thread; touches only
// the file system.
#ifndef QV_API_DIRECTORY_MAKER_H
#define QV_API_DIRECTORY_MAKER_H

#include <string>

namespace qv::api {

// Makes every prefix of `path` that does not exist; false when a creation fails.
bool makeDirectories(const std::string& path);

}  // namespace qv::api

#endif  // QV_API_DIRECTORY_MAKER_H
