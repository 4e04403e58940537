// The folder a CTP library keeps its flow files in: BasePath/UserID/<folder>/ under the runtime's
// path piece rule ("./u1//TDFlow/" becomes "./u1/TDFlow/"). Start-up creates the folders; the
// clients hand the path to the library they create. Pure function; any thread.
#ifndef QV_CTP_FLOW_PATH_H
#define QV_CTP_FLOW_PATH_H

#include <string>

#include "base/path.h"
#include "records/cqv_records.h"

namespace qv {

inline std::string flowPathOf(const CQVLoginField& login, const char* folder) {
  std::string path = login.BasePath;
  path += '/';
  path += login.UserID;
  path += '/';
  path += folder;
  return normalisedPath(path);
}

}  // namespace qv

#endif  // QV_CTP_FLOW_PATH_H
