"""Loads the native runtime with ctypes and declares the argument and result types of its 44 exports.

Every export is called through ctypes.CDLL, so the interpreter lock is released for the duration of
the call: the runtime's worker and library threads take that lock to call back into Python, and
would wait for ever if a host thread held it inside an export.

The runtime keeps only borrowed references to the callables it is given. Runtime and NativeClient keep
every callable they hand over referenced for as long as the client lives (clients live until the
process ends), so a callable passed through them can never be collected while the runtime may call
it.
"""
import ctypes
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from .. import _resources
from .._version import __version__
from ..errors import StartupError
from . import records

__all__ = ["EXPORTS", "Runtime", "NativeClient", "InitError", "library_path", "load",
           "NULL_HANDLE", "NO_MD_CLIENT", "NOT_CALLABLE", "LIBRARY_NAME", "__version__"]

LIBRARY_NAME = _resources.LIBRARY_NAME

# Codes the helpers below name; the full table is in the runtime's export header.
NULL_HANDLE = -1002000
NO_MD_CLIENT = -1002100
NOT_CALLABLE = -10002900

_handle = ctypes.c_void_p        # a client handle (TraderClient*), opaque
_obj = ctypes.py_object          # a host object handed over by address
_text = ctypes.c_char_p
_code = ctypes.c_char            # one character code: b"0" or 48
_byte = ctypes.c_ubyte
_i16 = ctypes.c_int16
_i32 = ctypes.c_int32
_i64 = ctypes.c_int64
_u16 = ctypes.c_uint16
_f64 = ctypes.c_double
_ptr = ctypes.c_void_p           # a returned record address (read it with records.view)
_texts = ctypes.POINTER(ctypes.c_char_p)
_login = ctypes.POINTER(records.CQVLoginField)
_command = ctypes.POINTER(records.CQVQueryCommandField)

_ORDER_BY_VOLUME = [_handle, _text, _i32, _code, _f64, _i16, _text, _byte]
_ORDER_BY_MONEY = [_handle, _text, _f64, _code, _f64, _i16, _text, _byte]
_BALANCE_BY_VALUE = [_handle, _text, _f64, _code, _f64, _i16, _text]
_BALANCE_BY_VOLUME = [_handle, _text, _i32, _code, _f64, _i16, _text]
_EXPLICIT_CLOSE = [_handle, _text, _i32, _code, _f64, _i16, _text, _byte, _code, _i64]

# name: (restype, argtypes), in the order of the export header.
EXPORTS: Dict[str, Tuple[Any, List[Any]]] = {
    "init": (_handle, [_u16, _login, _obj, _obj, _obj, _obj, _obj]),
    "getInitError": (_i32, []),
    "loop": (None, []),
    "exitX": (None, [_handle]),
    "setRunMode": (_i32, [_i32]),
    "setTimeAnchor": (_i64, []),
    "getTimeElapse": (_i64, [_i64]),
    "setEventTextProcessor": (_i32, [_obj]),
    "setOrderEventCallback": (_i32, [_handle, _i32, _obj]),
    "setSnapDataEventCallback": (_i32, [_handle, _i32, _obj]),
    "setDetailDataEventCallback": (_i32, [_handle, _i32, _obj]),
    "addTask": (_i32, [_handle, _i32, _command, _i32, _byte, _i64, _i64]),
    "queryBankAccountCash": (_i32, [_handle, _text, _text, _text]),
    "buy": (_ptr, _ORDER_BY_VOLUME),
    "sell": (_ptr, _ORDER_BY_VOLUME),
    "buyAmount": (_ptr, _ORDER_BY_MONEY),
    "sellAmount": (_ptr, _ORDER_BY_MONEY),
    "buyRatio": (_ptr, _ORDER_BY_MONEY),
    "sellRatio": (_ptr, _ORDER_BY_MONEY),
    "balanceToLongValue": (_ptr, _BALANCE_BY_VALUE),
    "balanceToShortValue": (_ptr, _BALANCE_BY_VALUE),
    "balanceToLongVolume": (_ptr, _BALANCE_BY_VOLUME),
    "balanceToShortVolume": (_ptr, _BALANCE_BY_VOLUME),
    "buyOpen": (_ptr, [_handle, _text, _i32, _code, _f64, _i16, _text, _byte]),
    "sellOpen": (_ptr, [_handle, _text, _i32, _code, _f64, _i16, _text, _byte, _i64]),
    "buyClose": (_ptr, _EXPLICIT_CLOSE),
    "sellClose": (_ptr, _EXPLICIT_CLOSE),
    "closeLong": (_ptr, [_handle, _text, _i32, _code, _f64, _i16, _text, _byte]),
    "closeShort": (_ptr, [_handle, _text, _i32, _code, _f64, _i16, _text, _byte]),
    "cancelOrder": (_i32, [_handle, _text, _text, _text, _i32, _i32, _i32]),
    "cancelOrderAll": (_i32, [_handle]),
    "cancelOrderByExchangeID": (_i32, [_handle, _text]),
    "cancelOrderByOrderID": (_i32, [_handle, _i32]),
    "cancelOrderByStandardID": (_i32, [_handle, _text, _text]),
    "getOrder": (_ptr, [_handle, _i32]),
    "getPosition": (_ptr, [_handle, _text, _text]),
    "getUsableCash": (_f64, [_handle]),
    "subscribe": (_i32, [_handle, _texts, _i32, _text, _i32]),
    "subscribeOne": (_i32, [_handle, _text, _text]),
    "unsubscribe": (_i32, [_handle, _texts, _i32, _text, _i32]),
    "unsubscribeOne": (_i32, [_handle, _text, _text]),
    "transferCash": (_ptr, [_handle, _code, _f64, _text, _text, _text]),
    "transferPosition": (_ptr, [_handle, _code, _text, _text, _i32, _text, _text]),
    "updatePassword": (_i32, [_handle, _code, _text, _text]),
}


