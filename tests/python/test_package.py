"""The package as its users import it: one kind of error, the names scripts written against the
earlier layout still import, the order verbs a strategy inherits, and where the package looks for
its libraries."""
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

import quorvane  # noqa: E402
from quorvane import errors  # noqa: E402
from quorvane.research import loading  # noqa: E402
from quorvane.trading.client import Client  # noqa: E402
from quorvane.trading.strategy import Strategy  # noqa: E402

SAMPLE = str(ROOT / "sim" / "data" / "sample_ticks.csv")


def run_python(code, env=None, cwd=None):
    environment = dict(os.environ, PYTHONPATH=str(ROOT / "python"), **(env or {}))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=environment,
                          cwd=cwd, capture_output=True, text=True, timeout=120)


class TestPublicSurface:
    def test_every_name_in_all_imports(self):
        for name in quorvane.__all__:
            assert getattr(quorvane, name) is not None, name
        assert quorvane.run_replay.__module__ == "quorvane.research.replay"

    @pytest.mark.parametrize("old, new, name", [
        ("quorvane.host", "quorvane.trading.client", "Client"),
        ("quorvane.replay", "quorvane.research.replay", "run_replay"),
        ("quorvane.record", "quorvane.research.recording", "TickRecorder"),
        ("quorvane.report", "quorvane.research.tracking", "RunTracker"),
        ("quorvane.runtime", "quorvane.trading.runtime", "NativeClient"),
    ], ids=["host", "replay", "record", "report", "runtime"])
    def test_the_earlier_module_names_still_import(self, old, new, name):
        done = run_python("""
            import importlib, sys
            old = importlib.import_module(%r)
            new = importlib.import_module(%r)
            renamed = {"quorvane.record": "Recorder", "quorvane.report": "Recorder",
                       "quorvane.runtime": "Client"}.get(%r, %r)
            print(getattr(old, renamed) is getattr(new, %r))
        """ % (old, new, old, name, name))
        assert done.stdout.split() == ["True"], done.stderr


class TestOneKindOfError:
    def test_each_error_is_a_quorvane_error_and_the_builtin_it_resembles(self):
        for cls, builtin in [(errors.StartupError, RuntimeError), (errors.SimError, RuntimeError),
                             (errors.InputFileError, ValueError),
                             (errors.ParameterError, ValueError)]:
            assert issubclass(cls, errors.QuorvaneError) and issubclass(cls, builtin)

    def test_a_bad_parameter_names_the_parameter_and_its_text(self):
        class Crossing(Strategy):
            def __init__(self, fast=3):
                self.fast = fast

        with pytest.raises(quorvane.QuorvaneError, match="fast takes a whole number, not 'x'"):
            loading.strategy_params(Crossing, loading.parse_params(["fast=x"]))

    def test_a_missing_strategy_file_is_an_input_file_error(self, tmp_path):
        with pytest.raises(errors.InputFileError, match="no strategy file .*absent.py"):
            loading.load_strategy_class(str(tmp_path / "absent.py"))

    def test_a_start_up_error_carries_the_code_and_says_what_it_means(self):
        error = errors.StartupError("init of client 0 failed", -1000500)
        assert error.code == -1000500
        assert str(error) == "init of client 0 failed: UserID empty (code -1000500)"

    def test_a_refused_tick_file_stops_the_replay_naming_file_line_and_field(self, tmp_path,
                                                                            lib_path):
        ticks = tmp_path / "bad.csv"
        ticks.write_text("InstrumentID,ExchangeID,LastPrice\nrb2705,SHFE,abc\n")
        done = run_python("""
            from quorvane import InputFileError, run_replay
            from quorvane.research.replay import DEMO_STRATEGY
            try:
                run_replay(str(DEMO_STRATEGY), %r, out_dir=%r, progress=False, pictures=False)
            except InputFileError as error:
                print("refused:", error)
        """ % (str(ticks), str(tmp_path / "out")), env={"QUORVANE_LIB": lib_path})
        assert "refused: " in done.stdout and "bad.csv" in done.stdout, done.stdout + done.stderr
        assert "LastPrice" in done.stdout and ":2" in done.stdout


class TestStrategyVerbs:
    def test_a_strategy_has_every_verb_of_the_client_with_its_signature(self):
        for name in ("buy", "sell", "buy_close", "close_long", "cancel", "cancel_order"):
            assert inspect.signature(getattr(Strategy, name)) == inspect.signature(
                getattr(Client, name)), name

    def test_a_strategy_with_helpers_of_its_own_still_trades(self, tmp_path, lib_path):
        """Helpers named _send and _cancel, as strategies write them, must not hide the verbs."""
        strategy = tmp_path / "helpers.py"
        strategy.write_text(textwrap.dedent("""
            from quorvane import Strategy

            class Helpers(Strategy):
                def __init__(self):
                    self.placed = None

                def _send(self, tick):
                    return self.buy(tick.StandardID, 1, tick.AskPrice1, exchange_id=tick.ExchangeID)

                def _cancel(self, order):
                    return self.cancel(order)

                def on_tick(self, tick):
                    if self.placed is None and tick.StandardID == b"rb2705":
                        self.placed = self._send(tick)
                        self._cancel(self.placed)
                        self.close_long(tick.StandardID, price=tick.BidPrice1,
                                        exchange_id=tick.ExchangeID)
        """))
        done = subprocess.run([sys.executable, "-m", "quorvane", "replay", SAMPLE, "--strategy",
                               str(strategy), "--out", str(tmp_path / "out"), "--no-progress",
                               "--no-pictures"], capture_output=True, text=True, timeout=180,
                              env=dict(os.environ, QUORVANE_LIB=lib_path,
                                       PYTHONPATH=str(ROOT / "python")))
        assert done.returncode == 0, done.stdout + done.stderr
        assert "Orders: 0 placed" not in done.stdout and "Handler errors" not in done.stdout


class TestLibraryLookup:
    def test_without_an_installed_library_the_error_says_how_to_get_one(self, tmp_path):
        done = run_python("""
            import os
            os.environ.pop("QUORVANE_LIB", None)
            from quorvane import StartupError
            from quorvane import _resources
            _resources._PACKAGE = _resources.pathlib.Path(%r)
            try:
                _resources.library_path()
            except StartupError as error:
                print(error)
        """ % str(tmp_path), cwd=str(tmp_path))
        assert "QUORVANE_LIB" in done.stdout and "pip install" in done.stdout, done.stderr
