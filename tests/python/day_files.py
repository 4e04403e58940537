"""Generated tick files for tests: one trading day per file in the replay's CSV format, a seeded
random walk on the tick grid with five levels each side and cumulative volume and turnover."""
import csv
import random

COLUMNS = (["TradingDay", "InstrumentID", "ExchangeID", "UpdateTime", "UpdateMillisec",
            "LastPrice", "Volume", "Turnover", "OpenInterest"]
           + ["%s%d" % (side, level) for level in range(1, 6)
              for side in ("BidPrice", "BidVolume", "AskPrice", "AskVolume")]
           + ["UpperLimitPrice", "LowerLimitPrice", "PreSettlementPrice", "ActionDay"])


def write_day(path, trading_day, ticks=120, instrument="rb2705", exchange="SHFE", start=3500.0,
              seed=1, multiplier=10, drift=0.0):
    """Writes `ticks` snapshots from 09:00:00, two a second; returns the day's last price."""
    rng = random.Random(seed)
    price, volume, turnover = start, 0, 0.0
    pre = start
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(COLUMNS)
        for n in range(ticks):
            price = max(pre * 0.95, min(pre * 1.05, price + rng.choice((-2, -1, 0, 1, 2)) + drift))
            price = round(price)
            traded = rng.randint(1, 40)
            volume += traded
            turnover += traded * price * multiplier
            seconds = 9 * 3600 + n // 2
            row = [trading_day, instrument, exchange,
                   "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60),
                   500 * (n % 2), price, volume, turnover, 100000 + n]
            for level in range(5):
                row += [price - 1 - level, rng.randint(5, 80), price + 1 + level, rng.randint(5, 80)]
            row += [round(pre * 1.07), round(pre * 0.93), pre, trading_day]
            writer.writerow(row)
    return price
