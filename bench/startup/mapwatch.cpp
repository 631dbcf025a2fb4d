// Waits on an X display for a top-level window with a given title to be mapped (shown), and
// prints the moment it happened. Used by full-bench.sh to time the program's start.
//
//   mapwatch <title> <timeout seconds>
//
// Prints "ready" once it is listening, then, when a window titled <title> is mapped as a child of
// the root window (as top-level windows are on a display without a window manager), the
// wall-clock time of that event in seconds since the epoch, to the microsecond. Exit status 1
// on a timeout or without a display.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string titleOf(Display *display, Window window)
{
    XTextProperty property;
    std::string title;
    if (XGetWMName(display, window, &property) && property.value) {
        title.assign(reinterpret_cast<const char *>(property.value), property.nitems);
        XFree(property.value);
    }
    return title;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <title> <timeout seconds>\n", argv[0]);
        return 2;
    }
    const std::string wanted = argv[1];
    const double deadline = now() + std::atof(argv[2]);
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "mapwatch: cannot open the display\n");
        return 1;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);
    std::printf("ready\n");
    std::fflush(stdout);

    const int fd = ConnectionNumber(display);
    while (now() < deadline) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != MapNotify)
                continue;
            const double when = now();
            if (titleOf(display, event.xmap.window) == wanted) {
                std::printf("%.6f\n", when);
                XCloseDisplay(display);
                return 0;
            }
        }
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, int((deadline - now()) * 1000) + 1);
    }
    std::fprintf(stderr, "mapwatch: no window titled \"%s\" was shown in time\n", wanted.c_str());
    XCloseDisplay(display);
    return 1;
}
