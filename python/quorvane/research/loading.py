"""Strategies from files: the class a location names, and its constructor's parameters converted
from command-line text to the types of their defaults, checked before anything runs."""
import importlib.util
import inspect
import math
import os
import pathlib
import sys
from typing import TYPE_CHECKING, Any, Dict, Iterable, Mapping, Optional, Type, Union

from ..errors import InputFileError, ParameterError

if TYPE_CHECKING:
    from ..trading.strategy import Strategy


__all__ = ["ParameterError", "load_strategy", "load_strategy_class", "parse_params",
           "strategy_params"]


def load_strategy_class(location: Union[str, "os.PathLike[str]"]) -> Type["Strategy"]:
    """The Strategy subclass a location names: "path/to/file.py:ClassName", or "file.py" for
    the file's only Strategy subclass (or the class its `STRATEGY` attribute names)."""
    from ..trading.strategy import Strategy
    path, _, name = str(location).partition(":")
    if not pathlib.Path(path).is_file():
        raise InputFileError("no strategy file %s" % path)
    module_name = "quorvane_user_" + pathlib.Path(path).stem
    loader = importlib.util.spec_from_file_location(module_name, path)
    if loader is None:
        raise InputFileError("cannot load a strategy from %s" % path)
    module = importlib.util.module_from_spec(loader)
    sys.modules[module_name] = module
    loader.loader.exec_module(module)  # type: ignore[union-attr]  # a file location always has a loader
    if name:
        cls = getattr(module, name, None)
        if cls is None:
            raise InputFileError("%s has no class %s" % (path, name))
    elif hasattr(module, "STRATEGY"):
        cls = module.STRATEGY
    else:
        found = [v for v in vars(module).values() if isinstance(v, type) and issubclass(v, Strategy)
                 and v is not Strategy and v.__module__ == module_name]
        if len(found) != 1:
            raise InputFileError("%s: name the strategy class (file.py:Class)" % path)
        cls = found[0]
    if not (isinstance(cls, type) and issubclass(cls, Strategy)):
        raise InputFileError("%s: %r is not a Strategy subclass" % (path, cls))
    return cls


def parse_params(pairs: Optional[Iterable[str]]) -> Dict[str, str]:
    """{name: text} from "NAME=VALUE" texts; a pair without '=' or a name given twice raises
    ParameterError."""
    params: Dict[str, str] = {}
    for pair in pairs or []:
        name, equals, value = pair.partition("=")
        name = name.strip()
        if not equals or not name:
            raise ParameterError("parameter %r is not NAME=VALUE" % pair)
        if name in params:
            raise ParameterError("parameter %s given twice" % name)
        params[name] = value
    return params


_TRUE = {"1", "true", "yes", "on"}
_FALSE = {"0", "false", "no", "off"}


def _convert(name: str, text: str, kind: type) -> Any:
    if kind is bool:
        lowered = text.strip().lower()
        if lowered in _TRUE or lowered in _FALSE:
            return lowered in _TRUE
        raise ParameterError("%s takes true or false, not %r" % (name, text))
    if kind is int:
        try:
            return int(text.strip(), 10)
        except ValueError:
            raise ParameterError("%s takes a whole number, not %r" % (name, text)) from None
    if kind is float:
        try:
            value = float(text)
        except ValueError:
            raise ParameterError("%s takes a number, not %r" % (name, text)) from None
        if not math.isfinite(value):
            raise ParameterError("%s takes a finite number, not %r" % (name, text))
        return value
    if kind is bytes:
        return text.encode()
    return text


def _kind(parameter: inspect.Parameter) -> type:
    """The type a parameter's text converts to: its plain annotation, else its default's type;
    text when neither says."""
    if parameter.annotation in (bool, int, float, str, bytes):
        return parameter.annotation
    default = parameter.default
    if default is not inspect.Parameter.empty and default is not None:
        for kind in (bool, int, float, bytes):     # bool before int: True is an int
            if isinstance(default, kind):
                return kind
    return str


def strategy_params(cls: Type["Strategy"], given: Mapping[str, Any]) -> Dict[str, Any]:
    """Keyword arguments for cls(...) from {name: value}: a text is converted to the type of the
    constructor's default for it, other values pass as they are. Names the constructor does not
    take raise ParameterError, unless it takes **kwargs (which get the value as given), and so
    does a parameter without a default that is not given."""
    signature = inspect.signature(cls.__init__)
    named = {name: p for name, p in signature.parameters.items()
             if name != "self" and p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    open_ended = any(p.kind is p.VAR_KEYWORD for p in signature.parameters.values())
    unknown = sorted(set(given) - set(named))
    if unknown and not open_ended:
        raise ParameterError("%s takes no parameter %s (it takes: %s)" % (
            cls.__name__, ", ".join(unknown), ", ".join(named) or "none"))
    params: Dict[str, Any] = {}
    for name, value in given.items():
        if isinstance(value, str) and name in named:
            value = _convert(name, value, _kind(named[name]))
        params[name] = value
    missing = [name for name, p in named.items()
               if p.default is inspect.Parameter.empty and name not in params]
    if missing:
        raise ParameterError("%s needs parameter %s" % (cls.__name__, ", ".join(missing)))
    return params


def load_strategy(location: Union[str, "os.PathLike[str]"],
                  params: Optional[Mapping[str, Any]] = None, **values: Any) -> "Strategy":
    """A strategy instance from a location (see load_strategy_class), built with
    strategy_params(cls, params and values together)."""
    cls = load_strategy_class(location)
    return cls(**strategy_params(cls, dict(params or {}, **values)))
