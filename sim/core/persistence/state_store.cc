#include "core/persistence/state_store.h"

#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <system_error>

namespace qvsim {

namespace {

constexpr const char* kSchema = R"(
  PRAGMA journal_mode = WAL;
  PRAGMA synchronous = OFF;
  CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
  CREATE TABLE IF NOT EXISTS account (id INTEGER PRIMARY KEY CHECK (id = 1), pre_balance REAL, deposit REAL,
    withdraw REAL, close_profit REAL, commission REAL, bank_balance REAL, confirmed INTEGER, confirm_date TEXT,
    confirm_time TEXT);
  CREATE TABLE IF NOT EXISTS positions (instrument TEXT, direction TEXT, yd_initial INTEGER, yd INTEGER,
    today INTEGER, open_cost REAL, margin REAL, PRIMARY KEY (instrument, direction));
  CREATE TABLE IF NOT EXISTS orders (seq INTEGER PRIMARY KEY, record BLOB NOT NULL, frozen_margin REAL,
    frozen_commission REAL, frozen_yd INTEGER, frozen_today INTEGER, queue_ahead INTEGER);
  CREATE TABLE IF NOT EXISTS trades (n INTEGER PRIMARY KEY AUTOINCREMENT, trade_id TEXT UNIQUE, record BLOB NOT NULL);
  CREATE TABLE IF NOT EXISTS prices (instrument TEXT PRIMARY KEY, last REAL);
)";

}  // namespace

// A prepared statement that finalizes itself.
class StateStore::Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() { return stmt_; }
  Statement& text(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& real(int i, double v) {
    sqlite3_bind_double(stmt_, i, v);
    return *this;
  }
  Statement& integer(int i, long long v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& blob(int i, const void* data, int size) {
    sqlite3_bind_blob(stmt_, i, data, size, SQLITE_TRANSIENT);
    return *this;
  }
  // Runs a statement that returns no rows and makes it ready for new bindings.
  bool run() {
    const int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return rc == SQLITE_DONE;
  }
  bool row() { return sqlite3_step(stmt_) == SQLITE_ROW; }
  std::string columnText(int i) {
    const unsigned char* t = sqlite3_column_text(stmt_, i);
    return t == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(t));
  }
  double columnReal(int i) { return sqlite3_column_double(stmt_, i); }
  long long columnInt(int i) { return sqlite3_column_int64(stmt_, i); }
  // Copies a blob column into a record when the sizes agree (a file of another layout is skipped).
  template <class T>
  bool columnRecord(int i, T& out) {
    if (sqlite3_column_bytes(stmt_, i) != static_cast<int>(sizeof(T))) return false;
    std::memcpy(&out, sqlite3_column_blob(stmt_, i), sizeof(T));
    return true;
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

struct StateStore::Writes {
  explicit Writes(sqlite3* db)
      : begin(db, "BEGIN"),
        commit(db, "COMMIT"),
        rollback(db, "ROLLBACK"),
        day(db, "INSERT OR REPLACE INTO meta (key, value) VALUES ('tradingDay', ?1)"),
        account(db,
                "INSERT OR REPLACE INTO account (id, pre_balance, deposit, withdraw, close_profit, commission, "
                "bank_balance, confirmed, confirm_date, confirm_time) VALUES (1, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
        clearPositions(db, "DELETE FROM positions"),
        position(db,
                 "INSERT INTO positions (instrument, direction, yd_initial, yd, today, open_cost, margin) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"),
        order(db,
              "INSERT OR REPLACE INTO orders (seq, record, frozen_margin, frozen_commission, frozen_yd, "
              "frozen_today, queue_ahead) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"),
        trade(db, "INSERT OR IGNORE INTO trades (trade_id, record) VALUES (?1, ?2)"),
        price(db, "INSERT OR REPLACE INTO prices (instrument, last) VALUES (?1, ?2)") {}
  bool ok() const {
    return begin.ok() && commit.ok() && rollback.ok() && day.ok() && account.ok() && clearPositions.ok() &&
           position.ok() && order.ok() && trade.ok() && price.ok();
  }

  Statement begin, commit, rollback, day, account, clearPositions, position, order, trade, price;
};

StateStore::StateStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

std::unique_ptr<StateStore> StateStore::open(const std::string& path, std::string& error) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    error = "cannot open " + path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 2000);
  std::unique_ptr<StateStore> store(new StateStore(db, path));
  if (!store->exec(kSchema) || !store->prepare()) {
    error = store->error_;
    return nullptr;
  }
  return store;
}

StateStore::~StateStore() {
  writes_.reset();  // the statements go before the connection
  sqlite3_close(db_);
}

bool StateStore::prepare() {
  writes_ = std::make_unique<Writes>(db_);
  if (writes_->ok()) return true;
  error_ = path_ + ": " + sqlite3_errmsg(db_);
  return false;
}

bool StateStore::exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error_ = path_ + ": " + (message != nullptr ? message : "unknown failure");
  sqlite3_free(message);
  return false;
}

