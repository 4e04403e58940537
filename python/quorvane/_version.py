"""The package's version, as the wheel and `quorvane info` give it."""
__version__ = "0.1.0"
