// x_window: what the X server says about the installer's window, for the tests that run it
// in a real X session (Xvfb with a window manager).
//
//   x_window watch TITLE SECONDS   every 2 ms, the absolute position and size of the window's
//                                  client area, one line per change ("unmapped" when hidden)
//   x_window shot FILE [TITLE]     a PNG of the screen, or of the window with its frame
//   x_window edge X Y W H COLOUR   the share (in percent) of the straight parts of the outline
//                                  of that rectangle of the screen drawn in COLOUR (#RRGGBB):
//                                  a ring drawn round a control, whatever its rounded corners

// Qt first: Xlib defines names (Bool, Status) that Qt's headers refuse to follow.
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <X11/Xlib.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

int ignoreErrors(Display*, XErrorEvent*) {
    return 0;  // windows come and go while the tree is walked
}

std::string utf8Name(Display* display, Window window) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* value = nullptr;
    std::string name;
    if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), 0, 256,
                           False, XInternAtom(display, "UTF8_STRING", False), &type, &format,
                           &count, &after, &value) == Success &&
        value != nullptr) {
        name.assign(reinterpret_cast<char*>(value), count);
        XFree(value);
    }
    return name;
}

// The client window titled `title`, viewable or not.
Window find(Display* display, Window from, const std::string& title) {
    if (utf8Name(display, from) == title) {
        return from;
    }
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, from, &root, &parent, &children, &count)) {
        return 0;
    }
    Window found = 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        found = find(display, children[i], title);
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

// The window manager's frame around a client: its ancestor just below the root.
Window frameOf(Display* display, Window window) {
    for (;;) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count)) {
            return window;
        }
        if (children != nullptr) {
            XFree(children);
        }
        if (parent == root) {
            return window;
        }
        window = parent;
    }
}

// Looks at the window after every change the X server reports for it or for the window
// manager's frames (configure, map, unmap), and at least every 2 ms. An unmap is printed even
// when the window is mapped again before it is looked at.
int watch(Display* display, const std::string& title, double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    std::string last;
    Window window = 0;
    auto print = [&](const std::string& now) {
        if (now != last) {
            std::printf("%.3f %s\n", std::chrono::duration<double>(Clock::now() - start).count(),
                        now.c_str());
            std::fflush(stdout);
            last = now;
        }
    };
    while (std::chrono::duration<double>(Clock::now() - start).count() < seconds) {
        if (!window && (window = find(display, root, title))) {
            XSelectInput(display, window, StructureNotifyMask);
        }
        XWindowAttributes attributes;
        if (window && XGetWindowAttributes(display, window, &attributes)) {
            std::string now = "unmapped";
            if (attributes.map_state == IsViewable) {
                int x = 0, y = 0;
                Window child;
                XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child);
                now = std::to_string(x) + "," + std::to_string(y) + " " +
                      std::to_string(attributes.width) + "x" + std::to_string(attributes.height);
            }
            print(now);
        } else {
            window = 0;
        }
        // The next change, or 2 ms.
        XFlush(display);
        if (XPending(display) == 0) {
            pollfd connection{ConnectionNumber(display), POLLIN, 0};
            ::poll(&connection, 1, 2);
        }
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (window && event.type == UnmapNotify &&
                (event.xunmap.window == window ||
                 event.xunmap.window == frameOf(display, window))) {
                print("unmapped");
            }
        }
    }
    return 0;
}

int shot(int argc, char** argv, Display* display) {
    QGuiApplication app(argc, argv);
    Window window = argc > 3 ? find(display, DefaultRootWindow(display), argv[3]) : 0;
    if (argc > 3 && !window) {
        std::fprintf(stderr, "no window titled %s\n", argv[3]);
        return 1;
    }
    const QPixmap picture =
        QGuiApplication::primaryScreen()->grabWindow(window ? frameOf(display, window) : 0);
    return picture.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}

int edge(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const int x = std::atoi(argv[2]), y = std::atoi(argv[3]);
    const int width = std::atoi(argv[4]), height = std::atoi(argv[5]);
    const QColor colour = QColor::fromString(QLatin1String(argv[6]));
    const int corner = 8;  // the rounded corners are left out
    if (!colour.isValid() || width <= 2 * corner || height <= 2 * corner) {
        std::fprintf(stderr, "no rectangle, or no colour\n");
        return 2;
    }
    const QImage image =
        QGuiApplication::primaryScreen()->grabWindow(0, x, y, width, height).toImage();
    int total = 0, matching = 0;
    auto look = [&](int px, int py) {
        ++total;
        matching += image.pixelColor(px, py).rgb() == colour.rgb();
    };
    for (int px = corner; px < image.width() - corner; ++px) {
        look(px, 0);
        look(px, image.height() - 1);
    }
    for (int py = corner; py < image.height() - corner; ++py) {
        look(0, py);
        look(image.width() - 1, py);
    }
    std::printf("%d\n", total == 0 ? 0 : 100 * matching / total);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::unique_ptr<Display, int (*)(Display*)> connection(XOpenDisplay(nullptr), XCloseDisplay);
    Display* display = connection.get();
    if (display == nullptr || argc < 3) {
        std::fprintf(stderr,
                     "usage: x_window watch TITLE SECONDS | shot FILE [TITLE] |"
                     " edge X Y W H COLOUR\n");
        return 2;
    }
    XSetErrorHandler(ignoreErrors);
    const std::string command = argv[1];
    if (command == "watch" && argc == 4) {
        return watch(display, argv[2], std::atof(argv[3]));
    }
    if (command == "shot") {
        return shot(argc, argv, display);
    }
    if (command == "edge" && argc == 7) {
        return edge(argc, argv);
    }
    return 2;
}
