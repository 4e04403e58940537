"""Hostile calls to every export through ctypes, grouped by the kind of bad input: null, empty,
1 MiB, unterminated and random-byte texts, extreme numbers, wrong types and handles that init never
handed out.

Each group runs in a child process holding a live client on the stand-in exchange. The child makes
the group's calls, then shows that the client still serves (an order reaches the exchange and is
answered, cash is read, a subscription is booked, a handle lookup finds the order) and prints what
every call returned. A crash or a hang of the child fails its group; a result other than the
documented one fails the case by name.

Run as a script (test_hostile_calls.py GROUP WORKDIR) it is that child.
"""
import ctypes
import json
import mmap
import os
import pathlib
import random
import subprocess
import sys
import time

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "python"))
sys.path.insert(0, str(HERE))

NULL_HANDLE = -1002000
NOT_CALLABLE = -10002900
COUNT_REFUSED = -1002400
BEYOND_CALL_LIMIT = -1002600
RESULT_MARK = "hostile-results: "
RECORD = "record"          # a non-null record address
ARGUMENT_ERROR = "ArgumentError"  # ctypes refused the value before any call

INSTRUMENT, EXCHANGE, PRICE = b"rb2605", b"SHFE", 3500.0

# Every export, with arguments after the handle that a sound host would pass.
GOOD = {
    "setOrderEventCallback": [10003, print],
    "setSnapDataEventCallback": [10010, print],
    "setDetailDataEventCallback": [10012, print],
    "addTask": [11201, None, 1, 0, 0, 0],
    "queryBankAccountCash": [b"p", b"1", b"q"],
    "buy": [INSTRUMENT, 1, b"0", PRICE, 0, EXCHANGE, 0],
    "sell": [INSTRUMENT, 1, b"0", PRICE, 0, EXCHANGE, 0],
    "buyAmount": [INSTRUMENT, 1e4, b"0", PRICE, 0, EXCHANGE, 0],
    "sellAmount": [INSTRUMENT, 1e4, b"0", PRICE, 0, EXCHANGE, 0],
    "buyRatio": [INSTRUMENT, 0.01, b"0", PRICE, 0, EXCHANGE, 0],
    "sellRatio": [INSTRUMENT, 0.01, b"0", PRICE, 0, EXCHANGE, 0],
    "balanceToLongValue": [INSTRUMENT, 1e4, b"0", PRICE, 0, EXCHANGE],
    "balanceToShortValue": [INSTRUMENT, 1e4, b"0", PRICE, 0, EXCHANGE],
    "balanceToLongVolume": [INSTRUMENT, 0, b"0", PRICE, 0, EXCHANGE],
    "balanceToShortVolume": [INSTRUMENT, 0, b"0", PRICE, 0, EXCHANGE],
    "buyOpen": [INSTRUMENT, 1, b"0", PRICE, 0, EXCHANGE, 0],
    "sellOpen": [INSTRUMENT, 1, b"0", PRICE, 0, EXCHANGE, 0, 0],
    "buyClose": [INSTRUMENT, 1, b"0", PRICE, 0, EXCHANGE, 0, b"\0", 0],
    "sellClose": [INSTRUMENT, 1, b"0", PRICE, 0, EXCHANGE, 0, b"\0", 0],
    "closeLong": [INSTRUMENT, 1, b"0", PRICE, 0, EXCHANGE, 0],
    "closeShort": [INSTRUMENT, 1, b"0", PRICE, 0, EXCHANGE, 0],
    "cancelOrder": [EXCHANGE, INSTRUMENT, b"1", 1, 0, 0],
    "cancelOrderAll": [],
    "cancelOrderByExchangeID": [EXCHANGE],
    "cancelOrderByOrderID": [1],
    "cancelOrderByStandardID": [INSTRUMENT, EXCHANGE],
    "getOrder": [1],
    "getPosition": [INSTRUMENT, EXCHANGE],
    "getUsableCash": [],
    "subscribe": [None, 0, EXCHANGE, 48],
    "subscribeOne": [INSTRUMENT, EXCHANGE],
    "unsubscribe": [None, 0, EXCHANGE, 48],
    "unsubscribeOne": [b"zz9999", EXCHANGE],
    "transferCash": [b"1", 100.0, b"p", b"1", b"q"],
    "transferPosition": [b"0", INSTRUMENT, EXCHANGE, 1, b"p", b"t"],
    "updatePassword": [b"0", b"old", b"new"],
    "exitX": [],
}
ORDERS = [n for n, (restype, _) in __import__("quorvane.runtime", fromlist=["EXPORTS"]).EXPORTS.items()
          if restype is ctypes.c_void_p and n not in ("init", "getOrder", "getPosition", "transferCash",
                                                      "transferPosition")]
