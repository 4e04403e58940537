"""Strategy parameters from the command line: each converted to the type of the constructor's
default, and every mistake refused by name before anything runs."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

from quorvane import Strategy  # noqa: E402
from quorvane.loading import ParameterError, parse_params, strategy_params  # noqa: E402


class Typed(Strategy):
    def __init__(self, lots=1, ratio=0.5, order_type="0", hedge=False, note=None,
                 code: int = None):
        pass


class Required(Strategy):
    def __init__(self, instrument, lots=1):
        pass


class OpenEnded(Strategy):
    def __init__(self, lots=1, **extra):
        pass


def params(cls, *pairs):
    return strategy_params(cls, parse_params(pairs))


class TestConversion:
    @pytest.mark.parametrize("pairs, expected", [
        (["lots=3"], {"lots": 3}),
        (["ratio=2"], {"ratio": 2.0}),
        # A text default keeps the text: "0" is the limit order type, not the integer 0.
        (["order_type=0"], {"order_type": "0"}),
        (["hedge=yes", "note=7"], {"hedge": True, "note": "7"}),
        (["hedge=OFF"], {"hedge": False}),
        (["code=42"], {"code": 42}),
        (["order_type=a=b"], {"order_type": "a=b"}),
    ], ids=["int", "float", "text-default", "bool-and-none", "bool-upper", "annotated",
            "value-with-equals"])
    def test_values_take_the_type_of_the_default(self, pairs, expected):
        got = params(Typed, *pairs)
        assert got == expected
        assert [type(v) for v in got.values()] == [type(v) for v in expected.values()]

    def test_extra_names_pass_as_text_to_a_constructor_taking_any(self):
        assert params(OpenEnded, "lots=2", "colour=red") == {"lots": 2, "colour": "red"}


class TestRefusals:
    @pytest.mark.parametrize("pairs, message", [
        (["lots=1e3"], "lots takes a whole number, not '1e3'"),
        (["lots=1.5"], "lots takes a whole number"),
        (["ratio=abc"], "ratio takes a number"),
        (["ratio=nan"], "ratio takes a finite number"),
        (["hedge=maybe"], "hedge takes true or false"),
        (["size=3"], "Typed takes no parameter size (it takes: lots, ratio, order_type"),
        (["lots"], "parameter 'lots' is not NAME=VALUE"),
        (["=3"], "is not NAME=VALUE"),
        (["lots=1", "lots=2"], "parameter lots given twice"),
    ], ids=["exponent-for-int", "fraction-for-int", "text-for-float", "nan", "bad-bool",
            "unknown-name", "no-equals", "no-name", "twice"])
    def test_mistakes_are_refused_by_name(self, pairs, message):
        with pytest.raises(ParameterError, match=message.replace("(", r"\(")):
            params(Typed, *pairs)

    def test_a_parameter_without_default_must_be_given(self):
        with pytest.raises(ParameterError, match="Required needs parameter instrument"):
            params(Required, "lots=2")
        assert params(Required, "instrument=rb2705") == {"instrument": "rb2705"}
