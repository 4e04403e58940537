"""Generated tick files for tests: one trading day per file in the replay's CSV format, a seeded
random walk on the tick grid with five levels each side and cumulative volume and turnover.

write_day writes two snapshots a second from 09:00:00; write_sessions writes a day shaped like the
real market's: a snapshot a minute through the night session of the evening before (21:00 to
23:00, ActionDay the evening's date) when given one, then the day sessions (09:00-10:15,
10:30-11:30, 13:30-15:00, ActionDay the trading day)."""
import csv
import random

COLUMNS = (["TradingDay", "InstrumentID", "ExchangeID", "UpdateTime", "UpdateMillisec",
            "LastPrice", "Volume", "Turnover", "OpenInterest"]
           + ["%s%d" % (side, level) for level in range(1, 6)
              for side in ("BidPrice", "BidVolume", "AskPrice", "AskVolume")]
           + ["UpperLimitPrice", "LowerLimitPrice", "PreSettlementPrice", "ActionDay"])

NIGHT = [(21 * 3600, 23 * 3600)]
DAY = [(9 * 3600, 10 * 3600 + 15 * 60), (10 * 3600 + 30 * 60, 11 * 3600 + 30 * 60),
       (13 * 3600 + 30 * 60, 15 * 3600)]


def write_day(path, trading_day, ticks=120, instrument="rb2705", exchange="SHFE", start=3500.0,
              seed=1, multiplier=10, drift=0.0):
    """Writes `ticks` snapshots from 09:00:00, two a second; returns the day's last price."""
    stamps = [(trading_day, 9 * 3600 + n // 2, 500 * (n % 2)) for n in range(ticks)]
    return _write(path, trading_day, stamps, instrument, exchange, start, seed, multiplier, drift)


def session_stamps(trading_day, evening=None, step=60):
    """(ActionDay, seconds of the day, milliseconds) of a snapshot every `step` seconds through
    each session, its closing second included: the night on `evening`, then the day."""
    sessions = ([(evening, NIGHT)] if evening else []) + [(trading_day, DAY)]
    return [(date, second, 0) for date, spans in sessions for begin, end in spans
            for second in range(begin, end + 1, step)]


def write_sessions(path, trading_day, evening=None, step=60, instrument="rb2705",
                   exchange="SHFE", start=3500.0, seed=1, multiplier=10, drift=0.0):
    """Writes the sessions of `trading_day` (its night on `evening` when given); returns the
    day's last price."""
    return _write(path, trading_day, session_stamps(trading_day, evening, step), instrument,
                  exchange, start, seed, multiplier, drift)


def _write(path, trading_day, stamps, instrument, exchange, start, seed, multiplier, drift):
    rng = random.Random(seed)
    price, volume, turnover = start, 0, 0.0
    pre = start
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(COLUMNS)
        for n, (action_day, seconds, millis) in enumerate(stamps):
            price = max(pre * 0.95, min(pre * 1.05, price + rng.choice((-2, -1, 0, 1, 2)) + drift))
            price = round(price)
            traded = rng.randint(1, 40)
            volume += traded
            turnover += traded * price * multiplier
            row = [trading_day, instrument, exchange,
                   "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60),
                   millis, price, volume, turnover, 100000 + n]
            for level in range(5):
                row += [price - 1 - level, rng.randint(5, 80), price + 1 + level, rng.randint(5, 80)]
            row += [round(pre * 1.07), round(pre * 0.93), pre, action_day]
            writer.writerow(row)
    return price


def write_stamps(path, trading_day, stamps, action_day=True, seed=1):
    """Writes one snapshot per (instrument, exchange, UpdateTime, UpdateMillisec, ActionDay) of
    `stamps`, in their order, prices walking from 3500 (rb) or 600 (others) with cumulative
    volume; without `action_day` the file has no ActionDay column. Returns the rows written as
    dicts of the columns' values."""
    rng = random.Random(seed)
    columns = [c for c in COLUMNS if action_day or c != "ActionDay"]
    prices, totals, rows = {}, {}, []
    for instrument, exchange, update_time, millis, action in stamps:
        start = 3500.0 if instrument.startswith("rb") else 600.0
        price = round(prices.get(instrument, start) + rng.choice((-2, -1, 0, 1, 2)))
        prices[instrument] = price
        volume, turnover = totals.get(instrument, (0, 0.0))
        traded = rng.randint(1, 40)
        totals[instrument] = volume, turnover = volume + traded, turnover + traded * price * 10
        values = [trading_day, instrument, exchange, update_time, millis, price, volume, turnover,
                  100000 + len(rows)]
        for level in range(5):
            values += [price - 1 - level, rng.randint(5, 80), price + 1 + level, rng.randint(5, 80)]
        values += [round(start * 1.07), round(start * 0.93), start, action]
        rows.append(dict(zip(COLUMNS, values)))
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(columns)
        for row in rows:
            writer.writerow([row[c] for c in columns])
    return rows