TEXT_PARAMS = {name: [i for i, value in enumerate(args) if isinstance(value, bytes) and len(value) != 1]
               for name, args in GOOD.items()}
# What each export gives when every text it takes is refused, unknown or cut to nothing useful.
NOTHING = {name: None for name in ORDERS + ["getPosition", "transferPosition"]}
NOTHING.update({name: 0 for name in ("queryBankAccountCash", "cancelOrderByExchangeID",
                                     "cancelOrderByStandardID", "subscribeOne", "unsubscribeOne")})


def texts_replaced(name, value):
    """The good arguments of `name` with every text replaced by `value`."""
    args = list(GOOD[name])
    for i in TEXT_PARAMS[name]:
        args[i] = value
    return args


# ---- The child ---------------------------------------------------------------------------------

class Exports:
    """The library as the groups call it: a record address comes back as RECORD, so results
    compare across runs; `raw` is the library itself."""

    def __init__(self, raw):
        self.raw = raw

    def __getattr__(self, name):
        function = getattr(self.raw, name)
        if function.restype is not ctypes.c_void_p:
            return function
        return lambda *args: RECORD if function(*args) else None


def guard_paged_text(length):
    """`length` bytes of 'x' with no terminator, directly followed by an unreadable page: reading
    one byte too far ends the process."""
    page = mmap.PAGESIZE
    size = (length + page - 1) // page * page
    region = mmap.mmap(-1, size + page)
    base = ctypes.addressof(ctypes.c_char.from_buffer(region))
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    assert libc.mprotect(base + size, page, 0) == 0
    start = base + size - length
    ctypes.memset(start, ord("x"), length)
    guard_paged_text.keep.append(region)
    return ctypes.c_char_p(start)


guard_paged_text.keep = []


def group_null(lib, h):
    cases = {name: (lambda n=name: getattr(lib, n)(h, *texts_replaced(n, None))) for name in NOTHING}
    cases["subscribe null array replays the book"] = lambda: lib.subscribe(h, None, 5, None, 48)
    cases["unsubscribe null array"] = lambda: lib.unsubscribe(h, None, 5, None, 48)
    cases["addTask null command"] = lambda: lib.addTask(h, 11201, None, 1, 0, 0, 0)
    cases["init null login"] = lambda: (lib.init(0, None, None, None, None, None, None), lib.getInitError())
    for setter in ("setOrderEventCallback", "setSnapDataEventCallback", "setDetailDataEventCallback"):
        cases[setter] = lambda s=setter: getattr(lib, s)(h, GOOD[s][0], None)
    cases["setEventTextProcessor"] = lambda: lib.setEventTextProcessor(None)
    cases["cancelOrder"] = lambda: lib.cancelOrder(h, None, None, None, 0, 0, 0)
    cases["updatePassword"] = lambda: lib.updatePassword(h, b"1", None, None)
    cases["transferCash"] = lambda: lib.transferCash(h, b"1", 1.0, None, None, None)
    return cases


