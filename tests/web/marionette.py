"""Headless Firefox driven over Marionette, its own protocol on a TCP port of
127.0.0.1: each message is its length in decimal, a colon and a JSON text;
a command is [0, id, name, parameters] and its answer [1, id, error, result].
A fresh profile asks for port 0, and Firefox writes the port it took into
the profile as MarionetteActivePort."""
import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

import webrun

FIREFOX = os.environ.get("FIREFOX") or "/usr/bin/firefox-esr"
WAIT = 60          # s: the longest any step may take


class Firefox(webrun.Waits):
    def __init__(self, width, height, downloads=False):
        """Firefox with a page of width x height CSS pixels; with downloads,
        what the page saves goes into the folder self.downloads, without
        asking."""
        self.profile = tempfile.mkdtemp(prefix="brindlewock-firefox-")
        self.downloads = os.path.join(self.profile, "saved")
        prefs = [("marionette.port", 0), ("browser.shell.checkDefaultBrowser", False),
                 ("datareporting.policy.dataSubmissionEnabled", False),
                 ("toolkit.telemetry.reportingpolicy.firstRun", False),
                 ("browser.startup.homepage_override.mstone", "ignore"),
                 ("media.autoplay.default", 0)]
        if downloads:
            os.mkdir(self.downloads)
            prefs += [("browser.download.dir", self.downloads), ("browser.download.folderList", 2),
                      ("browser.download.useDownloadDir", True),
                      ("browser.download.always_ask_before_handling_new_types", False),
                      ("browser.download.alwaysOpenPanel", False)]
        with open(os.path.join(self.profile, "user.js"), "w") as f:
            for pref, value in prefs:
                f.write("user_pref(%s, %s);\n" % (json.dumps(pref), json.dumps(value)))
        env = dict(os.environ, MOZ_HEADLESS="1")
        self.said = os.path.join(self.profile, "said.log")   # what Firefox printed, for a failure's message
        with open(self.said, "wb") as said:
            self.proc = subprocess.Popen(
                [FIREFOX, "-marionette", "-headless", "-no-remote", "-profile", self.profile, "about:blank"],
                env=env, stdin=subprocess.DEVNULL, stdout=said, stderr=said)
        portfile = os.path.join(self.profile, "MarionetteActivePort")
        deadline = time.monotonic() + WAIT
        self.sock = None
        while not self.sock:
            # Firefox tells its port only by this file: looked at, and the
            # port tried, until both are there
            try:
                with open(portfile) as f:
                    self.sock = socket.create_connection(("127.0.0.1", int(f.read())), timeout=WAIT)
            except (OSError, ValueError):
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    with open(self.said, errors="replace") as f:
                        said = f.read()[-3000:]
                    self.close()
                    raise TimeoutError("Firefox (status %s) never opened its Marionette port: %s"
                                       % (self.proc.returncode, said))
                time.sleep(0.1)
        self.buf = b""
        self.id = 0
        self.receive()  # the greeting: the protocol's level
        self.call("WebDriver:NewSession", capabilities={"alwaysMatch": {"timeouts": {"script": WAIT * 1000}}})
        self.call("WebDriver:SetTimeouts", script=(WAIT + 10) * 1000)
        # the window as large as leaves the page width x height CSS pixels;
        # what its own bars take differs between versions and is known only
        # once the window has a size, so the size is set until the page has
        # the room it asked for
        for _ in range(5):
            inner = self.js("[innerWidth, innerHeight]")
            if inner == [width, height]:
                break
            rect = self.call("WebDriver:GetWindowRect")
            rect = rect.get("value", rect)
            self.call("WebDriver:SetWindowRect", width=rect["width"] + width - inner[0],
                      height=rect["height"] + height - inner[1])
        else:
            self.close()
            raise RuntimeError("Firefox's page stays %d x %d, not %d x %d" % (*inner, width, height))

    def close(self):
        try:
            self.call("Marionette:Quit", flags=["eForceQuit"])
            self.proc.wait(timeout=WAIT)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        if self.sock:
            self.sock.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def receive(self):
        while True:
            head, colon, rest = self.buf.partition(b":")
            if colon and len(rest) >= int(head):
                n = int(head)
                self.buf = rest[n:]
                return json.loads(rest[:n])
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError("Firefox closed its Marionette port")
            self.buf += chunk

    def call(self, name, **params):
        self.id += 1
        body = json.dumps([0, self.id, name, params]).encode()
        self.sock.sendall(b"%d:%s" % (len(body), body))
        while True:
            msg = self.receive()
            if msg[0] == 1 and msg[1] == self.id:
                if msg[2]:
                    raise RuntimeError("%s: %s" % (name, msg[2]))
                return msg[3]

    def open(self, url):
        self.call("WebDriver:Navigate", url=url)

    def js(self, expression):
        """The value of a JavaScript expression in the page, promises awaited."""
        return self.call("WebDriver:ExecuteAsyncScript", args=[],
                         script="Promise.resolve(%s).then(arguments[0])" % expression)["value"]

    def screenshot(self):
        """The viewport's RGB bytes."""
        return webrun.rgb(base64.b64decode(self.call("WebDriver:TakeScreenshot", full=False, hash=False)["value"]))

    def click(self, selector):
        el = self.call("WebDriver:FindElement", using="css selector", value=selector)["value"]
        self.call("WebDriver:ElementClick", id=next(iter(el.values())))

    def upload(self, selector, path):
        """Sets a file on a file input, as a viewer's choice would."""
        el = self.call("WebDriver:FindElement", using="css selector", value=selector)["value"]
        self.call("WebDriver:ElementSendKeys", id=next(iter(el.values())), text=path)

    def saved(self, name, size):
        """The path of the file the page saves as name, once it is whole:
        Firefox writes it under a name of its own until then."""
        path = os.path.join(self.downloads, name)
        deadline = time.monotonic() + WAIT
        while not (os.path.exists(path) and os.path.getsize(path) == size):
            assert time.monotonic() < deadline, "%s never came whole" % name
            time.sleep(0.1)
        return path

    def move(self, x, y):
        """Moves the mouse to (x, y) of the page."""
        self.call("WebDriver:PerformActions", actions=[{
            "type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"},
            "actions": [{"type": "pointerMove", "x": x, "y": y, "duration": 0}]}])

    def key(self, kind, key, vk):
        """A key's press (keyDown) or release (keyUp): Escape or a letter."""
        self.call("WebDriver:PerformActions", actions=[{
            "type": "key", "id": "keyboard", "actions": [{"type": kind, "value": "\ue00c" if key == "Escape" else key}]}])
