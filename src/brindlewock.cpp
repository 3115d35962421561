/*
 * brindlewock: a 75-second show. It takes the screen at 640 x 480 x 32,
 * plays "musa.ogg" and draws, as fast as the machine allows, a drifting
 * interference background, the picture "galleri.jpg" fading in, and a fire
 * that burns the picture away from the bottom.
 *
 * A frame is built in stages, each a call into one module: the picture's
 * geometry (picture), the background (background), the picture itself, the
 * heat field painted as flame and smoke (fire), then the fixed 40 ms fire
 * steps that are due, each a propagation followed by the fire sources, and
 * last the flip. frame() in frame.cpp runs all but the flip over memory;
 * this file is the shell that gives it SDL's screen, clock and events, and
 * load.cpp reads the two files. The fire runs at 25 steps a second of real
 * time however fast the frames come; a late frame catches up on all the
 * steps it missed.
 *
 * Nothing is printed: the exit status is the only report. paska, registered
 * first of all, shuts SDL down on every way out, and ends the process at
 * once where that would wait on a display that has gone.
 *
 * Start reading at main(), in main.cpp.
 */
#include "brindlewock.h"
#include "fire.h"
#include "load.h"
#include "picture.h"

#include <SDL_syswm.h>

#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

const char *imf[1] = { "galleri.jpg" };
const char *musf = "musa.ogg";
Mix_Chunk *musa;

// the status paska was called with, for cut
static volatile sig_atomic_t ending;

static void cut(int)
{
	_exit(ending);
}

// A lost X server ends the show through Xlib, which calls exit(1), and SDL
// then shuts its window down over the dead connection, where it can wait
// for ever. So from here on a termination, an interrupt or the passing of
// quitwait ends the process at once, with the status it was ending with.
void paska(int status, void *)
{
	ending = status;
	struct sigaction sa = {};
	sa.sa_handler = cut;
	sigaction(SIGTERM, &sa, NULL);
	sigaction(SIGINT, &sa, NULL);
	sigaction(SIGALRM, &sa, NULL);
	// an interval timer rather than alarm(): the tests' fast clock, a
	// preloaded library, divides alarm's whole seconds by its speed, down to
	// none, which cancels it; this one is left in real time
	itimerval wait = {}, none = {};
	wait.it_value.tv_sec = quitwait / 1000;
	wait.it_value.tv_usec = quitwait % 1000 * 1000;
	setitimer(ITIMER_REAL, &wait, NULL);
	SDL_Quit();
	setitimer(ITIMER_REAL, &none, NULL);
}

// Points standard output and error at /dev/null (on), and back (off). The
// audio libraries print why they can't open a device (no sound card, no
// server): classic SDL 1.2 probes its drivers in SDL_Init, and the mixer
// opens the device. The show prints nothing.
static void quiet(bool on)
{
	static int keep[2];               // the real ones, while they point at /dev/null
	fflush(stdout);
	fflush(stderr);
	int null = on ? open("/dev/null", O_WRONLY) : -1;
	for (int fd = 1; fd <= 2; fd++) {
		if (on) {
			keep[fd - 1] = dup(fd);
			dup2(null, fd);
		} else {
			dup2(keep[fd - 1], fd);
			close(keep[fd - 1]);
		}
	}
	if (on)
		close(null);
}

// Where a display is named, the show is seen on it or fails: SDL would
// otherwise fall back, when it finds the display gone at start-up, to a
// driver that draws where nobody looks (the SDL-2-based runtime's offscreen
// one, the classic runtime's coloured characters in the terminal) and play
// the whole show there. Unless the user names the drivers, SDL is given
// those that show something, in SDL 2's own order; the classic runtime
// (1.2.15) takes one name only, and knows no Wayland.
static void screensonly()
{
	bool compat = sdlcompat();
	if (getenv("DISPLAY") || (compat && getenv("WAYLAND_DISPLAY")))
		setenv("SDL_VIDEODRIVER", compat ? "x11,wayland" : "x11", 0);
}

// blocks or unblocks (how) the interrupt and the termination, which SDL
// makes a quit event of once it is started: a program may hold them until
// then (main.cpp)
static void sigs(int how)
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGINT);
	sigaddset(&set, SIGTERM);
	sigprocmask(how, &set, NULL);
}