def group_empty(lib, h):
    cases = {name: (lambda n=name: getattr(lib, n)(h, *texts_replaced(n, b""))) for name in NOTHING}
    empty = (ctypes.c_char_p * 3)(b"", b"", b"")
    cases["subscribe empty codes"] = lambda: lib.subscribe(h, empty, 3, b"", 48)
    cases["unsubscribe empty codes"] = lambda: lib.unsubscribe(h, empty, 3, b"", 48)
    cases["subscribe count 0"] = lambda: lib.subscribe(h, empty, 0, EXCHANGE, 48)
    return cases


def group_mebibyte(lib, h):
    big = b"x" * (1 << 20)
    cases = {name: (lambda n=name: getattr(lib, n)(h, *texts_replaced(n, big))) for name in NOTHING}
    codes = (ctypes.c_char_p * 2)(big, big)
    cases["subscribe 1 MiB codes"] = lambda: lib.subscribe(h, codes, 2, big, 48)
    cases["unsubscribe 1 MiB codes"] = lambda: lib.unsubscribe(h, codes, 2, big, 48)
    cases["buyOpen 1 MiB code on a given exchange is cut"] = lambda: standard_id(
        lib.raw.buyOpen(h, big, 1, b"0", PRICE, 0, EXCHANGE, 0))
    cases["queryBankAccountCash"] = lambda: lib.queryBankAccountCash(h, big, big, big)
    cases["updatePassword"] = lambda: lib.updatePassword(h, b"1", big, big)
    return cases


def group_unterminated(lib, h):
    endless = guard_paged_text(64 * 1024)
    cases = {name: (lambda n=name: getattr(lib, n)(h, *texts_replaced(n, endless))) for name in NOTHING}
    codes = (ctypes.c_char_p * 2)(endless, INSTRUMENT)
    cases["subscribe codes"] = lambda: lib.subscribe(h, codes, 2, None, 48)
    cases["subscribe exchange"] = lambda: lib.subscribe(h, codes, 1, endless, 48)
    cases["unsubscribe codes"] = lambda: lib.unsubscribe(h, codes, 2, endless, 48)
    cases["queryBankAccountCash"] = lambda: lib.queryBankAccountCash(h, endless, endless, endless)
    cases["updatePassword"] = lambda: lib.updatePassword(h, b"1", endless, endless)
    cases["transferCash"] = lambda: lib.transferCash(h, b"1", 1.0, endless, endless, endless)
    return cases


def group_random_bytes(lib, h):
    from quorvane import records
    rng = random.Random(12)

    def noise(n=200):
        return bytes(rng.randrange(1, 256) for _ in range(n))

    cases = {name: (lambda n=name, t=noise(): getattr(lib, n)(h, *texts_replaced(n, t))) for name in NOTHING}
    login = records.CQVLoginField.from_buffer_copy(bytes(rng.randrange(256) for _ in range(
        ctypes.sizeof(records.CQVLoginField))))
    login.UserType = 77777
    cases["init random login"] = lambda: (lib.init(0, ctypes.byref(login), None, None, None, None, None),
                                          lib.getInitError())
    codes = (ctypes.c_char_p * 3)(noise(), noise(), noise())
    cases["subscribe random codes"] = lambda: lib.subscribe(h, codes, 3, None, 48)
    cases["unsubscribe random codes"] = lambda: lib.unsubscribe(h, codes, 3, None, 48)
    return cases


