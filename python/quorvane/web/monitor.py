"""The monitor: one page and a WebSocket, served on a thread of their own, showing a running
client (through a MonitorFeed) or a run's journal (through a JournalFeed).

Threads. The server's thread ("quorvane-monitor") runs its own asyncio loop. Every PUSH_SECONDS it
asks the feed for one snapshot (whole charts every FULL_EVERY, else their last bars; a page that
connects starts from the next one, made whole) and hands it to each connected page: a page whose
previous update is still being sent gets only the newest state once that send completes, so a
slow or stuck browser drops updates and never delays the others, the feed or the runtime's
threads. The feed's snapshot() runs on this thread only. Actions
(cancel an order, the kill switch and its reset) carry the token printed with the page's address;
without it they are refused, and the client's verbs run on the server's thread.
"""
import asyncio
import json
import secrets
import socket
import sys
import threading
import time
from typing import Any, Callable, Dict, Optional, Set, Tuple, Union

from aiohttp import WSMsgType, web

from ..errors import ParameterError
from .monitor_page import monitor_page

__all__ = ["Monitor", "PUSH_SECONDS", "parse_address", "start_monitor"]

PUSH_SECONDS = 0.085    # about 12 updates a second
FULL_EVERY = 15         # every so many updates holds whole charts; the others their last bars
IDLE_SECONDS = 1.0      # with no page connected, the feed is taken this often (its bars go on)
SEND_SECONDS = 5.0      # a page that takes longer to take one update is closed

Address = Union[int, str, Tuple[str, int]]
Action = Callable[[Dict[str, Any]], Dict[str, Any]]


def parse_address(address: Address) -> Tuple[str, int]:
    """(host, port) of PORT, "PORT", "HOST:PORT" or (HOST, PORT); 127.0.0.1 unless told."""
    if isinstance(address, tuple):
        host, port_text = address[0], str(address[1])
    elif isinstance(address, int):
        host, port_text = "127.0.0.1", str(address)
    else:
        host, _, port_text = address.rpartition(":")
        host = host.strip("[]") or "127.0.0.1"
    try:
        port = int(port_text)
    except ValueError:
        raise ParameterError("monitor address %r: the port is not a number" % (address,))
    if not 0 <= port <= 65535:
        raise ParameterError("monitor address %r: port %d is out of range" % (address, port))
    return host, port


