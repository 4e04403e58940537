"""Readable names for the runtime's codes: event ids, error codes, order status, direction, offset.

Every table maps the raw value to the name a strategy developer would print; the lookup functions
fall back to the raw value for anything unknown, so they never raise on a new code.
"""

__all__ = ["EVENTS", "ORDER_EVENTS", "ERRORS", "ORDER_STATUS", "DIRECTION", "OFFSET", "ORDER_TYPE",
           "event_name", "error_name", "status_name", "direction_name", "offset_name", "char",
           "DAY_ROLLING", "READY", "TRADED", "CANCELED", "UPDATE_COST", "ACCEPTED",
           "INSERT_REJECTED", "CANCEL_REJECTED", "CACHED", "SNAPSHOT",
           "QRY_ORDER", "QRY_TRADE", "QRY_POSITION", "QRY_TRADING_ACCOUNT"]

from typing import Dict, Mapping, TypeVar, Union

from ._event_names import EVENTS

DAY_ROLLING = 10001
READY = 10002
TRADED = 10003
CANCELED = 10004
UPDATE_COST = 10005
ACCEPTED = 10006
INSERT_REJECTED = 10007
CANCEL_REJECTED = 10008
CACHED = 10009
SNAPSHOT = 10010
QRY_ORDER = 11202
QRY_TRADE = 11204
QRY_POSITION = 11205
QRY_TRADING_ACCOUNT = 11207

ORDER_EVENTS: Dict[int, str] = {event_id: EVENTS[event_id] for event_id in (
    TRADED, CANCELED, UPDATE_COST, ACCEPTED, INSERT_REJECTED, CANCEL_REJECTED, CACHED)}

ERRORS: Dict[int, str] = {
    0: "OK",
    -1000100: "Unsupported kind or direction",
    -1000200: "Client index above 99",
    -1000300: "Null login record",
    -1000500: "UserID empty",
    -1000700: "UserType not supported",
    -1000900: "MdFront empty",
    -1001000: "Flow directory could not be created",
    -1001100: "BrokerID empty",
    -1001200: "AppID empty",
    -1001300: "AuthCode empty",
    -1001400: "Trader library object could not be created",
    -1001500: "Trading front not connected in time",
    -1001700: "Market-data library object could not be created",
    -1001800: "Market-data front not connected in time",
    -1002000: "Null client handle",
    -1002100: "No market-data client",
    -1002200: "Order could not be handed to the trader library",
    -1002300: "Response time-out",
    -1002400: "Subscription count beyond any instrument list",
    -1002500: "Order volume below 1, nothing sent",
    -1002600: "Lots beyond what one call may send, not sent",
    -1002700: "Order insertion rejected by the trading system",
    -1003200: "Task id has no request",
    -10002800: "Event id not accepted for order events",
    -10002900: "Not callable",
    -10003000: "Event id not accepted for snapshots",
    -10003100: "Event id not accepted for detail data",
    # CTP library results of a request that was not sent.
    -1: "CTP: front not connected",
    -2: "CTP: too many requests waiting (flow control)",
    -3: "CTP: per-second query limit reached (flow control)",
}

ORDER_STATUS: Dict[str, str] = {
    "\0": "Made, not sent",
    "1": "Sent",
    "3": "Working",
    "4": "Finished",
    "5": "Rejected",
}

DIRECTION: Dict[str, str] = {"0": "Buy", "1": "Sell"}

OFFSET: Dict[str, str] = {"0": "Open", "1": "Close", "2": "ForceClose", "3": "CloseToday", "4": "CloseYesterday"}

# The order types a strategy uses most; every character the runtime accepts is in the README.
ORDER_TYPE: Dict[str, str] = {
    "0": "Limit, good for day",
    "B": "Limit, immediate or cancel",
    "E": "Limit, fill or kill",
    "1": "Cross at the opposite best",
    "2": "Join the own-side best",
    "3": "At the limit price",
    "4": "At the last price",
    "C": "Market, good for day",
    "D": "Market, immediate",
}


def char(value: Union[int, bytes, str]) -> str:
    """A one-character code read from a ctypes field (bytes, int or str) as a str; NUL as '\\0'."""
    if isinstance(value, int):
        return chr(value)
    if isinstance(value, bytes):
        return value.decode("latin-1") if value else "\0"
    return value or "\0"


_Key = TypeVar("_Key", int, str)


def _name(table: Mapping[_Key, str], value: _Key) -> str:
    return table.get(value, str(value))


def event_name(event_id: int) -> str:
    return _name(EVENTS, event_id)


def error_name(code: int) -> str:
    return _name(ERRORS, code)


def status_name(status: Union[int, bytes, str]) -> str:
    return _name(ORDER_STATUS, char(status))


def direction_name(direction: Union[int, bytes, str]) -> str:
    return _name(DIRECTION, char(direction))


def offset_name(offset: Union[int, bytes, str]) -> str:
    return _name(OFFSET, char(offset))