def group_extreme_numbers(lib, h):
    i32min, i32max, i64min, i64max = -2**31, 2**31 - 1, -2**63, 2**63 - 1
    inf, nan = float("inf"), float("nan")
    cases = {
        # Before the floods below use the cash up: usable cash x 1e300 sizes to 2^31-1 lots.
        "buyRatio 1e300": lambda: flood(lib.raw.buyRatio(h, INSTRUMENT, 1e300, *GOOD["buyRatio"][2:])),
        "getTimeElapse INT64_MIN saturates": lambda: lib.getTimeElapse(i64min) == i64max,
        "getTimeElapse INT64_MAX is negative": lambda: lib.getTimeElapse(i64max) < 0,
        "setRunMode INT32_MIN": lambda: lib.setRunMode(i32min),
        "getOrder INT32_MIN": lambda: lib.getOrder(h, i32min),
        "cancelOrderByOrderID INT32_MAX": lambda: lib.cancelOrderByOrderID(h, i32max),
        "setOrderEventCallback id INT32_MIN": lambda: lib.setOrderEventCallback(h, i32min, print),
        "setSnapDataEventCallback id INT32_MAX": lambda: lib.setSnapDataEventCallback(h, i32max, print),
        "setDetailDataEventCallback id -1": lambda: lib.setDetailDataEventCallback(h, -1, print),
        "subscribe count INT32_MAX": lambda: lib.subscribe(h, (ctypes.c_char_p * 1)(INSTRUMENT), i32max,
                                                          EXCHANGE, 48),
        "unsubscribe count INT32_MAX": lambda: lib.unsubscribe(h, (ctypes.c_char_p * 1)(INSTRUMENT),
                                                              i32max, EXCHANGE, 48),
        "subscribe count INT32_MIN": lambda: lib.subscribe(h, (ctypes.c_char_p * 1)(INSTRUMENT), i32min,
                                                          EXCHANGE, 48),
        "init client index 65535": lambda: (lib.init(65535, ctypes.byref(good_login()), None, None, None,
                                                     None, None), lib.getInitError()),
    }
    for name in ("buyAmount", "sellAmount", "buyRatio", "sellRatio", "balanceToLongValue",
                 "balanceToShortValue"):
        for value in (inf, -inf, nan):
            cases["%s %r" % (name, value)] = lambda n=name, v=value: getattr(lib, n)(
                h, INSTRUMENT, v, *GOOD[n][2:])
    for name in ORDERS:
        for mark in (-1, 100, -32768, 32767):
            args = list(GOOD[name])
            args[4] = mark
            cases["%s mark %d" % (name, mark)] = lambda n=name, a=args: getattr(lib, n)(h, *a)
    for name in ("buy", "sell", "balanceToLongVolume", "balanceToShortVolume"):
        cases[name + " 2^31-1 lots"] = lambda n=name: flood(getattr(lib.raw, n)(
            h, INSTRUMENT, i32max, *GOOD[n][2:]))
    for name in ("buyAmount", "sellAmount"):
        cases[name + " 1e308"] = lambda n=name: flood(getattr(lib.raw, n)(h, INSTRUMENT, 1e308, *GOOD[n][2:]))
    for name in ("buy", "buyOpen", "closeShort"):
        cases[name + " volume INT32_MIN"] = lambda n=name: getattr(lib, n)(h, INSTRUMENT, i32min,
                                                                        *GOOD[n][2:])
    for name in ORDERS:
        for price in (inf, nan):
            args = list(GOOD[name])
            args[3] = price
            cases["%s price %r" % (name, price)] = lambda n=name, a=args: getattr(lib, n)(h, *a)
    cases["addTask extreme gap and time-out"] = lambda: lib.addTask(h, 11201, None, 1, 0, i64min, i64max)
    cases["transferCash inf"] = lambda: lib.transferCash(h, b"1", inf, b"p", b"1", b"q")
    cases["transferCash nan"] = lambda: lib.transferCash(h, b"1", nan, b"p", b"1", b"q")
    cases["transferPosition volume INT32_MIN"] = lambda: lib.transferPosition(
        h, b"0", INSTRUMENT, EXCHANGE, i32min, b"p", b"t")
    return cases


