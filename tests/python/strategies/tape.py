"""Writes every tick it receives to `tape` as a JSON line of the recorder's columns."""
import json

from quorvane import Strategy
from quorvane.record import COLUMNS


class Tape(Strategy):
    def __init__(self, tape=""):
        self.tape = open(tape, "a")

    def on_tick(self, tick):
        row = [getattr(tick, "StandardID" if name == "InstrumentID" else name) for name in COLUMNS]
        self.tape.write(json.dumps([v.decode() if isinstance(v, bytes) else v for v in row]) + "\n")
        self.tape.flush()
