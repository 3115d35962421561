// What the capture says and what it leaves behind on the way: its one-line
// messages, its progress bar, and the temporary files it has made, which a
// failure removes. The start-up, the encoding and the options all fail
// through here.
#include "capture.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

constexpr int capbarw = 24;           // characters of the progress bar

static const char *prog = "brindlewock-capture";
std::vector<std::string> temps;
static bool barshown;                 // the progress bar is on stderr's last line

void removetemps()
{
	for (auto &t : temps)
		unlink(t.c_str());
}

[[noreturn]] void fail(int status, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fprintf(stderr, "%s%s: ", barshown ? "\n" : "", prog);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
	va_end(ap);
	exit(status);
}

void progress(int64_t k, int64_t frames, int32_t showtime, double secs)
{
	double fps = secs > 0 ? k / secs : 0;
	double left = fps > 0 ? (frames - k) / fps : 0;
	int fill = (int)(capbarw * k / frames);
	char bar[capbarw + 1];
	for (int i = 0; i < capbarw; i++)
		bar[i] = i < fill ? '#' : '-';
	bar[capbarw] = 0;
	fprintf(stderr, "\r[%s] %lld/%lld frames  show %5.1f s  %5.1f fps  %3.0f s left ",
		bar, (long long)k, (long long)frames, showtime / 1000.0, fps, left);
	barshown = true;
}
