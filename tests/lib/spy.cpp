// A library preloaded into the show by the tests: it logs the SDL calls that
// the show itself makes, with their arguments, to the file named by
// SPY_LOG, with the colours of the top corners of a picture handed to it
// as pixels, and fails the heat field's allocation when SPY_NOFIELD is set.
// Calls that SDL's own libraries make to each other are not logged, nor
// those of the show's decoder processes, which may open no file. With
// SPY_HOLD set, the show stops in srand, before SDL is started, until the
// file SPY_HOLD names exists: an interrupt or a termination waits there. With
// SPY_HOLDRENAME set, a program stops itself (SIGSTOP) before its first
// rename, so that a test can act while it holds its finished files under
// their temporary names. SPY_NOEXCHANGE=1 makes renameat2 refuse
// RENAME_EXCHANGE with EINVAL, as vfat, exFAT, NFS and SMB do. SPY_NOMKDIR
// names a folder in which no program that the spy is preloaded into may make
// a folder (EACCES), as a read-only /tmp would refuse, without the user
// namespace that mounting one takes. SPY_NOREAD names a path that no such
// program may open (EACCES), as root can open any file. With SPY_STOPVIDEO
// set, the show stops itself (SIGSTOP) as it asks for its video mode, SDL
// started and its display open, so that a test can take the display away
// there.
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_mixer.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" void *__libc_calloc(size_t, size_t);

static SDL_Surface *screen, *loaded;
static pid_t show = getpid();

static bool fromshow(void *ret)
{
	Dl_info info;
	return !(dladdr(ret, &info) && info.dli_fname && strstr(info.dli_fname, "libSDL"));
}

static void say(const char *fmt, ...)
{
	const char *path = getenv("SPY_LOG");
	if (!path || getpid() != show)
		return;
	FILE *f = fopen(path, "a");
	if (!f)
		return;
	va_list ap;
	va_start(ap, fmt);
	vfprintf(f, fmt, ap);
	va_end(ap);
	fputc('\n', f);
	fclose(f);
}

template <typename T> static T real(const char *name)
{
	return (T)dlsym(RTLD_NEXT, name);
}

#define RET __builtin_return_address(0)

extern "C" {

#ifndef SPY_NOCALLOC
void *calloc(size_t n, size_t size)
{
	if (n == 640 * 486 && size == 4 && getenv("SPY_NOFIELD"))
		return nullptr;
	return __libc_calloc(n, size);
}
#endif

static void hold()
{
	static bool held;
	if (!held && getenv("SPY_HOLDRENAME")) {
		held = true;
		raise(SIGSTOP);
	}
}

int rename(const char *from, const char *to)
{
	hold();
	return real<int (*)(const char *, const char *)>("rename")(from, to);
}

int renameat2(int fromdir, const char *from, int todir, const char *to, unsigned flags)
{
	hold();
	if ((flags & RENAME_EXCHANGE) && getenv("SPY_NOEXCHANGE")) {
		errno = EINVAL;
		return -1;
	}
	return real<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(fromdir, from, todir, to, flags);
}

int mkdir(const char *path, mode_t mode)
{
	const char *no = getenv("SPY_NOMKDIR");
	size_t n = no ? strlen(no) : 0;
	if (n && !strncmp(path, no, n) && path[n] == '/') {
		errno = EACCES;
		return -1;
	}
	return real<int (*)(const char *, mode_t)>("mkdir")(path, mode);
}

int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	const char *no = getenv("SPY_NOREAD");
	if (no && !strcmp(path, no)) {
		errno = EACCES;
		return -1;
	}
	return real<int (*)(const char *, int, ...)>("open")(path, flags, mode);
}
int open64(const char *path, int flags, ...) __attribute__((alias("open"))); // its other name

void srand(unsigned seed)
{
	say("srand %u", seed);
	for (const char *hold = getenv("SPY_HOLD"); hold && access(hold, F_OK) != 0;)
		usleep(2000);
	real<void (*)(unsigned)>("srand")(seed);
}

int SDL_Init(Uint32 flags)
{
	if (fromshow(RET)) {
		say("SDL_Init %u", flags);
		// whether the command told the show its picture is one's own
		const char *own = getenv("BRINDLEWOCK_OWNPICTURE");
		say("BRINDLEWOCK_OWNPICTURE %s", own ? own : "unset");
	}
	return real<int (*)(Uint32)>("SDL_Init")(flags);
}

void SDL_Quit(void)
{
	say("SDL_Quit");
	real<void (*)(void)>("SDL_Quit")();
}

SDL_Surface *SDL_SetVideoMode(int w, int h, int bpp, Uint32 flags)
{
	if (fromshow(RET) && getenv("SPY_STOPVIDEO"))
		raise(SIGSTOP);
	SDL_Surface *r = real<SDL_Surface *(*)(int, int, int, Uint32)>("SDL_SetVideoMode")(w, h, bpp, flags);
	if (fromshow(RET)) {
		say("SDL_SetVideoMode %d %d %d 0x%x -> %s", w, h, bpp, flags, r ? "screen" : "null");
		screen = r;
	}
	return r;
}

int SDL_ShowCursor(int toggle)
{
	if (fromshow(RET))
		say("SDL_ShowCursor %d", toggle);
	return real<int (*)(int)>("SDL_ShowCursor")(toggle);
}

