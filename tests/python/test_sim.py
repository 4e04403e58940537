"""The stand-in libraries' control surface, driven from Python as a test host would."""
import os
import pathlib
import subprocess
import sys

import pytest

from quorvane.sim import Sim, SimError, find_library

ROOT = pathlib.Path(__file__).resolve().parents[2]

SCENARIO = {
    "tradingDay": "20260210",
    "instruments": [
        {"instrumentId": "rb2605", "exchangeId": "SHFE", "multiplier": 10, "priceTick": 1,
         "preSettlementPrice": 3500},
    ],
    "users": [{"userId": "u1", "password": "pw"}],
}


@pytest.fixture()
def sim():
    path = find_library()
    if not os.path.exists(path):
        pytest.fail("stand-in library not built: %s" % path)
    s = Sim(path)
    s.reset()
    yield s
    s.reset()


class TestFindLibrary:
    def test_lies_next_to_the_runtime(self, monkeypatch):
        """Without an explicit path the control library is looked up beside QUORVANE_LIB."""
        monkeypatch.delenv("QUORVANE_SIM_LIB", raising=False)
        monkeypatch.setenv("QUORVANE_LIB", "/opt/q/lib/libQuorvaneForPython38.so")
        assert find_library() == "/opt/q/lib/libquorvanesim.so"
        assert find_library("/x/libquorvanesim.so") == "/x/libquorvanesim.so"


class TestScenario:
    def test_loaded_scenario_sets_the_trading_day_and_reset_restores_the_built_in(self, sim):
        sim.load_scenario(SCENARIO)
        assert sim.trading_day() == "20260210"
        sim.reset()
        assert len(sim.trading_day()) == 8 and sim.trading_day().isdigit()

    @pytest.mark.parametrize("scenario, mentions", [
        ("{not json", "parse"),
        ({"instruments": [{"instrumentId": "x", "exchangeId": "NYMEX", "preSettlementPrice": 1}]}, "NYMEX"),
        ({"positions": [{"userId": "u1", "instrumentId": "missing"}]}, "missing"),
    ], ids=["malformed", "unknown-exchange", "unknown-instrument"])
    def test_damaged_scenarios_are_refused_with_a_reason(self, sim, scenario, mentions):
        sim.load_scenario(SCENARIO)
        with pytest.raises(SimError) as caught:
            sim.load_scenario(scenario)
        assert mentions in str(caught.value)
        assert sim.trading_day() == "20260210"

    def test_scenario_file(self, sim, tmp_path):
        path = tmp_path / "scenario.json"
        path.write_text('{"tradingDay": "20260311"}')
        sim.load_scenario_file(path)
        assert sim.trading_day() == "20260311"
        with pytest.raises(SimError):
            sim.load_scenario_file(tmp_path / "absent.json")


    def test_environment_names_the_scenario_of_a_new_process(self, sim, tmp_path):
        """QVSIM_SCENARIO is read when the stand-in first starts in a process."""
        path = tmp_path / "scenario.json"
        path.write_text('{"tradingDay": "20260412"}')
        env = dict(os.environ, QVSIM_SCENARIO=str(path), PYTHONPATH=str(ROOT / "python"))
        script = "from quorvane.sim import Sim; print(Sim(%r).trading_day())" % find_library()
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        assert out.stdout.strip() == "20260412"


class TestControls:
    def test_invalid_settings_raise(self, sim):
        with pytest.raises(SimError):
            sim.set_latency(-1)
        with pytest.raises(SimError):
            sim.set_flow_control(-1, 0)
        with pytest.raises(SimError):
            sim.hold_answers("ReqQryOrder", 0)
        with pytest.raises(ValueError):
            sim.drop_front("X", 1)

    def test_delivery_needs_a_known_callback_and_the_right_record_size(self, sim):
        with pytest.raises(SimError) as unknown:
            sim.deliver("T", "OnNothing")
        assert "OnNothing" in str(unknown.value)
        with pytest.raises(SimError):
            sim.deliver("T", "OnRtnOrder", b"\0" * 3)
        with pytest.raises(SimError):
            sim.push_depth(b"\0" * 5)
        assert sim.deliver("M", "OnFrontConnected") == sim.session_count("M")

    def test_request_log_starts_empty_after_clearing(self, sim):
        sim.clear_requests()
        assert sim.requests() == []


class TestReplayFile:
    def test_an_opened_file_lists_its_instruments_and_sets_the_day(self, sim, tmp_path):
        """The host learns what a file holds from the loader, and the exchange opens on its day."""
        sim.load_scenario(SCENARIO)
        ticks = tmp_path / "ticks.csv"
        ticks.write_text("TradingDay,InstrumentID,ExchangeID,UpdateTime,LastPrice\n"
                         "20260302,rb2605,,09:00:00,3500\n20260302,rb2605,SHFE,09:00:01,3501\n")
        assert sim.replay_open(ticks) == 2
        assert sim.replay_instruments() == [("rb2605", "SHFE", 2)]
        assert sim.trading_day() == "20260302"
        sim.replay_play(0.0)
        assert sim.replay_wait(10.0)
        assert sim.replay_progress() == (2, 2)

    def test_a_bad_row_is_refused_naming_the_file_line_and_field(self, sim, tmp_path):
        sim.load_scenario(SCENARIO)
        ticks = tmp_path / "ticks.csv"
        ticks.write_text("InstrumentID,ExchangeID,LastPrice\nrb2605,SHFE,3500\nrb2605,DCE,3501\n")
        with pytest.raises(SimError) as caught:
            sim.replay_open(ticks)
        assert "%s:3: field ExchangeID" % ticks in str(caught.value)
        with pytest.raises(SimError):
            sim.replay_play(0.0)

    def test_what_a_recorder_wrote_is_counted_by_kind_unless_strict_refuses_it(self, sim,
                                                                              tmp_path):
        """A price without a value and a snapshot pushed again load, counted; a skipped
        snapshot's prices are not. Strict, the first of them refuses the file."""
        sim.load_scenario(SCENARIO)
        ticks = tmp_path / "recorded.csv"
        ticks.write_text("InstrumentID,UpdateTime,LastPrice,SettlementPrice\n"
                         "rb2605,09:00:01,3500,N/A\nrb2605,09:00:00,3499,\n"
                         "rb2605,09:00:02,nan,3500\n")
        assert sim.replay_open(ticks) == 2
        assert sim.replay_normalised() == {"stale_snapshots": 1, "no_value_prices": 2, "days_corrected": 0,
                                          "outside_sessions": 0}
        sim.set_replay_strict(True)
        with pytest.raises(SimError, match="recorded.csv:2: field SettlementPrice: 'N/A' is not a "
                                           "price"):
            sim.replay_open(ticks)
