"""The web build's frames, byte for byte, against the native frame code:
Node runs the WebAssembly module (tests/web/webstill.mjs) and tools/mkstill the
native code, both along one run of the still schedule with the same seed and
picture, and every pixel's red, green and blue must be equal."""
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
                    p = subprocess.run([NODE, driver, module, raw(pic), str(w), str(h), str(seed)]
                                       + ["%d:%s" % (ms, raw(png)) for ms, png in stills.items()],
                                       capture_output=True, text=True, timeout=300)
                    print("picture %d x %d, seed %d:\n%s%s" % (w, h, seed, p.stdout, p.stderr))
                    self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
                    self.assertEqual(p.stdout.count("pixels equal"), len(TIMES))


if __name__ == "__main__":
    unittest.main()