# The name this module gave the start-up error before the package had one kind of error.
InitError = StartupError

library_path = _resources.library_path

# A callable handed to the runtime (None registers none).
HostCallable = Optional[Callable[..., Any]]


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the library and declares every export; returns the ctypes.CDLL."""
    lib = ctypes.CDLL(path or library_path())
    for name, (restype, argtypes) in EXPORTS.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def _texts_array(codes: Sequence[Union[str, bytes]]) -> Any:
    encoded = [c.encode() if isinstance(c, str) else c for c in codes]
    return (ctypes.c_char_p * len(encoded))(*encoded)


def _encode(text: Optional[Union[str, bytes]]) -> Optional[bytes]:
    return text.encode() if isinstance(text, str) else text


class NativeClient:
    """A trading client handle returned by Runtime.init, with thin calls of the exports that take
    it. Keeps every callable registered through it. (quorvane.Client is the strategy developer's
    client built on it.)"""

    def __init__(self, runtime: "Runtime", handle: int, callables: Sequence[HostCallable]) -> None:
        self.runtime = runtime
        self.lib = runtime.lib
        self.handle = handle
        self._callables = list(callables)

    def _keep(self, result: int, callable_: HostCallable) -> int:
        if result == 0:
            self._callables.append(callable_)
        return result

    def set_order_event_callback(self, event_id: int, callable_: HostCallable) -> int:
        """Registers `callable_(event_id, order_address, position_address, usable_cash)`."""
        return self._keep(self.lib.setOrderEventCallback(self.handle, event_id, callable_), callable_)

    def set_snapshot_callback(self, event_id: int, callable_: HostCallable) -> int:
        """Registers `callable_(event_id, snapshot_address)` for 10010 or 10011."""
        return self._keep(self.lib.setSnapDataEventCallback(self.handle, event_id, callable_), callable_)

    def set_detail_callback(self, event_id: int, callable_: HostCallable) -> int:
        """Registers a detail-data callable for 10012 to 10015."""
        return self._keep(self.lib.setDetailDataEventCallback(self.handle, event_id, callable_),
                          callable_)

    def subscribe(self, codes: Sequence[Union[str, bytes]],
                  exchange_id: Optional[Union[str, bytes]] = None, type_: int = ord("0")) -> int:
        """Subscribes instrument codes (texts); returns the runtime's code."""
        return self.lib.subscribe(self.handle, _texts_array(codes), len(codes), _encode(exchange_id),
                                  type_)

    def unsubscribe(self, codes: Sequence[Union[str, bytes]],
                    exchange_id: Optional[Union[str, bytes]] = None, type_: int = ord("0")) -> int:
        """Unsubscribes instrument codes (texts); returns the runtime's code."""
        return self.lib.unsubscribe(self.handle, _texts_array(codes), len(codes),
                                    _encode(exchange_id), type_)

    def usable_cash(self) -> float:
        """The client's usable cash (getUsableCash)."""
        return self.lib.getUsableCash(self.handle)

    def order(self, order_id: int) -> Optional[records.CQVOrderField]:
        """The order record with that OrderID as a ctypes view, or None."""
        address = self.lib.getOrder(self.handle, order_id)
        return records.view(records.CQVOrderField, address) if address else None

    def position(self, instrument_id: Union[str, bytes],
                 exchange_id: Optional[Union[str, bytes]] = None
                 ) -> Optional[records.CQVPositionField]:
        """The position record of an instrument as a ctypes view, or None."""
        address = self.lib.getPosition(self.handle, _encode(instrument_id), _encode(exchange_id))
        return records.view(records.CQVPositionField, address) if address else None

    def stop(self) -> None:
        """Stops this client's work (exitX)."""
        self.lib.exitX(self.handle)


class Runtime:
    """The loaded runtime. Keeps the text processor and every client (with its callables) alive."""

    def __init__(self, path: Optional[str] = None) -> None:
        self.lib = load(path)
        self.clients: List[NativeClient] = []
        self._text_processor: HostCallable = None

    def init(self, client_index: int, login: records.CQVLoginField, on_order: HostCallable = None,
             on_response: HostCallable = None, on_loop: HostCallable = None,
             on_market_data: HostCallable = None, reserved: HostCallable = None) -> NativeClient:
        """Starts (or returns the registered) client; raises StartupError with the start-up
        error."""
        callables = [on_order, on_response, on_loop, on_market_data, reserved]
        handle = self.lib.init(client_index, ctypes.byref(login), *callables)
        if not handle:
            raise StartupError("init of client %d failed" % client_index, self.lib.getInitError())
        for client in self.clients:
            if client.handle == handle:
                client._callables.extend(callables)
                return client
        client = NativeClient(self, handle, callables)
        self.clients.append(client)
        return client

    def set_text_processor(self, processor: HostCallable) -> int:
        """Routes event texts to `processor(text)`; returns the runtime's code."""
        result = self.lib.setEventTextProcessor(processor)
        if result == 0:
            self._text_processor = processor
        return result

    def set_run_mode(self, mode: Union[int, str, bytes]) -> int:
        """'0' (or 48) keeps event text on; any other value turns it off."""
        if isinstance(mode, (str, bytes)):
            mode = ord(mode)
        return self.lib.setRunMode(mode)

    def now(self) -> int:
        """Microseconds since the runtime's time base."""
        return self.lib.setTimeAnchor()

    def elapsed(self, anchor: int) -> int:
        """Microseconds from `anchor` to now."""
        return self.lib.getTimeElapse(anchor)

    def loop(self) -> None:
        """Runs the workers of every client; does not return while any runs."""
        self.lib.loop()
