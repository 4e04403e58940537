"""The package's exceptions: one base, QuorvaneError, that a caller can catch for all of them.

Each also derives from the built-in it resembles, so that code catching RuntimeError or ValueError
keeps working. Messages name the offending value (a file, line and field; a parameter and its
text; the start-up error's code and meaning).
"""
from typing import Optional

__all__ = ["QuorvaneError", "StartupError", "InputFileError", "SimError", "ParameterError"]


class QuorvaneError(Exception):
    """Base of every exception the package raises on purpose."""


class StartupError(QuorvaneError, RuntimeError):
    """A client could not start: the runtime's init returned no client (`code` is its start-up
    error, as getInitError tells it), or the session did not log in or subscribe in time (`code`
    is then None)."""

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        if code is not None:
            from .trading.codes import error_name
            message = "%s: %s (code %d)" % (message, error_name(code), code)
        super().__init__(message)
        self.code = code


class InputFileError(QuorvaneError, ValueError):
    """A file the command was given cannot be used as it is: a tick file or scenario the
    simulated exchange refused (the message names the file, the line and the field), a missing
    file, or a strategy file without a usable Strategy class."""


class SimError(QuorvaneError, RuntimeError):
    """The stand-in refused a control call; `code` is its negative result, `message` its text."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__("%s (%d)" % (message, code))
        self.code = code
        self.message = message


class ParameterError(QuorvaneError, ValueError):
    """A parameter the strategy cannot take: an unknown name, a value of the wrong type, or a
    NAME=VALUE pair without its '='."""
