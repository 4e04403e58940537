"""The host-side runtime module: declarations that keep pointers whole, helpers that keep
callables alive, and the `python3 -m quorvane info` command."""
import ctypes
import gc
import os
import pathlib
import subprocess
import sys
import weakref

import pytest

from quorvane import records, runtime

PYTHON_DIR = str(pathlib.Path(runtime.__file__).resolve().parents[1])


class TestDeclarations:
    def test_record_returning_exports_keep_full_pointers(self):
        """A default int result would cut addresses above 2**31; these must be c_void_p."""
        returning_records = {"init", "getOrder", "getPosition", "transferCash", "transferPosition",
                             "buy", "sell", "buyAmount", "sellAmount", "buyRatio", "sellRatio",
                             "balanceToLongValue", "balanceToShortValue", "balanceToLongVolume",
                             "balanceToShortVolume", "buyOpen", "sellOpen", "buyClose", "sellClose",
                             "closeLong", "closeShort"}
        for name in returning_records:
            assert runtime.EXPORTS[name][0] is ctypes.c_void_p, name
        assert runtime.EXPORTS["setTimeAnchor"][0] is ctypes.c_int64
        assert runtime.EXPORTS["getUsableCash"][0] is ctypes.c_double

    def test_callables_cross_as_objects(self):
        for name in ("setEventTextProcessor", "setOrderEventCallback", "setSnapDataEventCallback",
                     "setDetailDataEventCallback"):
            assert runtime.EXPORTS[name][1][-1] is ctypes.py_object, name
        assert runtime.EXPORTS["init"][1][2:] == [ctypes.py_object] * 5


class TestRuntime:
    def test_text_processor_is_kept_only_when_accepted(self, lib_path):
        rt = runtime.Runtime(lib_path)
        assert rt.set_text_processor(None) == runtime.NOT_CALLABLE
        assert rt._text_processor is None

        def processor(text):
            pass
        probe = weakref.ref(processor)
        assert rt.set_text_processor(processor) == 0
        del processor
        gc.collect()
        assert probe() is not None
        assert rt.set_text_processor(print) == 0

    def test_failed_init_raises_with_the_start_up_error(self, lib_path, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        rt = runtime.Runtime(lib_path)
        login = records.CQVLoginField()
        login.UserType = 20001
        with pytest.raises(runtime.InitError) as failure:
            rt.init(0, login)
        assert failure.value.code == -1000500
        assert rt.clients == []

    def test_client_keeps_its_callables_alive(self, lib_path, tmp_path):
        """Against the stand-in libraries, in a child process (the client registry is process-wide)."""
        script = """
import gc, sys, weakref
from quorvane import records, runtime
rt = runtime.Runtime(sys.argv[1])
login = records.CQVLoginField()
login.UserType = 20001
login.UserID = b"keep"
login.MdFront = b"tcp://md"
login.ConnectTimeout = 10000000
def on_response(*event): pass
def on_order(*event): pass
client = rt.init(2, login, on_response=on_response)
probes = [weakref.ref(on_response), weakref.ref(on_order)]
assert client.set_order_event_callback(10003, on_order) == 0
assert client.set_order_event_callback(10002, lambda *e: None) == -10002800
del on_response, on_order
gc.collect()
print(all(p() is not None for p in probes), len(client._callables), rt.init(5, login) is client)
print(client.subscribe(["rb2501", "rb2505"], "SHFE"), client.usable_cash(), client.order(1))
"""
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
        result = subprocess.run([sys.executable, "-c", script, lib_path], cwd=str(tmp_path), env=env,
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["True 6 True", "0 0.0 None"]


class TestInfoCommand:
    def test_info_lists_version_exports_and_record_sizes(self, lib_path):
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR, QUORVANE_LIB=lib_path)
        result = subprocess.run([sys.executable, "-m", "quorvane", "info"], env=env,
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        out = result.stdout
        assert "runtime %s" % runtime.__version__ in out
        assert "exports: 44 declared, 0 missing" in out
        for name, size in [("CQVLoginField", 1016), ("CQVOrderField", 568), ("CQVPositionField", 208),
                           ("CQVMarketDataField", 704), ("CQVTransferAssetField", 504)]:
            assert any(line.split() == [name, str(size)] for line in out.splitlines()), name
