"""Headless Chromium, driven over the DevTools protocol on a pipe, and a
static server on 127.0.0.1 for the pages it opens over HTTP."""
import base64
import functools
import http.server
import json
import os
import select
import shutil
import subprocess
import tempfile
import threading
import time

import webrun

CHROMIUM = os.environ.get("CHROMIUM") or "/usr/bin/chromium"
WAIT = 60          # s: the longest any step of the page may take


class Server:
    """build/web on a free port of 127.0.0.1, served from a thread."""

    def __init__(self, root):
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=root))
        self.url = "http://127.0.0.1:%d/" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Chromium(webrun.Waits):
    """Headless Chromium on the DevTools pipe (it reads commands from its fd 3
    and writes replies and events to its fd 4, each a JSON text ended by a
    NUL), with one page of 640 x 480 CSS pixels at one device pixel each."""

    def __init__(self, downloads=False):
        """With downloads, what the page saves goes into the folder
        self.downloads, without asking."""
        self.profile = tempfile.mkdtemp(prefix="brindlewock-chromium-")
        self.downloads = os.path.join(self.profile, "saved")
        tochrome, self.out = os.pipe()
        self.inp, fromchrome = os.pipe()
        # above the numbers the child needs, so that moving them there clobbers nothing
        high = [os.dup2(fd, 100 + i, inheritable=False) for i, fd in enumerate((tochrome, fromchrome))]
        os.close(tochrome)
        os.close(fromchrome)

        def pipes():
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless=new", "--no-sandbox", "--force-color-profile=srgb", "--disable-gpu",
             "--disable-quic", "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--user-data-dir=" + self.profile,
             "--remote-debugging-pipe", "--window-size=640,480", "--autoplay-policy=user-gesture-required",
             "about:blank"],
            preexec_fn=pipes, close_fds=False, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for fd in high:
            os.close(fd)
        self.buf = b""
        self.id = 0
        self.events = []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        if downloads:
            os.mkdir(self.downloads)
            self.call("Browser.setDownloadBehavior", behavior="allow", downloadPath=self.downloads, eventsEnabled=True)
        self.page("Page.enable")
        self.page("Runtime.enable")
        self.resize(webrun.SCRW, webrun.SCRH)

    def close(self):
        try:
            self.call("Browser.close")
            self.proc.wait(timeout=WAIT)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        os.close(self.out)
        os.close(self.inp)
        shutil.rmtree(self.profile, ignore_errors=True)

    def send(self, method, session=None, **params):
        self.id += 1
        msg = {"id": self.id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self.out, json.dumps(msg).encode() + b"\0")
        return self.id

    def receive(self, what, deadline):
        """The next message from Chromium."""
        while b"\0" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.inp], [], [], left)[0]:
                raise TimeoutError("no " + what)
            chunk = os.read(self.inp, 1 << 20)
            if not chunk:
                raise EOFError("Chromium closed its pipe")
            self.buf += chunk
        msg, self.buf = self.buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, session=None, **params):
        """Sends a command and returns its result; events that come
        meanwhile are kept for event()."""
        want = self.send(method, session, **params)
        deadline = time.monotonic() + WAIT
        while True:
            msg = self.receive("answer to " + method, deadline)
            if msg.get("id") == want:
                if "error" in msg:
                    raise RuntimeError("%s: %s" % (method, msg["error"]))
                return msg["result"]
            if "method" in msg:
                self.events.append(msg)

    def event(self, method, browser=False):
        """Waits for the page's next event of the kind, or the browser's,
        dropping those before it."""
        deadline = time.monotonic() + WAIT
        session = None if browser else self.session
        while True:
            msg = self.events.pop(0) if self.events else self.receive("event " + method, deadline)
            if msg.get("method") == method and msg.get("sessionId") == session:
                return msg["params"]

    def saved(self, name, size):
        """The path of the file the page saves as name, once it is whole."""
        while self.event("Browser.downloadProgress", browser=True)["state"] != "completed":
            pass
        return os.path.join(self.downloads, name)

    def page(self, method, **params):
        return self.call(method, self.session, **params)

    def js(self, expression):
        """The value of a JavaScript expression in the page, promises awaited."""
        r = self.page("Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in r:
            raise RuntimeError(json.dumps(r["exceptionDetails"]))
        return r["result"].get("value")

    def open(self, url):
        """Loads the page, waiting for its load event."""
        self.events.clear()
        self.page("Page.navigate", url=url)
        self.event("Page.loadEventFired")

    def screenshot(self):
        """The page's 640 x 480 pixels as RGB bytes."""
        png = base64.b64decode(self.page("Page.captureScreenshot", format="png")["data"])
        return webrun.rgb(png)

    def click(self, selector):
        box = self.js("(() => { const r = document.querySelector(%s).getBoundingClientRect();"
                      " return [r.x + r.width / 2, r.y + r.height / 2, r.width * r.height]; })()"
                      % json.dumps(selector))
        assert box[2] > 0, selector + " is not shown"
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.page("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)

    def move(self, x, y):
        """Moves the mouse to (x, y) of the page."""
        self.page("Input.dispatchMouseEvent", type="mouseMoved", x=x, y=y)

    def upload(self, selector, path):
        """Sets a file on a file input, as a viewer's choice would."""
        node = self.page("Runtime.evaluate", expression="document.querySelector(%s)" % json.dumps(selector))
        self.page("DOM.setFileInputFiles", files=[path], objectId=node["result"]["objectId"])

    def resize(self, width, height):
        self.page("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)

    def key(self, kind, key, vk):
        self.page("Input.dispatchKeyEvent", type=kind, key=key, code=key, windowsVirtualKeyCode=vk)