class Monitor:
    """Serves the page of `feed` (an object with snapshot()) on `address`; `act` carries out an
    action of a page holding the token (None: read-only). start() binds the port and starts the
    thread; ParameterError when the address cannot be bound."""

    def __init__(self, feed: Any, address: Address = 0, act: Optional[Action] = None,
                 title: str = "quorvane monitor") -> None:
        self.host, self.port = parse_address(address)
        self.feed = feed
        self.act = act
        self.title = title
        self.token = secrets.token_urlsafe(18)
        self.updates = 0
        self._sockets: Set[web.WebSocketResponse] = set()
        self._latest: Optional[str] = None
        self._want_full = True                 # a page connected: the next update is whole
        self._changed: Optional[asyncio.Condition] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._thread: Optional[threading.Thread] = None
        self._stopped: Optional[asyncio.Event] = None

    @property
    def url(self) -> str:
        return "http://%s:%d/?token=%s" % (self.host, self.port, self.token)

    def start(self, out: Any = None) -> "Monitor":
        listener = self._bind()
        self.port = listener.getsockname()[1]
        ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, args=(listener, ready),
                                        name="quorvane-monitor", daemon=True)
        self._thread.start()
        ready.wait(10.0)
        print("Monitor: %s" % self.url, file=out or sys.stdout, flush=True)
        return self

    def _bind(self) -> socket.socket:
        try:
            family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
            listener = socket.socket(family, socket.SOCK_STREAM)
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((self.host, self.port))
            listener.listen(16)
        except OSError as error:
            raise ParameterError("the monitor cannot listen on %s:%d: %s" % (
                self.host, self.port, error.strerror or error))
        listener.setblocking(False)
        return listener

    def stop(self) -> None:
        """Closes the pages and ends the thread."""
        loop, stopped = self._loop, self._stopped
        if loop is not None and stopped is not None and not loop.is_closed():
            loop.call_soon_threadsafe(stopped.set)
        if self._thread is not None:
            self._thread.join(5.0)

    # The server's thread ----------------------------------------------------------------------

    def _serve(self, listener: socket.socket, ready: threading.Event) -> None:
        loop = self._loop = asyncio.new_event_loop()
        try:
            loop.run_until_complete(self._main(listener, ready))
        finally:
            loop.close()

    async def _main(self, listener: socket.socket, ready: threading.Event) -> None:
        self._changed = asyncio.Condition()
        self._stopped = asyncio.Event()
        app = web.Application()
        app.router.add_get("/", self._page)
        app.router.add_get("/ws", self._socket)
        app.router.add_get("/favicon.ico", self._no_icon)
        app.router.add_post("/action", self._post)
        runner = web.AppRunner(app, access_log=None, handle_signals=False)
        await runner.setup()
        await web.SockSite(runner, listener).start()
        ready.set()
        pushing = asyncio.ensure_future(self._push())
        await self._stopped.wait()
        pushing.cancel()
        for page in list(self._sockets):
            await page.close()
        await runner.cleanup()

    async def _push(self) -> None:
        assert self._changed is not None
        failed = ""
        taken = 0.0
        while True:
            await asyncio.sleep(PUSH_SECONDS)
            now = time.monotonic()
            if not self._sockets and now - taken < IDLE_SECONDS:
                continue
            taken = now
            try:
                full = self._want_full or self.updates % FULL_EVERY == 0
                self._want_full = False
                state = self.feed.snapshot(full)
                self._latest = json.dumps({"type": "state", "seq": self.updates, "state": state},
                                          separators=(",", ":"), default=str)
                self.updates += 1
            except Exception as error:  # a bad snapshot must not end the server
                if str(error) != failed:
                    failed = str(error)
                    print("quorvane monitor: %s" % error, file=sys.stderr)
            async with self._changed:
                self._changed.notify_all()

    def _authorised(self, token: Any) -> bool:
        return isinstance(token, str) and secrets.compare_digest(token, self.token)

    def _do(self, message: Dict[str, Any]) -> Tuple[int, Dict[str, Any]]:
        if not self._authorised(message.get("token")):
            return 403, {"ok": False, "error": "refused: the action needs the page's token"}
        if self.act is None:
            return 403, {"ok": False, "error": "refused: this monitor is read-only"}
        try:
            return 200, self.act(message)
        except (KeyError, ValueError, TypeError) as error:
            return 400, {"ok": False, "error": "bad action: %s" % error}
        except Exception as error:  # the verb failed: told to the page, the server goes on
            return 500, {"ok": False, "error": "%s failed: %s" % (message.get("action"), error)}

    async def _page(self, request: web.Request) -> web.Response:
        return web.Response(text=monitor_page(self.title), content_type="text/html")

    async def _no_icon(self, request: web.Request) -> web.Response:
        return web.Response(status=204)

    async def _post(self, request: web.Request) -> web.Response:
        try:
            message = await request.json()
        except ValueError:
            message = None
        if not isinstance(message, dict):
            return web.json_response({"ok": False, "error": "bad action: not a JSON object"},
                                     status=400)
        status, result = self._do(message)
        return web.json_response(result, status=status)

    async def _socket(self, request: web.Request) -> web.WebSocketResponse:
        page = web.WebSocketResponse(heartbeat=20.0)
        await page.prepare(request)
        self._sockets.add(page)
        sending = asyncio.ensure_future(self._send_to(page))
        try:
            async for message in page:
                if message.type != WSMsgType.TEXT:
                    continue
                try:
                    action = json.loads(message.data)
                except ValueError:
                    action = None
                if not isinstance(action, dict):
                    continue
                _, result = self._do(action)
                result["type"] = "result"
                result["action"] = action.get("action")
                await page.send_str(json.dumps(result, default=str))
        finally:
            sending.cancel()
            self._sockets.discard(page)
        return page

    async def _send_to(self, page: web.WebSocketResponse) -> None:
        assert self._changed is not None
        sent = self._latest      # a page starts from the next update, a whole one
        self._want_full = True
        while not page.closed:
            async with self._changed:
                await self._changed.wait_for(lambda: self._latest is not sent)
            sent = self._latest
            if sent is None:
                continue
            try:
                await asyncio.wait_for(page.send_str(sent), SEND_SECONDS)
            except (asyncio.TimeoutError, ConnectionError, RuntimeError):
                await page.close()
                return


def client_actions(client: Any) -> Action:
    """The actions a page holding the token may take on `client`."""

    def act(message: Dict[str, Any]) -> Dict[str, Any]:
        action = message.get("action")
        if action == "cancel":
            order_id = int(message["order_id"])
            code = client.cancel(order_id)
            return {"ok": code == 0, "order_id": order_id, "code": code}
        if action == "kill":
            client.kill("the monitor's kill switch")
            return {"ok": True}
        if action == "reset":
            client.reset_kill()
            return {"ok": True}
        raise ValueError("unknown action %r" % (action,))

    return act


def start_monitor(client: Any, address: Address, out: Any = None) -> Monitor:
    """Attaches a MonitorFeed to `client` (before its start()) and serves its page."""
    from .monitor_feed import MonitorFeed
    feed = MonitorFeed(client)
    client.add_observer(feed)
    return Monitor(feed, address, client_actions(client)).start(out)