def group_wrong_types(lib, h):
    """ctypes converts by the declared types and refuses what does not convert, before any call;
    objects handed over as host objects are judged by the runtime."""
    wrong = {"text": "a str, not bytes", "number": b"bytes for a number", "handle": "a text handle"}

    def attempt(call):
        try:
            return call()
        except ctypes.ArgumentError:
            return ARGUMENT_ERROR

    cases = {}
    for name, args in GOOD.items():
        if TEXT_PARAMS[name]:
            bad = list(args)
            bad[TEXT_PARAMS[name][0]] = wrong["text"]
            cases[name + " str text"] = lambda n=name, a=bad: attempt(lambda: getattr(lib, n)(h, *a))
        numbers = [i for i, value in enumerate(args) if isinstance(value, (int, float)) and value is not True]
        if numbers:
            bad = list(args)
            bad[numbers[0]] = wrong["number"]
            cases[name + " bytes number"] = lambda n=name, a=bad: attempt(lambda: getattr(lib, n)(h, *a))
        cases[name + " str handle"] = lambda n=name, a=args: attempt(lambda: getattr(lib, n)(wrong["handle"], *a))
    for setter in ("setOrderEventCallback", "setSnapDataEventCallback", "setDetailDataEventCallback"):
        for thing in (42, "text", object()):
            cases["%s %s" % (setter, type(thing).__name__)] = lambda s=setter, t=thing: getattr(lib, s)(
                h, GOOD[s][0], t)
    cases["setEventTextProcessor int"] = lambda: lib.setEventTextProcessor(7)
    return cases


def group_unknown_handles(lib, h):
    from quorvane import records
    zeros = ctypes.create_string_buffer(4096)
    rng = random.Random(34)
    noise = ctypes.create_string_buffer(bytes(rng.randrange(256) for _ in range(4096)))
    order = lib.raw.buyOpen(h, INSTRUMENT, 1, b"0", PRICE, 0, EXCHANGE, 0)
    login = records.CQVLoginField()
    handles = {"1": 1, "16": 16, "4096": 4096, "0xdeadbeef": 0xDEADBEEF, "2^63": 2**63,
               "zeroed memory": ctypes.addressof(zeros), "random bytes": ctypes.addressof(noise),
               "an order record": order, "a login record": ctypes.addressof(login),
               "client + 8": h + 8, "client - 8": h - 8}
    cases = {}
    for label, handle in handles.items():
        for name, args in GOOD.items():
            cases["%s on %s" % (name, label)] = lambda n=name, a=args, x=handle: getattr(lib, n)(x, *a)
    return cases


def good_login():
    from quorvane import records
    login = records.CQVLoginField()
    login.UserType, login.UserID, login.MdFront = 20001, b"u1", b"tcp://127.0.0.1:2"
    return login


def flood(address):
    """How a flooding call ended: orders sent, and the last order's volume and error."""
    from quorvane import records
    sent, last = 0, None
    while address:
        last = records.view(records.CQVOrderField, address)
        sent += last.OrderStatus != b"\0"
        address = ctypes.cast(last.NextOrder, ctypes.c_void_p).value if last.NextOrder else None
    return {"sent": sent, "held back": last.OriginalVolume if last else 0,
            "error": last.ErrorID if last else 0}


def standard_id(address):
    from quorvane import records
    return records.view(records.CQVOrderField, address).StandardID.decode() if address else None


GROUPS = {name[len("group_"):]: fn for name, fn in dict(globals()).items() if name.startswith("group_")}


def serves(lib, h):
    """What a sound host sees after the hostile calls: its order reaches the exchange and is
    answered, and the other exports answer too."""
    from quorvane import records
    address = lib.buy(h, INSTRUMENT, 1, b"0", PRICE, 7, EXCHANGE, 0)
    order = records.view(records.CQVOrderField, address) if address else None
    deadline = time.monotonic() + 20
    while order is not None and order.OrderStatus in (b"1", b"") and time.monotonic() < deadline:
        time.sleep(0.01)
    # Accepted, filled, or refused by the exchange (the floods may have used the cash up): answered.
    return {"order answered": order is not None and order.OrderStatus not in (b"1", b""),
            "found by id": order is not None and lib.getOrder(h, order.OrderID) == address,
            "cash is a number": lib.getUsableCash(h) == lib.getUsableCash(h) != -1.0,
            "subscribed": lib.subscribeOne(h, b"cu2605", EXCHANGE) == 0,
            "elapsed": 0 <= lib.getTimeElapse(lib.setTimeAnchor()) < 10_000_000}


