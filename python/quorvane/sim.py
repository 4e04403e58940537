"""Control of the stand-in CTP libraries (libquorvanesim.so) from Python, through ctypes."""
import ctypes
import json
import os
from typing import Any, Dict, List, NamedTuple, Optional, Union

from . import _resources
from .errors import SimError

__all__ = ["Sim", "SimError", "Request", "ReplayedInstrument", "CheckedFile", "find_library"]

_RECORD_BUFFER = 4096
QVSIM_ERR_ARGUMENT = -1


class Request(NamedTuple):
    """One entry of the request log: which library, the request, its id, what it returned, its record."""

    api: str
    name: str
    request_id: int
    result: int
    record: bytes


class CheckedFile(NamedTuple):
    """A tick file as the exchange reads it (Sim.replay_check): its snapshots, its instruments in
    first-seen order, the trading days of its snapshots and what reading it normalised."""

    ticks: int
    instruments: List["ReplayedInstrument"]
    trading_days: List[str]
    normalised: Dict[str, int]


class ReplayedInstrument(NamedTuple):
    """An instrument of a tick file: its id, its exchange and how many snapshots the file has of it."""

    instrument: str
    exchange: str
    ticks: int


def find_library(path: Optional[str] = None) -> str:
    """The control library: ``path`` if given, else $QUORVANE_SIM_LIB, else the one beside the
    runtime library ($QUORVANE_LIB or the package's own)."""
    if path:
        return str(path)
    return _resources.sim_library_path()


# name: (restype, argtypes) of every control function.
_SIGNATURES = {
    "qvsim_load_scenario_json": (ctypes.c_int, [ctypes.c_char_p]),
    "qvsim_load_scenario_file": (ctypes.c_int, [ctypes.c_char_p]),
    "qvsim_reset": (ctypes.c_int, []),
    "qvsim_last_error": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
    "qvsim_trading_day": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
    "qvsim_set_flow_control": (ctypes.c_int, [ctypes.c_int, ctypes.c_int]),
    "qvsim_set_latency": (ctypes.c_int, [ctypes.c_longlong]),
    "qvsim_set_md_rate": (ctypes.c_int, [ctypes.c_double]),
    "qvsim_drop_front": (ctypes.c_int, [ctypes.c_char, ctypes.c_int, ctypes.c_longlong]),
    "qvsim_restore_front": (ctypes.c_int, [ctypes.c_char]),
    "qvsim_hold_answers": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
    "qvsim_refuse_requests": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]),
    "qvsim_clear_rules": (ctypes.c_int, []),
    "qvsim_release_held": (ctypes.c_int, []),
    "qvsim_deliver": (ctypes.c_int, [ctypes.c_char, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                     ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_int]),
    "qvsim_push_depth": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "qvsim_request_count": (ctypes.c_int, []),
    "qvsim_request_at": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int,
                                        ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                                        ctypes.c_void_p, ctypes.c_int]),
    "qvsim_clear_requests": (ctypes.c_int, []),
    "qvsim_session_count": (ctypes.c_int, [ctypes.c_char]),
    "qvsim_set_persistence": (ctypes.c_int, [ctypes.c_int]),
    "qvsim_set_replay_strict": (ctypes.c_int, [ctypes.c_int]),
    "qvsim_replay_open": (ctypes.c_int, [ctypes.c_char_p]),
    "qvsim_replay_check": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    "qvsim_replay_play": (ctypes.c_int, [ctypes.c_double]),
    "qvsim_replay_file": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_double]),
    "qvsim_replay_instrument_count": (ctypes.c_int, []),
    "qvsim_replay_instrument_at": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                                                  ctypes.c_int, ctypes.POINTER(ctypes.c_longlong)]),
    "qvsim_replay_trading_day_count": (ctypes.c_int, []),
    "qvsim_replay_trading_day_at": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]),
    "qvsim_replay_normalisation_kinds": (ctypes.c_int, []),
    "qvsim_replay_normalised": (ctypes.c_int, [ctypes.c_int, ctypes.c_char_p, ctypes.c_int,
                                               ctypes.POINTER(ctypes.c_longlong)]),
    "qvsim_replay_progress": (ctypes.c_int, [ctypes.POINTER(ctypes.c_longlong),
                                             ctypes.POINTER(ctypes.c_longlong)]),
    "qvsim_replay_wait": (ctypes.c_int, [ctypes.c_longlong]),
    "qvsim_replay_stop": (ctypes.c_int, []),
    "qvsim_roll_day": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_longlong]),
}

