"""The web build's frames, byte for byte, against the native frame code:
Node runs the WebAssembly module (tests/web/webstill.mjs) and tools/mkstill the
native code, both along one run of the still schedule with the same seed and
picture, and every pixel's red, green and blue must be equal (on the
SDL-2-based runtime, whose alpha blend differs, native bytes may be one
less while the picture fades in)."""
import os
import subprocess
import tempfile
import unittest

import webrun

# the whole show: before the picture, its first faint frame, fading in (at an
# odd ms too), the last fading frame, the swinging source, the edge line under
# the whole picture, the picture half burnt, after it is gone, the last frame
TIMES = [5000, 10000, 12345, 18000, 25999, 29000, 33333, 45000, 66000, 75000]
NODE = os.environ.get("NODE") or "node"
# (picture's width and height, seed): smaller than the screen, and larger
# both ways, so clipped on every side; seeds up to the largest
RUNS = [(360, 250, 7), (1000, 700, 1765432109), (360, 250, 4294967295)]


class WebFrames(unittest.TestCase):
    def test_stills_equal_native(self):
        module = os.path.join(webrun.WEB, "brindlewock.wasm")
        driver = os.path.join(os.path.dirname(os.path.abspath(__file__)), "webstill.mjs")
        # the native stills of the SDL-2-based runtime blend by SDL 2's rules
        runtime = subprocess.run([webrun.MKSTILL, "--runtime"], capture_output=True, text=True,
                                 check=True).stdout.strip()
        below = ["--below"] if runtime == "compat" else []
        with tempfile.TemporaryDirectory() as d:
            for w, h, seed in RUNS:
                with self.subTest(picture="%d x %d" % (w, h), seed=seed):
                    pic = os.path.join(d, "picture%dx%d.png" % (w, h))
                    webrun.picture(pic, w, h, w)
                    stills = {ms: os.path.join(d, "s%d-%d-%d.png" % (w, seed, ms)) for ms in TIMES}
                    webrun.mkstill(seed, pic, stills, d)
                    # raw RGBA for the module and the comparison
                    subprocess.run(["mogrify", "-depth", "8", "-format", "rgba", pic, *stills.values()], check=True)
                    raw = lambda png: png[:-len("png")] + "rgba"
                    p = subprocess.run([NODE, driver, *below, module, raw(pic), str(w), str(h), str(seed)]
                                       + ["%d:%s" % (ms, raw(png)) for ms, png in stills.items()],
                                       capture_output=True, text=True, timeout=300)
                    print("picture %d x %d, seed %d:\n%s%s" % (w, h, seed, p.stdout, p.stderr))
                    self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                    self.assertEqual(p.stdout.count("pixels equal"), len(TIMES))

    def test_build_refuses_a_module_that_imports(self):
        # web/imports.py, which the build runs on the module it links: the
        # page provides nothing to import, WASI least of all
        check = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "web", "imports.py")
        name = lambda s: bytes([len(s)]) + s.encode()
        section = lambda n, body: bytes([n, len(body)]) + body
        head = b"\0asm\1\0\0\0" + section(1, b"\1\x60\0\0")  # one type, () -> ()
        fdwrite = name("wasi_snapshot_preview1") + name("fd_write") + b"\0\0"
        memory = name("env") + name("memory") + b"\2\1\1\2"  # limits 1 to 2 pages
        cases = [  # (what, bytes, status, named in the message)
            ("WASI's fd_write and a memory", head + section(2, b"\2" + memory + fdwrite) + section(5, b"\1\0\1"),
             1, ["env.memory", "wasi_snapshot_preview1.fd_write"]),
            ("nothing", head, 0, []),
            ("an import section cut short", head + section(2, b"\1" + fdwrite)[:-3], 1, ["past the end"]),
            ("not a module", b"\0asm\2\0\0\0", 1, ["version 1"]),
            ("the web build's", open(os.path.join(webrun.WEB, "brindlewock.wasm"), "rb").read(), 0, []),
        ]
        with tempfile.TemporaryDirectory() as d:
            for what, module, status, words in cases:
                with self.subTest(imports=what):
                    path = os.path.join(d, "m.wasm")
                    with open(path, "wb") as f:
                        f.write(module)
                    p = subprocess.run(["python3", check, path], capture_output=True, text=True, timeout=60)
                    self.assertEqual(p.returncode, status, p.stderr)
                    for w in words:
                        self.assertIn(w, p.stderr)


if __name__ == "__main__":
    unittest.main()
