"""Trader and market-data sessions end to end: a host process inits a client against the stand-in,
runs the loop, and sees the start-up chain, its failures and its recovery as events."""
import json
import os
import subprocess
import sys

import pytest

HOST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "session_host.py")

STARTUP_CHAIN = [11103, 10001, 11101, 11104, 11402, 11202, 11204, 11205, 11207, 10002, 11102]


def run(scenario, tmp_path, lib_path, timeout=60):
    """Runs one scenario in a fresh host process (the runtime keeps its clients until the process
    ends) and returns what the host saw."""
    env = dict(os.environ, QUORVANE_LIB=lib_path)
    done = subprocess.run([sys.executable, HOST, scenario, str(tmp_path)], env=env, timeout=timeout,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def distinct_in_order(ids):
    out = []
    for event_id in ids:
        if not out or out[-1] != event_id:
            out.append(event_id)
    return out


class TestStartup:
    def test_chain_reaches_ready_and_the_market_data_login(self, tmp_path, lib_path):
        """The events of a start-up arrive in chain order, the first login of the day raises
        DayRolling before LoginTrader, and the loop callable turns once the client is ready."""
        seen = run("startup", tmp_path, lib_path)
        assert seen["ready"]
        ids = [e[0] for e in seen["events"]]
        assert distinct_in_order(ids) == STARTUP_CHAIN
        assert all(e[1] == 0 for e in seen["events"])
        assert seen["loops"] > 0
        assert seen["cash"] == pytest.approx(1_000_000)
        assert (tmp_path / "u1" / "TDFlow").is_dir() and (tmp_path / "u1" / "MDFlow").is_dir()

    def test_login_refused_with_3_stops_the_chain(self, tmp_path, lib_path):
        seen = run("login_refused", tmp_path, lib_path)
        assert [e[:2] for e in seen["events"]] == [[11103, 0], [11101, 3]]
        assert seen["requests"] == ["ReqAuthenticate", "ReqUserLogin"]
        assert seen["loops"] == 0

    def test_other_login_error_is_retried_after_the_gap(self, tmp_path, lib_path):
        seen = run("login_error_retried", tmp_path, lib_path)
        assert seen["ready"]
        logins = [e for e in seen["events"] if e[0] == 11101]
        assert [e[1] for e in logins] == [7, 0]
        assert seen["requests"].count("ReqUserLogin") == 2

    def test_disconnect_midway_drops_the_rest_and_restarts_from_authentication(self, tmp_path,
                                                                               lib_path):
        seen = run("disconnect_midway", tmp_path, lib_path)
        assert seen["ready"]
        ids = [e[0] for e in seen["events"]]
        cut = ids.index(11002)
        assert 11204 not in ids[:cut] and 10002 not in ids[:cut]
        assert ids[cut + 1] == 11103
        # A second login on the same trading day does not roll the day again.
        assert ids.count(10001) == 1
        requests = seen["requests"]
        second = requests.index("ReqAuthenticate", 1)
        assert requests[second:second + 3] == ["ReqAuthenticate", "ReqUserLogin",
                                               "ReqSettlementInfoConfirm"]

    def test_exit_stops_the_loop_callable(self, tmp_path, lib_path):
        seen = run("exit", tmp_path, lib_path)
        assert seen["before"] > 0
        assert seen["after"] == seen["stopped_at"]

    def test_connect_timeout_gives_up_about_on_time(self, tmp_path, lib_path):
        seen = run("connect_timeout", tmp_path, lib_path)
        assert seen["code"] == -1001500
        assert 0.9 < seen["seconds"] < 3.0


    def test_market_data_down_at_start_holds_up_nothing(self, tmp_path, lib_path):
        seen = run("market_data_down_at_start", tmp_path, lib_path)
        assert seen["ready"]
        assert seen["answered_while_down"], "a host query waited for the market-data front"
        assert seen["while_down"] == []
        assert seen["after"] == [[11102, 0]]
        assert seen["md_logins"] == 1
        assert seen["subscriptions"] == [["rb2605"]]

    def test_a_market_data_login_the_session_completes_itself_ends_the_chain_step(self, tmp_path,
                                                                                  lib_path):
        """The step's login answer is lost in a market-data drop; the session's own login on
        reconnection ends the step: no time-out, no third login, the host's task goes promptly."""
        seen = run("market_data_login_lost_in_a_drop", tmp_path, lib_path)
        assert seen["ready"] and seen["step_sent"] and seen["logged_in"]
        assert [e for e in seen["logins"] if e[1] != 0] == [], "no 11102 time-out or failure"
        assert [e[:2] for e in seen["logins"]] == [[11102, 0]]
        assert seen["answered"] and seen["seconds"] < 2.0, "the host task waited for the step"
        assert seen["md_logins"] == 2
        assert seen["subscriptions"] == [["rb2605"]]

    def test_a_logged_in_market_data_session_is_not_logged_in_again(self, tmp_path, lib_path):
        """A trader reconnection reruns the chain; its market-data login step finds the session
        logged in and completes at once without sending."""
        seen = run("trader_reconnect_keeps_the_market_data_login", tmp_path, lib_path)
        assert seen["ready_again"]
        assert seen["answered"] and seen["seconds"] < 2.0, "the host task waited for the step"
        assert [e[:2] for e in seen["logins"]] == [[11102, 0]]
        assert seen["md_logins"] == 1
        assert seen["subscriptions"] == [["rb2605"]]


class TestQueryTasks:
    def test_unknown_task_raises_invalid_task_once(self, tmp_path, lib_path):
        seen = run("invalid_task", tmp_path, lib_path)
        assert seen["events"] == [[11307, -1003200, "Error:Invalid TaskID.", False, True]]

    def test_refused_send_is_reported_and_retried(self, tmp_path, lib_path):
        seen = run("refused_send_retried", tmp_path, lib_path)
        assert seen["events"][0][:3] == [11406, -3, "Error:Fail To Sended."]
        assert seen["events"][-1][4] is True and seen["events"][-1][1] == 0
        assert seen["sent"] == 2

    def test_held_answer_times_out(self, tmp_path, lib_path):
        """The shortest time-out a client allows is ten seconds."""
        seen = run("time_out", tmp_path, lib_path)
        assert seen["events"] == [[11301, -1002300, "Error:Response Timeout.", False, True]]


class TestSubscriptions:
    def test_booked_before_login_and_sent_per_exchange_by_the_login(self, tmp_path, lib_path):
        seen = run("subscribe_before_login", tmp_path, lib_path)
        assert seen["results"] == [0, 0, 0]
        assert sorted(seen["subscriptions"]) == sorted([sorted(seen["shfe"]), sorted(seen["dce"])])

    def test_unknown_instrument_moves_to_its_exchange_or_is_dropped_at_login(self, tmp_path,
                                                                             lib_path):
        seen = run("unknown_moves_at_login", tmp_path, lib_path)
        assert seen["subscriptions"] == [[seen["known"]]]
