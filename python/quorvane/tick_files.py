"""What a tick file holds, as far as the host needs it before a replay: its instruments with
their exchanges, in first-seen order, and how many ticks. Errors name the file, the line and the
field, and stop the replay before it starts."""
import csv

__all__ = ["TickFile", "TickFileError"]


class TickFileError(ValueError):
    """A tick file the replay refuses: `path`, `line` (1 is the header) and `field` say where."""

    def __init__(self, path, line, field, message):
        super().__init__("%s:%d: %s: %s" % (path, line, field, message))
        self.path, self.line, self.field = path, line, field


class TickFile:
    """A tick file's instruments ({instrument: exchange id as written, maybe blank}, with the
    line each was first seen on) and its count of ticks."""

    def __init__(self, path):
        self.path = str(path)
        self.instruments = {}
        self.first_line = {}
        self.count = 0
        with open(self.path, newline="") as source:
            reader = csv.DictReader(source)
            missing = {"InstrumentID", "LastPrice"} - set(reader.fieldnames or [])
            if missing:
                raise TickFileError(self.path, 1, ", ".join(sorted(missing)), "no such column")
            for row in reader:
                self.count += 1
                instrument = (row.get("InstrumentID") or "").strip()
                exchange = (row.get("ExchangeID") or "").strip()
                known = self.instruments.get(instrument)
                if known is None:
                    self.instruments[instrument] = exchange
                    self.first_line[instrument] = reader.line_num
                elif exchange and known and exchange != known:
                    raise TickFileError(self.path, reader.line_num, "ExchangeID",
                                        "%s was at %s on line %d, here at %s" % (
                                            instrument, known, self.first_line[instrument],
                                            exchange))
                elif exchange and not known:
                    self.instruments[instrument] = exchange

    def resolve(self, listed):
        """{instrument: exchange id} against the exchange's instrument records ({id: record with
        ExchangeID}): a blank exchange takes the listed one; an unknown instrument or another
        exchange is a TickFileError."""
        resolved = {}
        for instrument, exchange in self.instruments.items():
            line = self.first_line[instrument]
            record = listed.get(instrument)
            if record is None:
                raise TickFileError(self.path, line, "InstrumentID",
                                    "%r is not traded on this exchange" % instrument)
            actual = record.ExchangeID.decode()
            if exchange and exchange != actual:
                raise TickFileError(self.path, line, "ExchangeID",
                                    "%s trades at %s, not %s" % (instrument, actual, exchange))
            resolved[instrument] = actual
        return resolved
