// xclose WINDOW: sends the window the WM_DELETE_WINDOW client message that a
// window manager sends when the user closes it.
#include <X11/Xlib.h>
#include <cstdlib>

int main(int argc, char **argv)
{
	if (argc != 2)
		return 2;
	Display *d = XOpenDisplay(nullptr);
	if (!d)
		return 1;
	XEvent ev = {};
	ev.xclient.type = ClientMessage;
	ev.xclient.window = strtoul(argv[1], nullptr, 0);
	ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
	ev.xclient.format = 32;
	ev.xclient.data.l[0] = XInternAtom(d, "WM_DELETE_WINDOW", False);
	ev.xclient.data.l[1] = CurrentTime;
	int ok = XSendEvent(d, ev.xclient.window, False, NoEventMask, &ev);
	XCloseDisplay(d);
	return ok ? 0 : 1;
}
