"""Headless Chromium or Firefox, the engine a parameter, driven over
WebDriver BiDi: JSON commands and events on one WebSocket. Firefox speaks it
itself on the port it is asked to open; Chromium through its driver,
chromedriver, which opens a classic WebDriver session that asks for the
WebSocket. Each program says on its output where it listens, so nothing
is guessed or polled. One page, at one device pixel a CSS pixel, is driven;
what only one engine can do (Chromium's freezing of a page, throttling of
its network and touch screen) goes through that engine's own extension,
cdp()."""
import base64
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import urllib.request

import websocket

import webrun

CHROMIUM = os.environ.get("CHROMIUM") or "/usr/bin/chromium"
CHROMEDRIVER = os.environ.get("CHROMEDRIVER") or "/usr/bin/chromedriver"
FIREFOX = os.environ.get("FIREFOX") or "/usr/bin/firefox-esr"
ENGINES = ("chromium", "firefox")
# Chromium as the tests want it: sRGB, no GPU, nothing fetched on its own,
# and sound only after a viewer's gesture, as on a desktop
CHROMIUMARGS = ["--headless=new", "--no-sandbox", "--force-color-profile=srgb", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--window-size=640,480", "--autoplay-policy=user-gesture-required"]
# Firefox's profile: quiet, playing sound without a gesture as its headless
# tests always have, and no panel opened over the page (taking its focus)
# when a download ends
FIREFOXPREFS = [("browser.shell.checkDefaultBrowser", False), ("datareporting.policy.dataSubmissionEnabled", False),
                ("toolkit.telemetry.reportingpolicy.firstRun", False),
                ("browser.startup.homepage_override.mstone", "ignore"), ("media.autoplay.default", 0),
                ("browser.download.alwaysOpenPanel", False)]


def listening(stream, patterns, what, proc):
    """The first match of each of patterns in the lines a program writes to
    stream, which is read on to its end meanwhile so that the program never
    blocks on a full pipe; and the list of those lines, kept for a
    failure's message."""
    said, found = [], threading.Event()
    match = {}

    def read():
        for line in stream:
            said.append(line)
            for p in patterns:
                m = p not in match and re.search(p, line)
                if m:
                    match[p] = m.group(1)
            if len(match) == len(patterns):
                found.set()
        found.set()
    threading.Thread(target=read, daemon=True).start()
    found.wait(Browser.WAIT)
    if len(match) < len(patterns):
        proc.kill()
        raise RuntimeError("%s never said where it listens (status %s): %s"
                           % (what, proc.poll(), "".join(said)[-3000:]))
    return [match[p] for p in patterns], said


class Browser(webrun.Waits):
    def __init__(self, engine, width=webrun.SCRW, height=webrun.SCRH, downloads=False):
        """engine's page of width x height CSS pixels; with downloads, what
        the page saves goes into the folder self.downloads, without
        asking."""
        assert engine in ENGINES, engine
        self.engine = engine
        self.profile = tempfile.mkdtemp(prefix="brindlewock-%s-" % engine)
        self.downloads = os.path.join(self.profile, "saved")
        self.id = 0
        self.events = []
        self.driver = self.proc = self.ws = None
        try:
            if engine == "chromium":
                self.startchromium()
            else:
                self.startfirefox()
            # the process whose tree is the browser (Chromium's has its
            # driver at its root)
            self.pid = (self.driver or self.proc).pid
            self.context = self.call("browsingContext.getTree", maxDepth=0)["contexts"][0]["context"]
            if downloads:
                os.mkdir(self.downloads)
                self.call("browser.setDownloadBehavior",
                          downloadBehavior={"type": "allowed", "destinationFolder": self.downloads})
                self.call("session.subscribe", events=["browsingContext.downloadEnd"])
            self.resize(width, height)
        except BaseException:
            self.close()
            raise

    def startchromium(self):
        # the driver on a port it picks and names
        self.driver = subprocess.Popen([CHROMEDRIVER, "--port=0"], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        (port,), self.said = listening(self.driver.stdout, [r"started successfully on port (\d+)"], "chromedriver",
                                       self.driver)
        self.http = "http://127.0.0.1:%s/session" % port
        caps = {"webSocketUrl": True, "goog:chromeOptions": {
            "binary": CHROMIUM, "args": CHROMIUMARGS + ["--user-data-dir=" + self.profile]}}
        asked = urllib.request.Request(self.http, json.dumps({"capabilities": {"alwaysMatch": caps}}).encode(),
                                       {"Content-Type": "application/json"})
        with urllib.request.urlopen(asked, timeout=self.WAIT) as r:
            session = json.load(r)["value"]
        self.http += "/" + session["sessionId"]
        self.ws = websocket.create_connection(session["capabilities"]["webSocketUrl"], timeout=self.WAIT + 30)

    def startfirefox(self):
        # Firefox speaks BiDi itself; but only a session of its classic
        # WebDriver, Marionette, focuses its window, without which the page
        # can't go fullscreen: one is begun and ended there first
        with open(os.path.join(self.profile, "user.js"), "w") as f:
            for pref, value in FIREFOXPREFS + [("marionette.port", 0)]:
                f.write("user_pref(%s, %s);\n" % (json.dumps(pref), json.dumps(value)))
        self.proc = subprocess.Popen(
            [FIREFOX, "-marionette", "--remote-debugging-port=0", "-headless", "-no-remote", "-profile", self.profile,
             "about:blank"], env=dict(os.environ, MOZ_HEADLESS="1"), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        (port, url), self.said = listening(self.proc.stdout, [r"Marionette\s+INFO\s+Listening on port (\d+)",
                                                              r"WebDriver BiDi listening on (ws://\S+)"],
                                           "Firefox", self.proc)
        # Marionette's messages: their length in decimal, a colon and a JSON
        # text; a command is [0, id, name, parameters], its answer [1, id,
        # error, result], the first message a greeting. The channel stays
        # open until the browser closes.
        self.marionette = socket.create_connection(("127.0.0.1", int(port)), timeout=self.WAIT)
        got = b""

        def message():
            nonlocal got
            while True:
                head, colon, rest = got.partition(b":")
                if colon and len(rest) >= int(head):
                    got = rest[int(head):]
                    return json.loads(rest[:int(head)])
                chunk = self.marionette.recv(1 << 16)
                if not chunk:
                    raise EOFError("Firefox closed its Marionette port")
                got += chunk
        message()
        for n, command in enumerate(["WebDriver:NewSession", "WebDriver:DeleteSession"]):
            body = json.dumps([0, n, command, {}])
            self.marionette.sendall(b"%d:%s" % (len(body), body.encode()))
            answer = message()
            if answer[2]:
                raise RuntimeError("Marionette's %s: %s" % (command, answer[2]))
        # Firefox turns away a WebSocket that says it comes from a page
        self.ws = websocket.create_connection(url + "/session", timeout=self.WAIT + 30, suppress_origin=True)
        self.call("session.new", capabilities={})

    def close(self):
        try:
            if self.ws and self.engine == "firefox":
                self.call("browser.close")
            elif self.driver and hasattr(self, "http"):
                urllib.request.urlopen(urllib.request.Request(self.http, method="DELETE"), timeout=self.WAIT).close()
        except Exception:
            pass
        for channel in (self.ws, getattr(self, "marionette", None)):
            if channel:
                channel.close()
        for proc in (self.proc, self.driver):
            if proc:
                try:
                    proc.terminate()
                    proc.wait(timeout=self.WAIT)
                except Exception:
                    proc.kill()
                    proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)

    def receive(self):
        return json.loads(self.ws.recv())

    def call(self, command, **params):
        """Sends a command and returns its result; events that come
        meanwhile are kept for event()."""
        self.id += 1
        want = self.id
        self.ws.send(json.dumps({"id": want, "method": command, "params": params}))
        while True:
            msg = self.receive()
            if msg.get("id") == want:
                if msg.get("type") == "error" or "error" in msg and msg["error"]:
                    raise RuntimeError("%s: %s: %s" % (command, msg.get("error"), msg.get("message")))
                return msg["result"]
            if "method" in msg:
                self.events.append(msg)

    def event(self, method):
        """Waits for the next event of the kind, dropping those before it."""
        while True:
            msg = self.events.pop(0) if self.events else self.receive()
            if msg.get("method") == method:
                return msg["params"]

    def cdp(self, method, **params):
        """A command of Chromium's own protocol to the page, through the
        extension its driver adds to BiDi."""
        assert self.engine == "chromium", method + " is Chromium's own"
        if not hasattr(self, "cdpsession"):
            self.cdpsession = self.call("goog:cdp.getSession", context=self.context)["session"]
        return self.call("goog:cdp.sendCommand", method=method, params=params, session=self.cdpsession)["result"]

    def evaluate(self, expression, **more):
        r = self.call("script.evaluate", expression=expression, target={"context": self.context}, **more)
        if r["type"] == "exception":
            raise RuntimeError(json.dumps(r["exceptionDetails"]))
        return r["result"]

    def js(self, expression):
        """The value of a JavaScript expression in the page, promises
        awaited, as JSON gives it."""
        got = self.evaluate("Promise.resolve(%s).then(v => JSON.stringify(v))" % expression, awaitPromise=True)
        return json.loads(got["value"]) if got["type"] == "string" else None

    def element(self, selector):
        """A reference to the page's element, for the commands that take one."""
        got = self.evaluate("document.querySelector(%s)" % json.dumps(selector), awaitPromise=False,
                            resultOwnership="root")
        assert got["type"] == "node", selector + " is not in the page"
        return {"sharedId": got["sharedId"]}

    def open(self, url, wait="complete"):
        """Loads the page, by default waiting for its load event."""
        self.call("browsingContext.navigate", context=self.context, url=url, wait=wait)

    def screenshot(self):
        """The page's pixels as RGB bytes."""
        return webrun.rgb(base64.b64decode(self.call("browsingContext.captureScreenshot", context=self.context)["data"]))

    def resize(self, width, height):
        self.call("browsingContext.setViewport", context=self.context, viewport={"width": width, "height": height},
                  devicePixelRatio=1)

    def act(self, kind, name, actions, parameters=None):
        """Performs one input source's actions: kind "pointer" or "key"."""
        source = {"type": kind, "id": name, "actions": actions}
        if parameters:
            source["parameters"] = parameters
        self.call("input.performActions", context=self.context, actions=[source])

    def click(self, selector):
        assert self.js("document.querySelector(%s).getClientRects().length > 0" % json.dumps(selector)), \
            selector + " is not shown"
        self.act("pointer", "mouse", [
            {"type": "pointerMove", "x": 0, "y": 0, "origin": {"type": "element", "element": self.element(selector)}},
            {"type": "pointerDown", "button": 0}, {"type": "pointerUp", "button": 0}], {"pointerType": "mouse"})

    def move(self, x, y):
        """Moves the mouse to (x, y) of the page."""
        self.act("pointer", "mouse", [{"type": "pointerMove", "x": x, "y": y}], {"pointerType": "mouse"})

    def key(self, kind, key):
        """A key's press (keyDown) or release (keyUp): Escape or a letter."""
        self.act("key", "keyboard", [{"type": kind, "value": "\ue00c" if key == "Escape" else key}])

    def upload(self, selector, path):
        """Sets a file on a file input, as a viewer's choice would."""
        self.call("input.setFiles", context=self.context, element=self.element(selector), files=[path])

    def tab(self):
        """Brings a new tab to the front; returns a function that closes it
        and brings the page's back."""
        tab = self.call("browsingContext.create", type="tab")["context"]

        def back():
            self.call("browsingContext.close", context=tab)
            self.call("browsingContext.activate", context=self.context)
        return back

    def saved(self, name):
        """The path of the file the page saves as name, once it is whole."""
        end = self.event("browsingContext.downloadEnd")
        assert end["status"] == "complete", end
        assert os.path.basename(end["filepath"]) == name, (end["filepath"], name)
        return end["filepath"]

    def preload(self, source):
        """Runs the script in every document the page opens from now on,
        before the document's own; returns what removes it."""
        script = self.call("script.addPreloadScript", functionDeclaration="() => {%s}" % source,
                           contexts=[self.context])["script"]
        return lambda: self.call("script.removePreloadScript", script=script)

