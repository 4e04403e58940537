// The runtime's exported surface: 44 functions with C linkage that a Python host calls through
// ctypes with the interpreter lock released. Every other symbol of the library is hidden.
//
// Conventions, for every export:
// - A client handle is the TraderClient* that init returned; the host treats it as opaque.
// - Null or unknown handle: integer-code exports return -1002000, pointer exports return null,
//   getUsableCash returns -1, exitX(null) acts on every registered client. A handle is unknown
//   when init did not hand it out (zeroed memory, a record's address, any other number); it is
//   compared, never dereferenced. Nothing else happens.
// - Codes: 0 or a negative code of trading/error_codes.h:
//     -1000100 unsupported kind/direction   -1002000 null client handle
//     -1000200 client index above 99        -1002100 no market-data client
//     -1000300 null login record            -1002200 order not handed to the library
//     -1000500 UserID empty                 -1002300 task response time-out
//     -1000700 UserType not supported       -1002500 order volume below 1
//     -1000900 MdFront empty                -1002700 order insertion rejected
//     -1001000 flow directory not made      -1003200 task id has no request
//     -1002400 subscription count beyond 65536 (nothing read from the array)
//     -1002600 lots a bound of one order call held back (ErrorID of the unsent last order)
//     -1001100 / -1001200 / -1001300 BrokerID / AppID / AuthCode empty (UserType 10001)
//     -1001400 / -1001700 trader / market-data library object not created (events)
//     -1001500 trading front not connected in time; -1001800 time-out attaching market data
//     -10002800 / -10003000 / -10003100 event id refused by the order / snapshot / detail setter
//     -10002900 a setter given None or an object that is not callable
//   A request refused by the CTP library returns the library's own result unchanged.
// - Records are returned by address: an order, position or transfer export returns the address
//   of the record inside its holder (holder address + 8); it stays valid while the client lives.
// - Texts are NUL-terminated bytes; texts longer than their destination are cut, never overrun,
//   and a text is never read past the width of the field it is copied into.
// - Order exports refuse (null, no order) an order mark outside 0..99 and a price, amount, ratio
//   or value that is not finite; transferCash refuses a non-finite amount. What one call sends is
//   bounded: closes by the closable position, opens by what usable cash covers (one order's worth
//   when it covers no lot or there is no price), at most 100 orders; the lots held back end the
//   chain as an unsent order carrying them, with ErrorID -1002600.
// - getTimeElapse saturates at the int64 range; CQVPrintHelper takes precisions above 1074 as
//   1074.
// - No export lets an exception cross into the host: anything thrown inside ends as null, -1 or
//   the export's failure code.
#ifndef QV_API_EXPORTS_H
#define QV_API_EXPORTS_H

#include <cstdint>

#include "bridge/host_object.h"
#include "records/cqv_records.h"
#include "trading/trader_client.h"

#define QV_EXPORT extern "C" __attribute__((visibility("default")))

using QvHandle = qv::TraderClient*;
using QvObject = qv::HostObject;

// Process and start-up.
QV_EXPORT QvHandle init(uint16_t clientIndex, CQVLoginField* login, QvObject orderCallable,
                        QvObject responseCallable, QvObject loopCallable,
                        QvObject marketDataCallable, QvObject reserved);
QV_EXPORT int32_t getInitError();
QV_EXPORT void loop();
QV_EXPORT void exitX(QvHandle handle);
QV_EXPORT int32_t setRunMode(int32_t mode);
QV_EXPORT int64_t setTimeAnchor();
QV_EXPORT int64_t getTimeElapse(int64_t anchor);
QV_EXPORT int32_t setEventTextProcessor(QvObject processor);

// Callables.
QV_EXPORT int32_t setOrderEventCallback(QvHandle handle, int32_t eventId, QvObject callable);
QV_EXPORT int32_t setSnapDataEventCallback(QvHandle handle, int32_t eventId, QvObject callable);
QV_EXPORT int32_t setDetailDataEventCallback(QvHandle handle, int32_t eventId, QvObject callable);

// Tasks.
QV_EXPORT int32_t addTask(QvHandle handle, int32_t taskId, CQVQueryCommandField* command,
                          int32_t repeatCount, uint8_t retry, int64_t gap, int64_t timeout);
QV_EXPORT int32_t queryBankAccountCash(QvHandle handle, const char* accountPassword,
                                       const char* bankId, const char* bankPassword);

// Orders that look the instrument up first (null when it is not in the instrument table).
QV_EXPORT CQVOrderField* buy(QvHandle handle, const char* instrumentId, int32_t volume,
                             uint8_t orderType, double price, int16_t orderMark,
                             const char* exchangeId, uint8_t unused);
QV_EXPORT CQVOrderField* sell(QvHandle handle, const char* instrumentId, int32_t volume,
                              uint8_t orderType, double price, int16_t orderMark,
                              const char* exchangeId, uint8_t unused);
QV_EXPORT CQVOrderField* buyAmount(QvHandle handle, const char* instrumentId, double amount,
                                   uint8_t orderType, double price, int16_t orderMark,
                                   const char* exchangeId, uint8_t unused);
QV_EXPORT CQVOrderField* sellAmount(QvHandle handle, const char* instrumentId, double amount,
                                    uint8_t orderType, double price, int16_t orderMark,
                                    const char* exchangeId, uint8_t unused);