bool StateStore::load(StoredDay& out) {
  out = StoredDay{};
  {
    Statement day(db_, "SELECT value FROM meta WHERE key = 'tradingDay'");
    if (!day.ok() || !day.row()) return false;
    out.tradingDay = day.columnText(0);
  }
  Statement account(db_,
                    "SELECT pre_balance, deposit, withdraw, close_profit, commission, bank_balance, confirmed, "
                    "confirm_date, confirm_time FROM account WHERE id = 1");
  if (!account.ok() || !account.row()) return false;
  StoredAccount& a = out.account;
  a.preBalance = account.columnReal(0);
  a.deposit = account.columnReal(1);
  a.withdraw = account.columnReal(2);
  a.closeProfit = account.columnReal(3);
  a.commission = account.columnReal(4);
  a.bankBalance = account.columnReal(5);
  a.confirmed = account.columnInt(6) != 0;
  a.confirmDate = account.columnText(7);
  a.confirmTime = account.columnText(8);

  Statement positions(db_, "SELECT instrument, direction, yd_initial, yd, today, open_cost, margin FROM positions");
  while (positions.ok() && positions.row()) {
    StoredPosition p;
    p.instrumentId = positions.columnText(0);
    const std::string direction = positions.columnText(1);
    p.direction = direction.empty() ? '2' : direction[0];
    p.ydInitial = static_cast<int>(positions.columnInt(2));
    p.yd = static_cast<int>(positions.columnInt(3));
    p.today = static_cast<int>(positions.columnInt(4));
    p.openCost = positions.columnReal(5);
    p.margin = positions.columnReal(6);
    out.positions.push_back(p);
  }
  Statement orders(db_,
                   "SELECT record, frozen_margin, frozen_commission, frozen_yd, frozen_today, queue_ahead FROM orders "
                   "ORDER BY seq");
  while (orders.ok() && orders.row()) {
    StoredOrder o;
    if (!orders.columnRecord(0, o.field)) continue;
    o.frozenMargin = orders.columnReal(1);
    o.frozenCommission = orders.columnReal(2);
    o.frozenYd = static_cast<int>(orders.columnInt(3));
    o.frozenToday = static_cast<int>(orders.columnInt(4));
    o.queueAhead = orders.columnInt(5);
    out.orders.push_back(o);
  }
  Statement trades(db_, "SELECT record FROM trades ORDER BY n");
  while (trades.ok() && trades.row()) {
    CThostFtdcTradeField t{};
    if (trades.columnRecord(0, t)) out.trades.push_back(t);
  }
  Statement prices(db_, "SELECT instrument, last FROM prices");
  while (prices.ok() && prices.row()) out.lastPrices[prices.columnText(0)] = prices.columnReal(1);
  return true;
}

bool StateStore::save(const std::string& tradingDay, const StoredAccount& a, const std::vector<StoredPosition>* positions,
                      const std::vector<StoredOrder>& orders, const std::vector<CThostFtdcTradeField>& trades,
                      const std::map<std::string, double>& lastPrices) {
  Writes& w = *writes_;
  if (!w.begin.run()) {
    error_ = path_ + ": " + sqlite3_errmsg(db_);
    return false;
  }
  bool ok = true;
  if (tradingDay != savedDay_) ok = w.day.text(1, tradingDay).run();
  ok = ok && w.account.real(1, a.preBalance)
                 .real(2, a.deposit)
                 .real(3, a.withdraw)
                 .real(4, a.closeProfit)
                 .real(5, a.commission)
                 .real(6, a.bankBalance)
                 .integer(7, a.confirmed ? 1 : 0)
                 .text(8, a.confirmDate)
                 .text(9, a.confirmTime)
                 .run();
  if (positions != nullptr) {
    ok = ok && w.clearPositions.run();
    for (const StoredPosition& p : *positions) {
      ok = ok && w.position.text(1, p.instrumentId)
                     .text(2, std::string(1, p.direction))
                     .integer(3, p.ydInitial)
                     .integer(4, p.yd)
                     .integer(5, p.today)
                     .real(6, p.openCost)
                     .real(7, p.margin)
                     .run();
    }
  }
  for (const StoredOrder& o : orders) {
    ok = ok && w.order.integer(1, o.field.BrokerOrderSeq)
                   .blob(2, &o.field, sizeof(o.field))
                   .real(3, o.frozenMargin)
                   .real(4, o.frozenCommission)
                   .integer(5, o.frozenYd)
                   .integer(6, o.frozenToday)
                   .integer(7, o.queueAhead)
                   .run();
  }
  for (const CThostFtdcTradeField& t : trades) {
    ok = ok && w.trade.text(1, std::string(t.TradeID, strnlen(t.TradeID, sizeof(t.TradeID)))).blob(2, &t, sizeof(t)).run();
  }
  for (const auto& [instrument, last] : lastPrices) ok = ok && w.price.text(1, instrument).real(2, last).run();
  if (!ok) {
    error_ = path_ + ": " + sqlite3_errmsg(db_);
    w.rollback.run();
    return false;
  }
  if (!w.commit.run()) {
    error_ = path_ + ": " + sqlite3_errmsg(db_);
    w.rollback.run();
    return false;
  }
  savedDay_ = tradingDay;
  return true;
}

bool StateStore::clearDay() { return exec("DELETE FROM orders; DELETE FROM trades;"); }

}  // namespace qvsim
