/* qvsim: the control surface of the stand-in CTP libraries (libthosttraderapi_se.so and
 * libthostmduserapi_se.so, which share one simulated broker and market in libquorvanesim.so).
 * Tests and hosts use it to load a scenario, set flow control, latency and the market-data rate,
 * drop and restore fronts, hold back or refuse answers, deliver any callback, push snapshots and
 * read the log of requests received. Every function is thread-safe and may be called at any time,
 * also from inside a callback.
 *
 * Results: 0 (or a count or length) on success; a negative QVSIM_ERR_ code on failure, with a
 * message that qvsim_last_error copies out. `api` arguments are 'T' (trader) or 'M' (market data).
 * Texts are NUL-terminated; output buffers are always terminated and truncated to their size. */
#ifndef QVSIM_H
#define QVSIM_H

#ifdef __cplusplus
extern "C" {
#endif

#define QVSIM_API __attribute__((visibility("default")))

#define QVSIM_ERR_ARGUMENT (-1) /* a null, empty or out-of-range argument */
#define QVSIM_ERR_UNKNOWN (-2)  /* no callback of that name */
#define QVSIM_ERR_SIZE (-3)     /* the record size does not match the callback's record */
#define QVSIM_ERR_SCENARIO (-4) /* the scenario could not be read or was rejected */
#define QVSIM_ERR_INTERNAL (-5) /* an unexpected failure inside the stand-in */

/* Scenario. Loading replaces broker and market (live connections stay up). The built-in scenario
 * is used at start, or the JSON file named by the environment variable QVSIM_SCENARIO. */
QVSIM_API int qvsim_load_scenario_json(const char* json);
QVSIM_API int qvsim_load_scenario_file(const char* path);
/* Built-in scenario, default settings, fronts up, no rules, empty request log. */
QVSIM_API int qvsim_reset(void);
QVSIM_API int qvsim_last_error(char* buffer, int size);
QVSIM_API int qvsim_trading_day(char* buffer, int size);

/* Settings. Flow control applies to queries (ReqQry..., ReqQuery...) per API object:
 * queries_per_second (default 1; 0 off) gives -3, max_pending requests still waiting for their
 * answer (default 100; 0 off) gives -2. Latency delays every answer (default 1000 us). The
 * market-data rate is snapshots per second per subscribed instrument (default 2; 0 stops it). */
QVSIM_API int qvsim_set_flow_control(int queries_per_second, int max_pending);
QVSIM_API int qvsim_set_latency(long long micros);
QVSIM_API int qvsim_set_md_rate(double snapshots_per_second);
/* Keeping the trading day: with 1, a trader object that logs in keeps its investor's account,
 * positions, orders and trades in an SQLite database named qvsim_<broker>_<user>.sqlite3 under the
 * flow path it was created with; a later login on the same trading day (also in a new process)
 * restores them, one on a later trading day settles the stored day first (today's positions become
 * yesterday's, funds carry the day's profit and fees). Default 0, or 1 when the environment sets
 * QVSIM_PERSIST=1; a scenario's "persist" key sets it too. */
QVSIM_API int qvsim_set_persistence(int on);

/* Fronts. Dropping loses every queued and held answer, calls OnFrontDisconnected(reason) on every
 * connected object of that api and keeps the front down for restore_after_micros (0: until
 * qvsim_restore_front); the objects then reconnect by themselves (OnFrontConnected). */
QVSIM_API int qvsim_drop_front(char api, int reason, long long restore_after_micros);
QVSIM_API int qvsim_restore_front(char api);

/* Rules by request name ("ReqQryOrder", "SubscribeMarketData"; "T:ReqUserLogin" or
 * "M:ReqUserLogin" for one library). count -1 applies to every matching request. A held request
 * returns 0 and its answers wait for qvsim_release_held; a refused request returns `code` and is
 * not processed. */
QVSIM_API int qvsim_hold_answers(const char* request, int count);
QVSIM_API int qvsim_refuse_requests(const char* request, int code, int count);
QVSIM_API int qvsim_clear_rules(void);
/* Delivers every held answer; returns how many requests they answer. */
QVSIM_API int qvsim_release_held(void);

/* Delivers one callback, by its CThostFtdc...Spi name, to every initialised object of `api`, on
 * their library threads. `record` (size bytes, exactly the record's size) may be null for a null
 * pointer; with_info 0 passes a null response info, otherwise error_id and error_msg (bytes as
 * given, e.g. GB2312). OnFrontDisconnected and OnHeartBeatWarning take error_id as their int.
 * Returns the number of objects it was queued for. */
QVSIM_API int qvsim_deliver(char api, const char* callback, const void* record, int size, int with_info,
                            int error_id, const char* error_msg, int request_id, int is_last);
/* Delivers a CThostFtdcDepthMarketDataField to every logged-in market-data object subscribed to
 * its instrument; a known instrument's market continues from it. Returns the number of objects. */
QVSIM_API int qvsim_push_depth(const void* snapshot, int size);

/* Replay of a tick file: a CSV whose header row names CThostFtdcDepthMarketDataField fields (at
 * least InstrumentID and LastPrice; usually TradingDay, ExchangeID, UpdateTime, UpdateMillisec,
 * Volume, Turnover, OpenInterest, the five levels of bids and asks, the limit prices, the previous
 * settlement and close, and the day's open, high and low), read and checked in one pass: every
 * instrument must be one of the scenario's, a blank ExchangeID takes the instrument's exchange, a
 * wrong one, a row with fewer or more cells than the header, a bad number or a line over 64 KiB
 * fail with QVSIM_ERR_SCENARIO and a message naming the file, the line and the field. What
 * ordinary recorders write is normalised as it is read: a price cell without a value (empty, N/A
 * or nan in any case, 1e300 and above) becomes the largest double, as the fronts send it, and a
 * snapshot older than its instrument's last of the same trading day (a front pushes its last
 * snapshot again at a session's start or on subscription) is skipped; the largest double itself
 * is a price like any other. Each kind is counted (see qvsim_replay_normalised). After
 * qvsim_set_replay_strict(1) (until 0 or qvsim_reset), the first of these fails the file instead,
 * with the same kind of message.
 * qvsim_replay_open reads a file and readies the exchange for it (a replay still running is
 * stopped): its instruments take its price limits and the generated market stops for them, the
 * exchange's clock stands at its first snapshot, and, when no trader object is logged in yet, the
 * trading day becomes the file's (so a login after it reports the replayed day). Returns the
 * number of snapshots. qvsim_replay_play(speed) plays the open file on the stand-in's own thread
 * to the subscribed market-data objects, matching working orders against every snapshot. While a
 * replay plays, the exchange's clock is the replayed market's (order, trade and cancel times and
 * dates), every callback is delivered in one process-wide order regardless of the answer latency,
 * and a scenario's orderLatencyMillis makes orders and cancels reach the matching that much
 * replayed time after they were sent. Speed 0 sends each snapshot once everything the previous
 * one caused was delivered, including the answers to the requests sent from inside those
 * callbacks; speed s > 0 paces the snapshots by their own times, s times faster than real time.
 * qvsim_replay_file opens and plays. */
/* qvsim_replay_check reads and checks a tick file as qvsim_replay_open does without opening it:
 * the exchange and any replay stay as they are, and several threads may check files at once.
 * Returns the number of snapshots and writes a summary into `summary`, a line each: "day D" for
 * each trading day of its snapshots (D empty for none), "instrument ID EXCHANGE SNAPSHOTS" and
 * "normalised KIND COUNT". A refused file returns QVSIM_ERR_SCENARIO with the message in `summary`
 * (qvsim_last_error is not written, another thread may be writing it); a summary that does not fit
 * returns QVSIM_ERR_ARGUMENT saying the size it needs. `summary_size` is at least 64. */
QVSIM_API int qvsim_replay_check(const char* path, char* summary, int summary_size);
QVSIM_API int qvsim_set_replay_strict(int on);
QVSIM_API int qvsim_replay_open(const char* path);
QVSIM_API int qvsim_replay_play(double speed);
QVSIM_API int qvsim_replay_file(const char* path, double speed);
/* The instruments of the open (or last) file, in first-seen order: qvsim_replay_instrument_at
 * copies the instrument id, its exchange and its number of snapshots. */
QVSIM_API int qvsim_replay_instrument_count(void);
QVSIM_API int qvsim_replay_instrument_at(int index, char* instrument, int instrument_size, char* exchange,
                                         int exchange_size, long long* snapshots);
/* What reading the open (or last) file normalised, by kind: qvsim_replay_normalisation_kinds
 * says how many kinds there are (more may come), qvsim_replay_normalised copies the name of kind
 * `index` ("stale_snapshots", "no_value_prices") and its count; returns the name's length. */
QVSIM_API int qvsim_replay_normalisation_kinds(void);
QVSIM_API int qvsim_replay_normalised(int index, char* name, int name_size, long long* count);
/* The trading days of the open (or last) file's snapshots as read (after normalisation), each
 * once, in first-seen order: qvsim_replay_trading_day_at copies day `index` ("" for snapshots
 * without one) and returns its length. */
QVSIM_API int qvsim_replay_trading_day_count(void);
QVSIM_API int qvsim_replay_trading_day_at(int index, char* day, int day_size);
/* Snapshots delivered so far and in all, of the last replay. */
QVSIM_API int qvsim_replay_progress(long long* delivered, long long* total);
/* 1 when the last replay has finished (every snapshot and the fills it caused delivered; also when
 * none was started), 0 when timeout_micros passed first; a negative timeout waits without limit. */
QVSIM_API int qvsim_replay_wait(long long timeout_micros);
/* Stops a running replay; the snapshots not yet sent are dropped. */
QVSIM_API int qvsim_replay_stop(void);

/* Ends the trading day and begins `trading_day` (YYYYMMDD, later than the present one): working
 * orders expire (canceled, reported to their investors), every position is settled at the day's
 * settlement price (the last price when the market gave none) and carried as yesterday's, close
 * profit, fees, transfers and the settlement's profit go into the pre-balance, the day's orders and
 * trades are dropped and the settlement must be confirmed again. The trader front then drops
 * (OnFrontDisconnected) and comes back after reconnect_after_micros, so that connected objects log
 * in to the new day. Refused while a replay is running. */
QVSIM_API int qvsim_roll_day(const char* trading_day, long long reconnect_after_micros);

/* The log of requests received, oldest first. qvsim_request_at copies entry `index`: the api, the
 * request name, its request id, what the request returned, and up to record_size bytes of the
 * record (for the market-data subscriptions: each code followed by a NUL); returns the record's
 * full length. */
QVSIM_API int qvsim_request_count(void);
QVSIM_API int qvsim_request_at(int index, char* api, char* name, int name_size, int* request_id, int* result,
                               void* record, int record_size);
QVSIM_API int qvsim_clear_requests(void);

/* Live API objects of `api`: initialised (Init called) and not yet released. */
QVSIM_API int qvsim_session_count(char api);

#ifdef __cplusplus
}
#endif

#endif