QV_EXPORT CQVOrderField* buyRatio(QvHandle handle, const char* instrumentId, double ratio,
                                  uint8_t orderType, double price, int16_t orderMark,
                                  const char* exchangeId, uint8_t flag);
QV_EXPORT CQVOrderField* sellRatio(QvHandle handle, const char* instrumentId, double ratio,
                                   uint8_t orderType, double price, int16_t orderMark,
                                   const char* exchangeId, uint8_t flag);
QV_EXPORT CQVOrderField* balanceToLongValue(QvHandle handle, const char* instrumentId,
                                            double value, uint8_t orderType, double price,
                                            int16_t orderMark, const char* exchangeId);
QV_EXPORT CQVOrderField* balanceToShortValue(QvHandle handle, const char* instrumentId,
                                             double value, uint8_t orderType, double price,
                                             int16_t orderMark, const char* exchangeId);
QV_EXPORT CQVOrderField* balanceToLongVolume(QvHandle handle, const char* instrumentId,
                                             int32_t volume, uint8_t orderType, double price,
                                             int16_t orderMark, const char* exchangeId);
QV_EXPORT CQVOrderField* balanceToShortVolume(QvHandle handle, const char* instrumentId,
                                              int32_t volume, uint8_t orderType, double price,
                                              int16_t orderMark, const char* exchangeId);

// Explicit opens and closes: with a null exchange the instrument is looked up by its code and the
// exchange taken from it; with an exchange the texts go on as given and no lookup is made.
QV_EXPORT CQVOrderField* buyOpen(QvHandle handle, const char* instrumentId, int32_t volume,
                                 uint8_t orderType, double price, int16_t orderMark,
                                 const char* exchangeId, uint8_t unused);
QV_EXPORT CQVOrderField* sellOpen(QvHandle handle, const char* instrumentId, int32_t volume,
                                  uint8_t orderType, double price, int16_t orderMark,
                                  const char* exchangeId, uint8_t unused, int64_t unusedValue);
QV_EXPORT CQVOrderField* buyClose(QvHandle handle, const char* instrumentId, int32_t volume,
                                  uint8_t orderType, double price, int16_t orderMark,
                                  const char* exchangeId, uint8_t unused, uint8_t offsetFlag,
                                  int64_t unusedValue);
QV_EXPORT CQVOrderField* sellClose(QvHandle handle, const char* instrumentId, int32_t volume,
                                   uint8_t orderType, double price, int16_t orderMark,
                                   const char* exchangeId, uint8_t unused, uint8_t offsetFlag,
                                   int64_t unusedValue);
// Closes of one side; both texts go on unchanged (either may be null).
QV_EXPORT CQVOrderField* closeLong(QvHandle handle, const char* instrumentId, int32_t volume,
                                   uint8_t orderType, double price, int16_t orderMark,
                                   const char* exchangeId, uint8_t closeTodayFirst);
QV_EXPORT CQVOrderField* closeShort(QvHandle handle, const char* instrumentId, int32_t volume,
                                    uint8_t orderType, double price, int16_t orderMark,
                                    const char* exchangeId, uint8_t closeTodayFirst);

// Cancellation: request results (0 sent), summed over the orders selected.
QV_EXPORT int32_t cancelOrder(QvHandle handle, const char* exchangeId, const char* instrumentId,
                              const char* orderSysId, int32_t orderId, int32_t frontId,
                              int32_t sessionId);
QV_EXPORT int32_t cancelOrderAll(QvHandle handle);
QV_EXPORT int32_t cancelOrderByExchangeID(QvHandle handle, const char* exchangeId);
QV_EXPORT int32_t cancelOrderByOrderID(QvHandle handle, int32_t orderId);
QV_EXPORT int32_t cancelOrderByStandardID(QvHandle handle, const char* instrumentId,
                                          const char* exchangeId);

// Book, positions and cash.
QV_EXPORT CQVOrderField* getOrder(QvHandle handle, int32_t orderId);
QV_EXPORT CQVPositionField* getPosition(QvHandle handle, const char* instrumentId,
                                        const char* exchangeId);
QV_EXPORT double getUsableCash(QvHandle handle);

// Market data: -1002100 when the client has no market-data client.
QV_EXPORT int32_t subscribe(QvHandle handle, char** instrumentIds, int32_t count,
                            const char* exchangeId, int32_t type);
QV_EXPORT int32_t subscribeOne(QvHandle handle, const char* instrumentId, const char* exchangeId);
QV_EXPORT int32_t unsubscribe(QvHandle handle, char** instrumentIds, int32_t count,
                              const char* exchangeId, int32_t type);
QV_EXPORT int32_t unsubscribeOne(QvHandle handle, const char* instrumentId,
                                 const char* exchangeId);

// Transfers and passwords.
QV_EXPORT CQVTransferAssetField* transferCash(QvHandle handle, uint8_t direction, double amount,
                                              const char* accountPassword, const char* bankId,
                                              const char* bankPassword);
QV_EXPORT CQVTransferAssetField* transferPosition(QvHandle handle, uint8_t direction,
                                                  const char* instrumentId,
                                                  const char* exchangeId, int32_t volume,
                                                  const char* accountPassword,
                                                  const char* targetAccount);
QV_EXPORT int32_t updatePassword(QvHandle handle, uint8_t kind, const char* oldPassword,
                                 const char* newPassword);

#endif  // QV_API_EXPORTS_H
