// The directory maker used for the flow directories: the path is split into pieces at every '/'
// and '\', empty pieces are dropped, and each prefix (piece + "/" appended in turn) is created when
// nothing exists under that name. So an absolute path becomes relative to the working directory,
// doubled separators collapse and "C:\x" becomes "C:/x/". Any thread; touches only the file system.
#ifndef QV_API_DIRECTORY_MAKER_H
#define QV_API_DIRECTORY_MAKER_H

#include <string>
#include <vector>

namespace qv::api {

// The pieces of `path` (separators '/' and '\', empty pieces dropped).
std::vector<std::string> pathPieces(const std::string& path);

// The path as the maker normalises it: every piece followed by "/".
std::string normalisedPath(const std::string& path);

// Makes every prefix of `path` that does not exist; false when a creation fails.
bool makeDirectories(const std::string& path);

}  // namespace qv::api

#endif  // QV_API_DIRECTORY_MAKER_H
