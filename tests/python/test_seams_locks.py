"""Host callables that call back into the runtime from inside the task queue's own events, and the
queue's order after a trader outage: each scenario runs in a fresh host process against the
stand-in (run as a script, this file is that host) and reports what the host saw."""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

READY = 10002
QRY_EXCHANGE = 11406
QRY_INVESTOR = 11301
LOGIN_MD = 11102
NOT_LOGGED_IN = 6


def run(scenario, tmp_path, lib_path, timeout=90):
    env = dict(os.environ, QUORVANE_LIB=lib_path)
    done = subprocess.run([sys.executable, os.path.abspath(__file__), scenario, str(tmp_path)],
                          env=env, timeout=timeout, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def answers(seen, event_id, error_id=0):
    return [e for e in seen["events"] if e[0] == event_id and e[1] == error_id]


class TestLockReentryFromCallables:
    """A response callable re-queues a task from inside an event the worker raised: the event must
    reach the host with no queue lock held, so the new task goes out and is answered."""

    def test_requeue_after_a_send_refused_by_flow_control(self, tmp_path, lib_path):
        seen = run("requeue_on_refused_send", tmp_path, lib_path)
        assert answers(seen, QRY_EXCHANGE, -3), "the refusal reached the host"
        assert answers(seen, QRY_EXCHANGE), "the re-queued query was answered"
        assert seen["after"], "a later query still runs"

    def test_requeue_after_an_invalid_task_id(self, tmp_path, lib_path):
        seen = run("requeue_on_invalid_task", tmp_path, lib_path)
        assert answers(seen, 11307, -1003200)
        assert answers(seen, QRY_EXCHANGE)

    def test_requeue_after_a_response_time_out(self, tmp_path, lib_path):
        seen = run("requeue_on_time_out", tmp_path, lib_path)
        assert answers(seen, QRY_INVESTOR, -1002300)
        assert answers(seen, QRY_INVESTOR), "the re-queued query was answered"

    def test_queue_from_a_refused_market_data_login(self, tmp_path, lib_path):
        seen = run("queue_on_md_login_refused", tmp_path, lib_path)
        assert answers(seen, LOGIN_MD, -1)
        assert answers(seen, LOGIN_MD), "the login was retried and answered"
        assert answers(seen, QRY_EXCHANGE)


class TestQueueAfterAnOutage:
    def test_startup_chain_runs_before_tasks_queued_while_the_front_was_down(self, tmp_path,
                                                                             lib_path):
        """Host tasks queued during an outage (one of them retried while it fails) wait for the
        session to be ready again: the reconnect authenticates first, and no task is refused for
        not being logged in."""
        seen = run("tasks_queued_during_outage", tmp_path, lib_path)
        assert seen["ready_again"]
        assert seen["after_restore"][0] == "ReqAuthenticate"
        assert not [e for e in seen["events"] if e[1] == NOT_LOGGED_IN]
        ids = [e[0] for e in seen["events"]]
        last_ready = len(ids) - 1 - ids[::-1].index(READY)
        assert QRY_EXCHANGE in ids[last_ready:] and QRY_INVESTOR in ids[last_ready:]


# --- The host process -----------------------------------------------------------------------------

def _host_class():
    from session_host import Host, has

    class ReentrantHost(Host):
        """Records every response event; `react(event)` runs inside the callable, after the event
        was recorded and with no Python lock held."""

        react = None

        def on_response(self, event_id, record, is_last, user, error_id, message):
            Host.on_response(self, event_id, record, is_last, user, error_id, message)
            if self.react is not None:
                self.react(event_id, error_id)

        def add_task(self, task_id, retry=0, gap=0):
            return self.rt.lib.addTask(self.client.handle, task_id, None, 1, retry, gap, 0)

        def answered(self, event_id, error_id=0, count=1, timeout=8.0):
            return self.wait_for(
                lambda events: sum(1 for e in events if e[0] == event_id and e[1] == error_id) >= count,
                timeout)

    return ReentrantHost, has


def scenario_requeue_on_refused_send(host):
    def react(event_id, error_id):
        if event_id == QRY_EXCHANGE and error_id == -3:
            host.add_task(QRY_EXCHANGE)
    host.react = react
    host.start()
    host.wait_for(host.has(READY))
    host.sim.refuse_requests("ReqQryExchange", -3, 1)
    host.add_task(QRY_EXCHANGE)
    host.answered(QRY_EXCHANGE)
    host.add_task(QRY_INVESTOR)
    return {"events": host.events, "after": host.answered(QRY_INVESTOR)}


def scenario_requeue_on_invalid_task(host):
    def react(event_id, error_id):
        if event_id == 11307:
            host.add_task(QRY_EXCHANGE)
    host.react = react
    host.start()
    host.wait_for(host.has(READY))
    host.add_task(11307)
    host.answered(QRY_EXCHANGE)
    return {"events": host.events}


def scenario_requeue_on_time_out(host):
    def react(event_id, error_id):
        if event_id == QRY_INVESTOR and error_id == -1002300:
            host.add_task(QRY_INVESTOR)
    host.react = react
    host.start()
    host.wait_for(host.has(READY))
    host.sim.hold_answers("ReqQryInvestor", 1)
    host.add_task(QRY_INVESTOR)
    host.answered(QRY_INVESTOR, timeout=20.0)
    return {"events": host.events}


def scenario_queue_on_md_login_refused(host):
    def react(event_id, error_id):
        if event_id == LOGIN_MD and error_id == -1:
            host.add_task(QRY_EXCHANGE)
    host.react = react
    host.sim.refuse_requests("M:ReqUserLogin", -1, 1)
    host.start()
    host.answered(LOGIN_MD)
    host.answered(QRY_EXCHANGE)
    return {"events": host.events}


def scenario_tasks_queued_during_outage(host):
    host.start()
    host.wait_for(host.has(READY))
    host.sim.drop_front("T", 4097, 0)
    host.wait_for(host.has(11002))
    time.sleep(0.05)
    host.add_task(QRY_EXCHANGE, retry=1)
    host.add_task(QRY_INVESTOR)
    host.sim.clear_requests()
    host.sim.restore_front("T")
    ready_again = host.wait_for(host.has(READY, 2), timeout=8.0)
    host.answered(QRY_INVESTOR, timeout=3.0)
    return {"events": host.events, "ready_again": ready_again,
            "after_restore": host.requests()}


def main():
    name, workdir = sys.argv[1], sys.argv[2]
    host_class, has = _host_class()
    host = host_class(workdir)
    host.has = has
    result = globals()["scenario_" + name](host)
    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
