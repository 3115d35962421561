"""WebKitGTK (Debian's gir1.2-webkit2-4.1) in a window under Xvfb, driven
by a child Python that holds the view and answers one JSON line a command
on its standard output: for bench/savevideo.py, where the machine has it
(the tests don't need it). Downloads go into self.downloads."""
import json
import os
import shutil
import subprocess
import tempfile
import time

import webrun

# the child: a 640 x 480 view; each line in is {"js": expression} (its
# value, promises awaited) or {"open": url} (answered at the load's end)
CHILD = r"""
import json, os, sys
import gi
gi.require_version("Gtk", "3.0")
gi.require_version("WebKit2", "4.1")
from gi.repository import GLib, Gtk, WebKit2

downloads = sys.argv[1]
ctx = WebKit2.WebContext.get_default()
def started(ctx, d):
    d.connect("decide-destination", lambda d, name: (d.set_destination("file://" + os.path.join(downloads, name)), True)[1])
    d.connect("finished", lambda d: say({"downloaded": os.path.basename(d.get_destination())}))
ctx.connect("download-started", started)
view = WebKit2.WebView.new_with_context(ctx)
s = view.get_settings()
s.set_allow_file_access_from_file_urls(True)
s.set_enable_media_stream(True)
win = Gtk.Window()
win.set_default_size(640, 480)
win.add(view)
win.show_all()
pending = []
def say(msg):
    sys.stdout.write("@@" + json.dumps(msg) + "\n")
    sys.stdout.flush()
def loaded(v, ev):
    if ev == WebKit2.LoadEvent.FINISHED and pending:
        pending.pop(0)
        say({"value": True})
view.connect("load-changed", loaded)
view.connect("web-process-terminated", lambda v, r: say({"crashed": int(r)}))
def done(v, res, data):
    try:
        val = v.call_async_javascript_function_finish(res)
        say({"value": json.loads(val.to_json(0)) if not val.is_undefined() else None})
    except Exception as e:
        say({"error": str(e)})
def line(src, cond):
    l = sys.stdin.readline()
    if not l:
        Gtk.main_quit()
        return False
    m = json.loads(l)
    if "open" in m:
        pending.append(1)
        view.load_uri(m["open"])
    else:
        view.call_async_javascript_function("return await (" + m["js"] + ");", -1, None, None, None, None, done, None)
    return True
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, line)
Gtk.main()
"""


class WebKit(webrun.Waits):
    def __init__(self, downloads=False):
        self.profile = tempfile.mkdtemp(prefix="brindlewock-webkit-")
        self.downloads = os.path.join(self.profile, "saved")
        os.mkdir(self.downloads)
        self.done = set()
        self.proc = subprocess.Popen(["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "/usr/bin/python3", "-c", CHILD,
                                      self.downloads], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def answer(self):
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise EOFError("WebKitGTK's driver ended")
            if not line.startswith("@@"):
                continue  # the engine's own words
            msg = json.loads(line[2:])
            if "downloaded" in msg:
                self.done.add(msg["downloaded"])
            elif "crashed" in msg:
                raise RuntimeError("WebKitGTK's page process ended (reason %d)" % msg["crashed"])
            else:
                return msg

    def send(self, msg):
        self.proc.stdin.write(json.dumps(msg) + "\n")
        self.proc.stdin.flush()
        msg = self.answer()
        if "error" in msg:
            raise RuntimeError(msg["error"])
        return msg["value"]

    def open(self, url):
        self.send({"open": url})

    def js(self, expression):
        return self.send({"js": expression})

    def click(self, selector):
        self.js("(document.querySelector(%s).click(), true)" % json.dumps(selector))

    def saved(self, name):
        path = os.path.join(self.downloads, name)
        deadline = time.monotonic() + self.WAIT
        while name not in self.done:
            assert time.monotonic() < deadline, "%s never came whole" % name
            self.js("true")
            time.sleep(0.1)
        return path

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)