// the X display's connection and the show's window, where SDL draws on X
static bool xwindow(SDL_SysWMinfo &wm)
{
	SDL_VERSION(&wm.version);
	return SDL_GetWMInfo(&wm) == 1 && wm.subsystem == SDL_SYSWM_X11;
}

// The SDL-2-based runtime takes the screen for a fullscreen mode by making
// its window the desktop's size and scaling the frame up to fill it, its
// shape kept. It leaves the resizing of the X window to a window manager,
// but counts the window as resized at once: with none (a bare X server, a
// kiosk session), the window stays 640 x 480 while SDL draws for the whole
// screen, and only the bottom-left corner of the magnified frame is seen.
// So the window is given the screen itself, as a window manager would
// give it; SDL learns of it from the X server, and the whole frame fills
// the screen. With a window manager the window has the screen already.
static void fillscreen()
{
	SDL_SysWMinfo wm;
	if (!sdlcompat() || !xwindow(wm))
		return;
	Display *d = wm.info.x11.display;
	Window w = wm.info.x11.window;
	XWindowAttributes a;
	if (!XGetWindowAttributes(d, w, &a))
		return;
	int sw = WidthOfScreen(a.screen), sh = HeightOfScreen(a.screen);
	if (a.width != sw || a.height != sh) {
		XMoveResizeWindow(d, w, 0, 0, sw, sh);
		XFlush(d);
	}
}

static int xgone(Display *)
{
	_exit(exitvideo);
}

// Xlib ends a process whose X server has gone with exit(1), whose exit
// handler shuts SDL down over the dead connection, where Xlib finds it dead
// again and calls exit inside exit, which hangs or aborts. Once the window
// is up the show ends there at once instead, with the status of a display
// gone: there is nothing left to shut down on it.
static void xlost()
{
	SDL_SysWMinfo wm;
	if (xwindow(wm))
		XSetIOErrorHandler(xgone);
}

void homon()
{
	on_exit(paska, NULL);
	srand(time(NULL));
	screensonly();
	quiet(true);
	SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO);
	sigs(SIG_UNBLOCK);
	s = SDL_SetVideoMode(scrw, scrh, scrbpp, SDL_FULLSCREEN);
	if (!s)
		exit(exitvideo);
	fillscreen();
	xlost();
	SDL_ShowCursor(SDL_DISABLE);
	Mix_OpenAudio(audiorate, AUDIO_S16LSB, audiochans, audiochunk);
	quiet(false);
	SDL_PauseAudio(1);
	SDL_WM_SetCaption("brindlewock", NULL);
	if (!homfire())
		exit(exitmemory);
	// the brindlewock command names a picture of the viewer's own so, to
	// be fitted to the picture's place; an interrupt or a termination while
	// a file decodes ends the show there, as it would at the first frame
	ownpicture = getenv("BRINDLEWOCK_OWNPICTURE");
	// and names the files a person gave it, which, when they can't be
	// read, it says in one line before the show starts
	const char *saypic = getenv("BRINDLEWOCK_PICTURENAME"), *saymus = getenv("BRINDLEWOCK_MUSICNAME");
	for (int i = 0; i < (int)(sizeof imf / sizeof *imf); i++)
		if (!(ims[i] = loadim(imf[i]))) {
			if (!loadstopped && saypic)
				fprintf(stderr, "brindlewock: %s: %s\n", saypic, SDL_GetError());
			exit(loadstopped ? 0 : exitpicture);
		}
	musa = loadmusa(musf);
	if (loadstopped)
		exit(0);
	if (!musa && saymus) {
		fprintf(stderr, "brindlewock: %s: %s\n", saymus, SDL_GetError());
		exit(exitpicture);
	}
}

bool homfire()
{
	firew = s->w;
	fireh = s->h + firebelow;
	firekg = (int32_t *)calloc((size_t)firew * fireh, sizeof *firekg);
	return firekg != NULL;
}

bool quitevent()
{
	SDL_Event ev;
	while (SDL_PollEvent(&ev))
		if (ev.type == SDL_QUIT || (ev.type == SDL_KEYUP && ev.key.keysym.sym == SDLK_ESCAPE))
			return true;
	return false;
}
