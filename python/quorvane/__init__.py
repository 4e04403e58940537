"""Quorvane: a native CTP trading runtime driven from Python through ctypes."""
