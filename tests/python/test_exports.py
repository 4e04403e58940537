"""The 44 exports through ctypes, as a host calls them: the symbol table, null handles, process-wide
setters, start-up validation, and a client's setters (against the stand-in CTP libraries, in a
child process so that its client registry stays its own)."""
import ctypes
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

from quorvane import records, runtime

NULL_HANDLE = -1002000
NOT_CALLABLE = -10002900
PYTHON_DIR = str(pathlib.Path(runtime.__file__).resolve().parents[1])


@pytest.fixture(scope="module")
def lib(lib_path):
    return runtime.load(lib_path)


def login_record(user_type, user_id=b"u1", md_front=b"tcp://md", base_path=b"flows"):
    login = records.CQVLoginField()
    login.UserType = user_type
    login.UserID = user_id
    login.MdFront = md_front
    login.BasePath = base_path
    login.BrokerID = b"b"
    login.AppID = b"a"
    login.AuthCode = b"c"
    return login


def run_child(lib_path, tmp_path, body, timeout=60):
    """Runs `body` in a fresh interpreter with `lib` loaded; returns its standard output."""
    script = textwrap.dedent("""\
        import ctypes, sys
        from quorvane import records, runtime
        lib = runtime.load(sys.argv[1])
        """) + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    result = subprocess.run([sys.executable, "-c", script, lib_path], cwd=str(tmp_path), env=env,
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout


class TestSymbolTable:
    def test_only_the_44_functions_and_the_print_helper_are_exported(self, lib_path):
        """The dynamic symbol table holds exactly the exports and CQVPrintHelper's members."""
        nm = shutil.which("nm")
        if nm is None:
            pytest.skip("nm is not installed")
        out = subprocess.run([nm, "-D", "--defined-only", "--demangle", lib_path],
                             capture_output=True, text=True, check=True).stdout
        names = [line.split(None, 2)[2] for line in out.splitlines() if len(line.split(None, 2)) == 3]
        functions = sorted(n for n in names if not n.startswith("CQVPrintHelper::"))
        assert functions == sorted(runtime.EXPORTS)
        assert len(functions) == 44
        assert any(n.startswith("CQVPrintHelper::toText(CQVOrderField const*") for n in names)


# Every export that takes a handle, with arguments after the handle and its null-handle result.
NULL_CASES = [
    ("exitX", [], None),
    ("setOrderEventCallback", [10003, print], NULL_HANDLE),
    ("setSnapDataEventCallback", [10010, print], NULL_HANDLE),
    ("setDetailDataEventCallback", [10012, print], NULL_HANDLE),
    ("addTask", [11201, None, 1, 0, 0, 0], NULL_HANDLE),
    ("queryBankAccountCash", [b"p", b"1", b"q"], NULL_HANDLE),
    ("buy", [b"rb2501", 1, b"0", 1.0, 0, b"SHFE", 0], None),
    ("sell", [b"rb2501", 1, b"0", 1.0, 0, b"SHFE", 0], None),
    ("buyAmount", [b"rb2501", 1e4, b"0", 1.0, 0, None, 0], None),
    ("sellAmount", [b"rb2501", 1e4, b"0", 1.0, 0, None, 0], None),
    ("buyRatio", [b"rb2501", 0.5, b"0", 1.0, 0, None, 0], None),
    ("sellRatio", [b"rb2501", 0.5, b"0", 1.0, 0, None, 0], None),
    ("balanceToLongValue", [b"rb2501", 1e4, b"0", 1.0, 0, None], None),
    ("balanceToShortValue", [b"rb2501", 1e4, b"0", 1.0, 0, None], None),
    ("balanceToLongVolume", [b"rb2501", 2, b"0", 1.0, 0, None], None),
    ("balanceToShortVolume", [b"rb2501", 2, b"0", 1.0, 0, None], None),
    ("buyOpen", [b"rb2501", 1, b"0", 1.0, 0, None, 0], None),
    ("sellOpen", [b"rb2501", 1, b"0", 1.0, 0, None, 0, 0], None),
    ("buyClose", [b"rb2501", 1, b"0", 1.0, 0, None, 0, b"1", 0], None),
    ("sellClose", [b"rb2501", 1, b"0", 1.0, 0, None, 0, b"1", 0], None),
    ("closeLong", [b"rb2501", 1, b"0", 1.0, 0, None, 0], None),
    ("closeShort", [b"rb2501", 1, b"0", 1.0, 0, None, 0], None),
    ("cancelOrder", [b"SHFE", b"rb2501", b"1", 1, 0, 0], NULL_HANDLE),
    ("cancelOrderAll", [], NULL_HANDLE),
    ("cancelOrderByExchangeID", [b"SHFE"], NULL_HANDLE),
    ("cancelOrderByOrderID", [1], NULL_HANDLE),
    ("cancelOrderByStandardID", [b"rb2501", None], NULL_HANDLE),
    ("getOrder", [1], None),
    ("getPosition", [b"rb2501", None], None),
    ("getUsableCash", [], -1.0),
    ("subscribe", [None, 0, None, 48], NULL_HANDLE),
    ("subscribeOne", [b"rb2501", None], NULL_HANDLE),
    ("unsubscribe", [None, 0, None, 48], NULL_HANDLE),
    ("unsubscribeOne", [b"rb2501", None], NULL_HANDLE),
    ("transferCash", [b"0", 100.0, b"p", b"1", b"q"], None),
    ("transferPosition", [b"0", b"rb2501", b"SHFE", 1, b"p", b"t"], None),
    ("updatePassword", [b"0", b"old", b"new"], NULL_HANDLE),
]


class TestNullHandle:
    def test_every_handle_taking_export_is_covered(self):
        no_handle = {"init", "getInitError", "loop", "setRunMode", "setTimeAnchor", "getTimeElapse",
                     "setEventTextProcessor"}
        assert {name for name, _, _ in NULL_CASES} == set(runtime.EXPORTS) - no_handle

    @pytest.mark.parametrize("name,args,expected", NULL_CASES, ids=[c[0] for c in NULL_CASES])
    def test_null_handle_gives_the_documented_result(self, lib, name, args, expected):
        """A null handle returns -1002000, null (None), or -1 for getUsableCash."""
        assert getattr(lib, name)(None, *args) == expected


class TestProcessExports:
    @pytest.mark.parametrize("mode", [0, 48, 49, 0x130])
    def test_run_mode_accepts_any_value(self, lib, mode):
        assert lib.setRunMode(mode) == 0
        lib.setRunMode(48)

    def test_elapsed_time_since_an_anchor_is_small_and_not_negative(self, lib):
        elapsed = lib.getTimeElapse(lib.setTimeAnchor())
        assert 0 <= elapsed < 1000000

    def test_text_processor_refuses_what_it_cannot_call(self, lib):
        assert lib.setEventTextProcessor(None) == NOT_CALLABLE
        assert lib.setEventTextProcessor(42) == NOT_CALLABLE

    def test_loop_without_clients_returns_at_once(self, lib_path, tmp_path):
        out = run_child(lib_path, tmp_path, """
            lib.loop()
            print("returned")
            """, timeout=20)
        assert out.strip() == "returned"


class TestInit:
    def test_null_record_and_index_above_99(self, lib):
        assert lib.init(0, None, None, None, None, None, None) is None
        assert lib.getInitError() == -1000300
        login = login_record(20003)
        assert lib.init(100, ctypes.byref(login), None, None, None, None, None) is None
        assert lib.getInitError() == -1000200

    @pytest.mark.parametrize("change,code", [
        (dict(UserID=b""), -1000500),
        (dict(UserType=30001), -1000700),
        (dict(MdFront=b""), -1000900),
        (dict(UserType=10001, BrokerID=b""), -1001100),
        (dict(UserType=10001, AppID=b""), -1001200),
        (dict(UserType=10001, AuthCode=b""), -1001300),
    ], ids=["user", "type", "mdfront", "broker", "app", "auth"])
    def test_validation_codes(self, lib, tmp_path, monkeypatch, change, code):
        monkeypatch.chdir(tmp_path)
        login = login_record(20003)
        for field, value in change.items():
            setattr(login, field, value)
        assert lib.init(1, ctypes.byref(login), None, None, None, None, None) is None
        assert lib.getInitError() == code
        assert not (tmp_path / "flows").exists()

    def test_user_type_without_clients_fails_after_making_the_flow_directories(self, lib, tmp_path,
                                                                             monkeypatch):
        monkeypatch.chdir(tmp_path)
        login = login_record(10002, base_path=b"a\\b//c")
        login.BrokerID = b""
        assert lib.init(99, ctypes.byref(login), None, None, None, None, None) is None
        assert lib.getInitError() == -1000700
        assert (tmp_path / "a" / "b" / "c" / "u1" / "TDFlow").is_dir()
        assert (tmp_path / "a" / "b" / "c" / "u1" / "MDFlow").is_dir()


class TestClient:
    def test_setters_check_ids_and_refuse_what_they_cannot_call(self, lib_path, tmp_path):
        """Against the stand-in libraries: a client of user type 20001 with its market data."""
        out = run_child(lib_path, tmp_path, """
            login = records.CQVLoginField()
            login.UserType = 20001
            login.UserID = b"u1"
            login.MdFront = b"tcp://md"
            login.ConnectTimeout = 10000000
            h = lib.init(3, ctypes.byref(login), None, None, None, None, None)
            assert h, lib.getInitError()
            login.UserID = b"other"
            print(lib.init(4, ctypes.byref(login), None, None, None, None, None) == h, lib.getInitError())
            results = [
                lib.setOrderEventCallback(h, 10002, print),
                lib.setOrderEventCallback(h, 10003, print),
                lib.setOrderEventCallback(h, 10009, print),
                lib.setOrderEventCallback(h, 10010, print),
                lib.setOrderEventCallback(h, 10004, None),
                lib.setOrderEventCallback(h, 10004, 5),
                lib.setSnapDataEventCallback(h, 10011, print),
                lib.setSnapDataEventCallback(h, 10012, print),
                lib.setDetailDataEventCallback(h, 10012, print),
                lib.setDetailDataEventCallback(h, 10016, print),
                lib.getUsableCash(h),
                lib.getOrder(h, 3000100),
                lib.transferPosition(h, b"0", b"rb2501", b"SHFE", 1, b"p", b"t"),
            ]
            print(results)
            lib.exitX(None)
            """)
        registered_again, results = out.strip().splitlines()
        assert registered_again == "True 0"  # same user type: the first client, error 0
        assert results == str([-10002800, 0, 0, -10002800, NOT_CALLABLE, NOT_CALLABLE,
                               0, -10003000, 0, -10003100, 0.0, None, None])

    def test_event_text_goes_to_print_until_a_processor_is_set(self, lib_path, tmp_path):
        """Events without a callable become text: first through the host's print (the child's
        standard output), then, once one is registered, through the text processor."""
        out = run_child(lib_path, tmp_path, """
            import os, threading, time
            login = records.CQVLoginField()
            login.UserType = 20001
            login.UserID = b"u1"
            login.MdFront = b"tcp://md"
            login.ConnectTimeout = 10000000
            login.TaskExecuteGap = 0
            h = lib.init(1, ctypes.byref(login), None, None, None, None, None)
            assert h, lib.getInitError()
            threading.Thread(target=lib.loop, daemon=True).start()
            time.sleep(1.0)
            got = []
            processor = got.append
            print("SET", lib.setEventTextProcessor(processor), flush=True)
            lib.addTask(h, 99999, None, 1, 0, 0, 0)
            deadline = time.time() + 10
            while not any("EventID" in text for text in got) and time.time() < deadline:
                time.sleep(0.05)
            print("GOT", any("EventID" in text for text in got), flush=True)
            os._exit(0)
            """)
        before, marker, after = out.partition("SET 0")
        assert marker, out[-500:]
        assert "EventID" in before
        assert after.strip().splitlines()[-1] == "GOT True"