def plain(value):
    if isinstance(value, float) and value != value:
        return "nan"
    if isinstance(value, (tuple, list)):
        return [plain(v) for v in value]
    return value


def child(group, workdir):
    import session_host
    host = session_host.Host(workdir)
    host.sim.load_scenario({"instruments": session_host.INSTRUMENTS})
    host.start()
    if not host.wait_for(session_host.has(session_host.READY)):
        raise SystemExit("the client never became ready")
    lib, h = Exports(host.rt.lib), host.client.handle
    results = {label: plain(call()) for label, call in GROUPS[group](lib, h).items()}
    lib.setRunMode(ord("1"))
    print(RESULT_MARK + json.dumps({"results": results, "serves": serves(host.rt.lib, h)}))
    sys.stdout.flush()
    os._exit(0)  # the runtime's workers never end by themselves


# ---- What each group must give ------------------------------------------------------------------

def null_results():
    """Every handle-taking export's result for a null or unknown handle."""
    from quorvane import runtime
    by_type = {ctypes.c_void_p: None, ctypes.c_int32: NULL_HANDLE, ctypes.c_double: -1.0, None: None}
    return {name: by_type[runtime.EXPORTS[name][0]] for name in GOOD}


def expect_null():
    e = dict(NOTHING)
    e.update({"subscribe null array replays the book": 0, "unsubscribe null array": 0,
              "addTask null command": 0, "init null login": [None, -1000300],
              "setOrderEventCallback": NOT_CALLABLE, "setSnapDataEventCallback": NOT_CALLABLE,
              "setDetailDataEventCallback": NOT_CALLABLE, "setEventTextProcessor": NOT_CALLABLE,
              # Requests whose empty fields the servers judge: handed to the library.
              "cancelOrder": 0, "updatePassword": 0, "transferCash": RECORD})
    return e


def expect_empty():
    e = dict(NOTHING)
    e.update({"subscribe empty codes": 0, "unsubscribe empty codes": 0, "subscribe count 0": 0})
    return e


def expect_cut_texts():
    """Texts read only as far as their fields: an explicit open on a given exchange goes out with
    its code cut to the field (and the position of that cut code exists); nothing else matches."""
    e = dict(NOTHING)
    e.update({"buyOpen": RECORD, "sellOpen": RECORD, "getPosition": RECORD})
    return e


def expect_mebibyte():
    e = expect_cut_texts()
    e.update({"subscribe 1 MiB codes": 0, "unsubscribe 1 MiB codes": 0, "queryBankAccountCash": 0,
              "updatePassword": 0, "buyOpen 1 MiB code on a given exchange is cut": "x" * 80})
    return e


def expect_unterminated():
    e = expect_cut_texts()
    e.update({"subscribe codes": 0, "subscribe exchange": 0, "unsubscribe codes": 0,
              "queryBankAccountCash": 0, "updatePassword": 0, "transferCash": RECORD})
    return e


def expect_random_bytes():
    e = dict(NOTHING)
    e.update({"buyOpen": RECORD, "sellOpen": RECORD, "init random login": [None, -1000700],
              "subscribe random codes": 0, "unsubscribe random codes": 0})
    return e


