// The piece rule for the paths the runtime builds (flow directories and the flow paths handed to
// the CTP libraries): a path is split at every '/' and '\', empty pieces are dropped, and the pieces
// are rejoined each followed by "/". So "./u1//TDFlow/" becomes "./u1/TDFlow/" and "a\b" becomes
// "a/b/". An absolute path stays absolute: "/var/flows" is "/var/flows/", not a folder "var" under
// the working directory. Pure functions; safe on any thread.
#ifndef QV_BASE_PATH_H
#define QV_BASE_PATH_H

#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The pieces of `path`, empty ones dropped.
std::vector<std::string> pathPieces(std::string_view path);

// Every piece of `path` followed by "/", after a leading "/" when `path` starts with one; empty
// when the path has no piece.
std::string normalisedPath(std::string_view path);

}  // namespace qv

#endif  // QV_BASE_PATH_H
