"""Quorvane: a native CTP trading runtime driven from Python through ctypes.

    from quorvane import Client, Strategy, codes
"""
from . import codes
from .host import Client, Strategy, login_record, shutdown

__all__ = ["Client", "Strategy", "codes", "login_record", "shutdown"]
