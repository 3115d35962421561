#!/usr/bin/env python3
"""Start-up time of the show with a photo of one's own: from exec to the
first frame, on SDL's dummy drivers, median of RUNS, for the default
picture and JPEGs of 12 and 48 megapixels made from it, and, given a
second build, the same there and the PSNR of its fitted picture against
this build's.

    bench/startup.py BUILD [BASELINEBUILD] [RUNS]

The first frame is seen through the tests' spy library (BUILD/tests), which
logs the show's SDL_Flip. Run it on a quiet machine."""
import math, os, shutil, statistics, subprocess, sys, tempfile, time

build = os.path.abspath(sys.argv[1])
base = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 and not sys.argv[2].isdigit() else None
runs = int(sys.argv[-1]) if sys.argv[-1].isdigit() else 3
src = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')
spy = os.path.join(build, 'tests', 'libspy.so')


def firstframe(show, picture, own):
    """seconds from exec to the show's first SDL_Flip"""
    d = tempfile.mkdtemp(prefix='brindlewock-startup-')
    os.symlink(picture, os.path.join(d, 'galleri.jpg'))
    log = os.path.join(d, 'spy.log')
    env = dict(os.environ, SDL_VIDEODRIVER='dummy', SDL_AUDIODRIVER='dummy', SPY_LOG=log, LD_PRELOAD=spy)
    env.pop('BRINDLEWOCK_OWNPICTURE', None)
    if own:
        env['BRINDLEWOCK_OWNPICTURE'] = '1'
    t0 = time.monotonic()
    p = subprocess.Popen([show], cwd=d, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while p.poll() is None:
        if os.path.exists(log) and 'SDL_Flip' in open(log).read():
            break
        time.sleep(0.002)
    t = time.monotonic() - t0
    p.kill()
    p.wait()
    shutil.rmtree(d)
    return t


def fitted(decoder, picture):
    """the decoder's fitted picture: its answer's size and pixels, as
    0x00RRGGBB; a decoder that knows no screen format (a baseline before
    the answer came in the screen's format) answers its own surface, which
    for a picture of one's own is that format too"""
    import socket, struct
    out = b''
    for args in (['picture', '', str(0xff0000), str(0xff00), str(0xff), 'own'], ['picture', '', 'own']):
        a, b = socket.socketpair()
        p = subprocess.Popen([decoder, *args], close_fds=False, env={},
                             preexec_fn=lambda: (os.close(a.fileno()), os.dup2(b.fileno(), 3)))
        b.close()
        data = open(picture, 'rb').read()
        try:
            a.sendall(struct.pack('<Q', len(data)) + data)
        except BrokenPipeError:
            pass
        out = b''
        while chunk := a.recv(1 << 20):
            out += chunk
        p.wait()
        if len(out) >= 16 and struct.unpack('<Q', out[8:16])[0] == 1:
            break
    if args[2] == 'own':
        w, h = struct.unpack('<2i', out[16:24])
        return w, h, out[16 + 44:]
    w, h = struct.unpack('<2i', out[16:24])
    return w, h, out[24:]


def psnr(x, y):
    if x[:2] != y[:2]:
        return float('nan')
    px, py = x[2], y[2]
    se = sum((px[i] - py[i]) ** 2 for i in range(len(px)) if i % 4 != 3)
    n = len(px) * 3 // 4
    return float('inf') if se == 0 else 10 * math.log10(255 ** 2 * n / se)


tmp = tempfile.mkdtemp(prefix='brindlewock-startup-')
pictures = [('default', os.path.join(src, 'assets', 'galleri.jpg'), False)]
for name, size in (('12 MP', '4000x3000'), ('48 MP', '8000x6000')):
    path = os.path.join(tmp, name.replace(' ', '') + '.jpg')
    subprocess.run(['convert', pictures[0][1], '-resize', size + '!', '-quality', '90', path], check=True)
    pictures.append((name + ' own JPEG', path, True))
for label, b in (('this build', build), ('baseline', base)):
    if not b:
        continue
    show = os.path.join(b, 'brindlewock')
    for name, path, own in pictures:
        ts = [firstframe(show, path, own) for _ in range(runs)]
        print(f'{label:10s}  {name:18s}  {statistics.median(ts):.3f} s  (median of {runs})')
if base:
    for name, path, own in pictures[1:]:
        print(f'PSNR of the fitted {name} against the baseline\'s: '
              f'{psnr(fitted(os.path.join(build, "brindlewock-decode"), path), fitted(os.path.join(base, "brindlewock-decode"), path)):.1f} dB')
shutil.rmtree(tmp)
