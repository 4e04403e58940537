// The runtime's error codes: negative 32-bit values returned by the exports and carried as the
// error id of events. One table for the whole runtime; the exports document which they return.
#ifndef QV_TRADING_ERROR_CODES_H
#define QV_TRADING_ERROR_CODES_H

#include <cstdint>

namespace qv {

inline constexpr int32_t kErrUnsupported = -1000100;           // updatePassword kind, transfer direction
inline constexpr int32_t kErrClientIndex = -1000200;           // init: client index above 99
inline constexpr int32_t kErrNullLogin = -1000300;             // init: null login record
inline constexpr int32_t kErrEmptyUserId = -1000500;           // init: UserID empty
inline constexpr int32_t kErrUserType = -1000700;              // init: UserType not supported
inline constexpr int32_t kErrEmptyMdFront = -1000900;          // init: MdFront empty
inline constexpr int32_t kErrFlowDirectory = -1001000;         // init: a flow directory failed
inline constexpr int32_t kErrEmptyBrokerId = -1001100;         // init: BrokerID empty (10001)
inline constexpr int32_t kErrEmptyAppId = -1001200;            // init: AppID empty (10001)
inline constexpr int32_t kErrEmptyAuthCode = -1001300;         // init: AuthCode empty (10001)
inline constexpr int32_t kErrCreateTrader = -1001400;          // trader library object not created
inline constexpr int32_t kErrTraderConnect = -1001500;         // init: front not connected in time
inline constexpr int32_t kErrCreateMd = -1001700;              // market-data library object not created
inline constexpr int32_t kErrMdAttach = -1001800;              // init: time-out attaching market data
inline constexpr int32_t kErrNullHandle = -1002000;            // export given a null client handle
inline constexpr int32_t kErrNoMdClient = -1002100;            // the client has no market-data client
inline constexpr int32_t kErrSendFailed = -1002200;            // order not handed to the library
inline constexpr int32_t kErrTimeout = -1002300;               // task got no response in time
inline constexpr int32_t kErrCountRefused = -1002400;          // subscribe: count beyond any instrument list
inline constexpr int32_t kErrVolumeBelowOne = -1002500;        // order volume worked out below 1
inline constexpr int32_t kErrBeyondCallLimit = -1002600;       // lots a per-call bound kept back (not sent)
inline constexpr int32_t kErrInsertRejected = -1002700;        // order insertion rejected ('4')
inline constexpr int32_t kErrInvalidTaskId = -1003200;         // task id has no request operation
inline constexpr int32_t kErrOrderEventId = -10002800;         // setOrderEventCallback: id not 10003..10009
inline constexpr int32_t kErrNotCallable = -10002900;          // a setter given None or a non-callable
inline constexpr int32_t kErrSnapshotEventId = -10003000;      // setSnapDataEventCallback: not 10010/10011
inline constexpr int32_t kErrDetailEventId = -10003100;        // setDetailDataEventCallback: not 10012..10015

}  // namespace qv

#endif  // QV_TRADING_ERROR_CODES_H