int Mix_OpenAudio(int rate, Uint16 format, int channels, int chunk)
{
	say("Mix_OpenAudio %d 0x%x %d %d", rate, format, channels, chunk);
	return real<int (*)(int, Uint16, int, int)>("Mix_OpenAudio")(rate, format, channels, chunk);
}

void SDL_PauseAudio(int on)
{
	if (fromshow(RET))
		say("SDL_PauseAudio %d", on);
	real<void (*)(int)>("SDL_PauseAudio")(on);
}

void SDL_WM_SetCaption(const char *title, const char *icon)
{
	if (fromshow(RET))
		say("SDL_WM_SetCaption %s %s", title ? title : "(null)", icon ? icon : "(null)");
	real<void (*)(const char *, const char *)>("SDL_WM_SetCaption")(title, icon);
}

SDL_Surface *SDL_CreateRGBSurface(Uint32 flags, int w, int h, int bpp, Uint32 r, Uint32 g, Uint32 b, Uint32 a)
{
	SDL_Surface *p = real<SDL_Surface *(*)(Uint32, int, int, int, Uint32, Uint32, Uint32, Uint32)>("SDL_CreateRGBSurface")(
		flags, w, h, bpp, r, g, b, a);
	if (fromshow(RET)) {
		loaded = p;
		say("SDL_CreateRGBSurface %d %d %d -> %s", w, h, bpp, p ? "picture" : "null");
	}
	return p;
}

SDL_Surface *SDL_CreateRGBSurfaceFrom(void *px, int w, int h, int bpp, int pitch, Uint32 r, Uint32 g, Uint32 b, Uint32 a)
{
	SDL_Surface *p = real<SDL_Surface *(*)(void *, int, int, int, int, Uint32, Uint32, Uint32, Uint32)>(
		"SDL_CreateRGBSurfaceFrom")(px, w, h, bpp, pitch, r, g, b, a);
	if (fromshow(RET)) {
		loaded = p;
		say("SDL_CreateRGBSurfaceFrom %d %d %d -> %s", w, h, bpp, p ? "picture" : "null");
		// the colours of its top corners, left and right, which tell
		// which way round it is
		if (p && bpp == 32 && w > 0 && h > 0) {
			Uint8 c[2][3];
			for (int i = 0; i < 2; i++)
				SDL_GetRGB(((Uint32 *)px)[i * (w - 1)], p->format, &c[i][0], &c[i][1], &c[i][2]);
			say("picture corners %02x%02x%02x %02x%02x%02x", c[0][0], c[0][1], c[0][2], c[1][0], c[1][1], c[1][2]);
		}
	}
	return p;
}

SDL_Surface *SDL_ConvertSurface(SDL_Surface *src, SDL_PixelFormat *fmt, Uint32 flags)
{
	SDL_Surface *r = real<SDL_Surface *(*)(SDL_Surface *, SDL_PixelFormat *, Uint32)>("SDL_ConvertSurface")(src, fmt, flags);
	if (fromshow(RET))
		say("SDL_ConvertSurface %s %s 0x%x", src == loaded ? "picture" : "other",
		    screen && fmt == screen->format ? "screenformat" : "otherformat", flags);
	return r;
}

int SDL_SetColorKey(SDL_Surface *surface, Uint32 flag, Uint32 key)
{
	if (fromshow(RET))
		say("SDL_SetColorKey 0x%x %s", flag,
		    key == SDL_MapRGB(surface->format, 0, 0, 0) ? "black" : "other");
	return real<int (*)(SDL_Surface *, Uint32, Uint32)>("SDL_SetColorKey")(surface, flag, key);
}

void SDL_FreeSurface(SDL_Surface *surface)
{
	if (fromshow(RET))
		say("SDL_FreeSurface %s", surface && surface == loaded ? "picture" : "other");
	real<void (*)(SDL_Surface *)>("SDL_FreeSurface")(surface);
}

Mix_Chunk *Mix_QuickLoad_RAW(Uint8 *mem, Uint32 len)
{
	Mix_Chunk *r = real<Mix_Chunk *(*)(Uint8 *, Uint32)>("Mix_QuickLoad_RAW")(mem, len);
	say("Mix_QuickLoad_RAW %u -> %s", len, r ? "music" : "null");
	return r;
}

int Mix_PlayChannelTimed(int channel, Mix_Chunk *chunk, int loops, int ticks)
{
	say("Mix_PlayChannelTimed %d %s %d %d", channel, chunk ? "music" : "null", loops, ticks);
	return real<int (*)(int, Mix_Chunk *, int, int)>("Mix_PlayChannelTimed")(channel, chunk, loops, ticks);
}

void SDL_Delay(Uint32 ms)
{
	if (fromshow(RET))
		say("SDL_Delay %u", ms);
	real<void (*)(Uint32)>("SDL_Delay")(ms);
}

Uint32 SDL_GetTicks(void)
{
	static bool once;
	if (!once && fromshow(RET)) {
		once = true;
		say("SDL_GetTicks");
	}
	return real<Uint32 (*)(void)>("SDL_GetTicks")();
}

int SDL_Flip(SDL_Surface *surface)
{
	static bool once;
	if (!once && fromshow(RET)) {
		once = true;
		say("SDL_Flip %s", surface == screen ? "screen" : "other");
	}
	return real<int (*)(SDL_Surface *)>("SDL_Flip")(surface);
}
}