Record = Union[bytes, bytearray, ctypes.Structure, None]


def _api(api: str) -> bytes:
    if api not in ("T", "M"):
        raise ValueError("api must be 'T' (trader) or 'M' (market data), not %r" % (api,))
    return api.encode()


def _record_bytes(record: Record) -> Optional[bytes]:
    if record is None:
        return None
    return bytes(record)


class Sim:
    """The simulated broker and market of this process, shared with the runtime that loaded the
    stand-in libraries. Every method raises SimError when the stand-in refuses the call."""

    def __init__(self, path: Optional[str] = None):
        self._lib = ctypes.CDLL(find_library(path))
        for name, (restype, argtypes) in _SIGNATURES.items():
            function = getattr(self._lib, name)
            function.restype = restype
            function.argtypes = argtypes

    def _check(self, code: int) -> int:
        if code < 0:
            raise SimError(code, self.last_error())
        return code

    def _text(self, function: Any) -> str:
        buffer = ctypes.create_string_buffer(1024)
        function(buffer, len(buffer))
        return buffer.value.decode("utf-8", "replace")

    def last_error(self) -> str:
        """The message of the last failed control call."""
        return self._text(self._lib.qvsim_last_error)

    def trading_day(self) -> str:
        return self._text(self._lib.qvsim_trading_day)

    def load_scenario(self, scenario: Union[dict, str]) -> None:
        """Loads a scenario given as a dict or as JSON text."""
        text = json.dumps(scenario) if isinstance(scenario, dict) else scenario
        self._check(self._lib.qvsim_load_scenario_json(text.encode("utf-8")))

    def load_scenario_file(self, path: Union[str, os.PathLike]) -> None:
        self._check(self._lib.qvsim_load_scenario_file(os.fsencode(path)))

    def reset(self) -> None:
        """Built-in scenario, default settings, fronts up, no rules, empty request log."""
        self._check(self._lib.qvsim_reset())

    def set_flow_control(self, queries_per_second: int, max_pending: int) -> None:
        """Per-object query limits; 0 switches a limit off."""
        self._check(self._lib.qvsim_set_flow_control(queries_per_second, max_pending))

    def set_latency(self, micros: int) -> None:
        self._check(self._lib.qvsim_set_latency(micros))

    def set_md_rate(self, snapshots_per_second: float) -> None:
        self._check(self._lib.qvsim_set_md_rate(snapshots_per_second))

    def set_persistence(self, on: bool) -> None:
        """Keeps each investor's trading day in an SQLite database under its trader object's flow
        path (restored at the next login of the day, settled at a login on a later day)."""
        self._check(self._lib.qvsim_set_persistence(1 if on else 0))

    def drop_front(self, api: str, reason: int, restore_after_micros: int = 0) -> int:
        """Drops every connection of one library; returns how many objects it reached."""
        return self._check(self._lib.qvsim_drop_front(_api(api), reason, restore_after_micros))

    def restore_front(self, api: str) -> None:
        self._check(self._lib.qvsim_restore_front(_api(api)))

    def hold_answers(self, request: str, count: int = -1) -> None:
        self._check(self._lib.qvsim_hold_answers(request.encode(), count))

    def refuse_requests(self, request: str, code: int, count: int = -1) -> None:
        self._check(self._lib.qvsim_refuse_requests(request.encode(), code, count))

    def clear_rules(self) -> None:
        self._check(self._lib.qvsim_clear_rules())

    def release_held(self) -> int:
        """Delivers the held answers; returns how many requests they answer."""
        return self._check(self._lib.qvsim_release_held())

    def deliver(self, api: str, callback: str, record: Record = None, error_id: Optional[int] = None,
                error_msg: bytes = b"", request_id: int = 0, is_last: bool = True) -> int:
        """Delivers one callback by name; error_id None passes no response info. Returns how many
        objects it was queued for."""
        data = _record_bytes(record)
        with_info = 0 if error_id is None else 1
        return self._check(self._lib.qvsim_deliver(
            _api(api), callback.encode(), data, 0 if data is None else len(data), with_info,
            error_id or 0, error_msg, request_id, 1 if is_last else 0))

    def push_depth(self, snapshot: Record) -> int:
        """Pushes a CThostFtdcDepthMarketDataField; returns how many subscribers it reached."""
        data = _record_bytes(snapshot) or b""
        return self._check(self._lib.qvsim_push_depth(data, len(data)))

    def requests(self) -> list:
        """The request log, oldest first."""
        out = []
        for index in range(self._check(self._lib.qvsim_request_count())):
            api = ctypes.create_string_buffer(1)
            name = ctypes.create_string_buffer(128)
            request_id = ctypes.c_int()
            result = ctypes.c_int()
            record = ctypes.create_string_buffer(_RECORD_BUFFER)
            size = self._check(self._lib.qvsim_request_at(index, api, name, len(name), ctypes.byref(request_id),
                                                          ctypes.byref(result), record, len(record)))
            out.append(Request(api.raw.decode(), name.value.decode(), request_id.value, result.value,
                               record.raw[:min(size, _RECORD_BUFFER)]))
        return out

    def clear_requests(self) -> None:
        self._check(self._lib.qvsim_clear_requests())

    def session_count(self, api: str) -> int:
        """Live API objects of one library."""
        return self._check(self._lib.qvsim_session_count(_api(api)))

    def set_replay_strict(self, on: bool) -> None:
        """Strict: the tick files opened from now on are refused at the first thing their loading
        would normalise (replay_normalised()), naming the file, line and field. Off by default
        and after reset()."""
        self._check(self._lib.qvsim_set_replay_strict(1 if on else 0))

    def replay_open(self, path: Union[str, os.PathLike]) -> int:
        """Reads, checks and normalises a CSV tick file (SimError naming the file, line and field
        otherwise) and readies the exchange for it: its clock stands at the first snapshot and,
        when no trader is logged in yet, the trading day becomes the file's. Returns how many
        ticks it loaded; replay_instruments() lists what it holds, replay_normalised() what its
        loading changed, replay_play() plays it."""
        return self._check(self._lib.qvsim_replay_open(os.fsencode(path)))

    def replay_check(self, path: Union[str, os.PathLike]) -> CheckedFile:
        """Reads and checks a tick file as replay_open does, without opening it: the exchange and
        any replay stay as they are. Several threads may check files at once (the call lets go of
        the interpreter lock). Raises SimError for a file the exchange refuses."""
        size = 1 << 16
        for _ in range(2):
            summary = ctypes.create_string_buffer(size)
            code = self._lib.qvsim_replay_check(os.fsencode(path), summary, size)
            text = summary.value.decode("utf-8", "replace")
            if code == QVSIM_ERR_ARGUMENT and text.startswith("the summary needs "):
                size = int(text.split()[3])
                continue
            if code < 0:
                raise SimError(code, text)
            instruments: List[ReplayedInstrument] = []
            days: List[str] = []
            normalised: Dict[str, int] = {}
            for line in text.splitlines():
                kind, _, rest = line.partition(" ")
                if kind == "day":
                    days.append(rest)
                elif kind == "instrument":
                    instrument, exchange, ticks = rest.split(" ")
                    instruments.append(ReplayedInstrument(instrument, exchange, int(ticks)))
                elif kind == "normalised":
                    name, count = rest.split(" ")
                    normalised[name] = int(count)
            return CheckedFile(code, instruments, days, normalised)
        raise SimError(QVSIM_ERR_ARGUMENT, text)

    def replay_play(self, speed: float = 0.0) -> None:
        """Plays the open tick file: speed 0 sends each tick once everything the previous one
        caused was delivered (the host's requests from inside its handlers and their answers
        included); s > 0 also paces the ticks by their own times, s times faster than real time."""
        self._check(self._lib.qvsim_replay_play(float(speed)))

    def replay(self, path: Union[str, os.PathLike], speed: float = 0.0) -> int:
        """Opens and plays a tick file (replay_open, then replay_play). Returns how many ticks it
        loaded."""
        return self._check(self._lib.qvsim_replay_file(os.fsencode(path), float(speed)))

    def replay_instruments(self) -> list:
        """The instruments of the open (or last) tick file, in first-seen order, as
        ReplayedInstrument(instrument, exchange, ticks)."""
        out = []
        for index in range(self._check(self._lib.qvsim_replay_instrument_count())):
            instrument = ctypes.create_string_buffer(81)
            exchange = ctypes.create_string_buffer(9)
            ticks = ctypes.c_longlong()
            self._check(self._lib.qvsim_replay_instrument_at(index, instrument, len(instrument), exchange,
                                                             len(exchange), ctypes.byref(ticks)))
            out.append(ReplayedInstrument(instrument.value.decode(), exchange.value.decode(), ticks.value))
        return out

    def replay_trading_days(self) -> List[str]:
        """The trading days of the open (or last) tick file's snapshots as read (after
        normalisation), each once, in first-seen order; "" for snapshots without one."""
        out = []
        for index in range(self._check(self._lib.qvsim_replay_trading_day_count())):
            day = ctypes.create_string_buffer(16)
            self._check(self._lib.qvsim_replay_trading_day_at(index, day, len(day)))
            out.append(day.value.decode("ascii", "replace"))
        return out

    def replay_normalised(self) -> Dict[str, int]:
        """What loading the open (or last) tick file normalised: {kind: count} for every kind the
        stand-in knows, in its order ("stale_snapshots": snapshots older than their instrument's
        last, skipped; "no_value_prices": price cells without a value, read as the largest
        double; "days_corrected": trading or action days set right by the session calendar;
        "outside_sessions": snapshots outside their product's sessions, skipped)."""
        out: Dict[str, int] = {}
        for index in range(self._check(self._lib.qvsim_replay_normalisation_kinds())):
            name = ctypes.create_string_buffer(64)
            count = ctypes.c_longlong()
            self._check(self._lib.qvsim_replay_normalised(index, name, len(name),
                                                          ctypes.byref(count)))
            out[name.value.decode()] = count.value
        return out

    def replay_progress(self) -> tuple:
        """(ticks delivered, ticks in all) of the last replay."""
        delivered = ctypes.c_longlong()
        total = ctypes.c_longlong()
        self._check(self._lib.qvsim_replay_progress(ctypes.byref(delivered), ctypes.byref(total)))
        return delivered.value, total.value

    def replay_wait(self, timeout: Optional[float] = None) -> bool:
        """Waits up to `timeout` seconds (None: without limit) for the replay to finish, its ticks
        and the fills they caused delivered. True when it has finished."""
        micros = -1 if timeout is None else max(0, int(timeout * 1e6))
        return self._check(self._lib.qvsim_replay_wait(micros)) == 1

    def replay_stop(self) -> None:
        """Stops a running replay; the ticks not yet sent are dropped."""
        self._check(self._lib.qvsim_replay_stop())

    def roll_day(self, trading_day: str, reconnect_after: float = 0.05) -> None:
        """Ends the trading day and begins `trading_day` (YYYYMMDD): working orders expire,
        positions are settled and carried as yesterday's, the funds roll into the pre-balance, and
        the trader front drops and comes back after `reconnect_after` seconds, so that every
        client logs in to the new day."""
        self._check(self._lib.qvsim_roll_day(trading_day.encode(), int(reconnect_after * 1e6)))