def expect_extreme_numbers():
    i32max = 2**31 - 1
    e = {"buyRatio 1e300": {"sent": 1, "held back": i32max - 285, "error": BEYOND_CALL_LIMIT},
         "getTimeElapse INT64_MIN saturates": True, "getTimeElapse INT64_MAX is negative": True,
         "setRunMode INT32_MIN": 0, "getOrder INT32_MIN": None, "cancelOrderByOrderID INT32_MAX": -1,
         "setOrderEventCallback id INT32_MIN": -10002800,
         "setSnapDataEventCallback id INT32_MAX": -10003000,
         "setDetailDataEventCallback id -1": -10003100,
         "subscribe count INT32_MAX": COUNT_REFUSED, "unsubscribe count INT32_MAX": COUNT_REFUSED,
         "subscribe count INT32_MIN": 0, "init client index 65535": [None, -1000200],
         "addTask extreme gap and time-out": 0, "transferCash inf": None, "transferCash nan": None,
         "transferPosition volume INT32_MIN": None}
    for name in ("buyAmount", "sellAmount", "buyRatio", "sellRatio", "balanceToLongValue",
                 "balanceToShortValue"):
        for value in ("inf", "-inf", "nan"):
            e["%s %s" % (name, value)] = None
    for name in ORDERS:
        for mark in (-1, 100, -32768, 32767):
            e["%s mark %d" % (name, mark)] = None
        for price in ("inf", "nan"):
            e["%s price %s" % (name, price)] = None
    # Once the cash is used up, one order's worth (500 lots) goes out and the exchange judges it.
    for name in ("buy", "sell", "balanceToLongVolume", "balanceToShortVolume"):
        e[name + " 2^31-1 lots"] = {"sent": 1, "held back": i32max - 500, "error": BEYOND_CALL_LIMIT}
    for name in ("buyAmount", "sellAmount"):
        e[name + " 1e308"] = {"sent": 1, "held back": i32max - 500, "error": BEYOND_CALL_LIMIT}
    for name in ("buy", "buyOpen", "closeShort"):
        e[name + " volume INT32_MIN"] = None
    return e


def expect_wrong_types():
    e = {}
    nulls = null_results()
    for name, args in GOOD.items():
        if TEXT_PARAMS[name]:
            e[name + " str text"] = ARGUMENT_ERROR
        if any(isinstance(v, (int, float)) and v is not True for v in args):
            e[name + " bytes number"] = ARGUMENT_ERROR
        e[name + " str handle"] = nulls[name]  # ctypes passes the text's address: no client's
    for setter in ("setOrderEventCallback", "setSnapDataEventCallback", "setDetailDataEventCallback"):
        for kind in ("int", "str", "object"):
            e["%s %s" % (setter, kind)] = NOT_CALLABLE
    e["setEventTextProcessor int"] = NOT_CALLABLE
    return e


def expect_unknown_handles():
    nulls = null_results()
    labels = ["1", "16", "4096", "0xdeadbeef", "2^63", "zeroed memory", "random bytes",
              "an order record", "a login record", "client + 8", "client - 8"]
    return {"%s on %s" % (name, label): nulls[name] for label in labels for name in GOOD}


def run_group(lib_path, workdir, group):
    env = dict(os.environ, QUORVANE_LIB=lib_path)
    result = subprocess.run([sys.executable, __file__, group, str(workdir)], env=env, cwd=str(workdir),
                            capture_output=True, text=True, timeout=240)
    assert result.returncode == 0, "the process died (%d): %s" % (result.returncode, result.stderr[-3000:])
    lines = [line for line in result.stdout.splitlines() if line.startswith(RESULT_MARK)]
    assert lines, result.stderr[-3000:]
    return json.loads(lines[-1][len(RESULT_MARK):])


class TestHostileCalls:
    def test_every_export_that_takes_a_handle_is_exercised(self):
        from quorvane import runtime
        process_wide = {"init", "getInitError", "loop", "setRunMode", "setTimeAnchor", "getTimeElapse",
                        "setEventTextProcessor"}
        assert set(GOOD) == set(runtime.EXPORTS) - process_wide

    @pytest.mark.parametrize("group", sorted(GROUPS))
    def test_group_gets_documented_results_and_the_client_still_serves(self, lib_path, tmp_path, group):
        """The child survives every call of the group, each call returns what the export's table
        documents, and a sound host's order, cash read and subscription still work afterwards."""
        out = run_group(lib_path, tmp_path, group)
        assert out["serves"] == dict.fromkeys(out["serves"], True)
        expected = globals()["expect_" + group]()
        assert sorted(out["results"]) == sorted(expected)
        wrong = {label: {"got": out["results"][label], "documented": value}
                 for label, value in expected.items() if out["results"][label] != value}
        assert not wrong


if __name__ == "__main__":
    child(sys.argv[1], sys.argv[2])
