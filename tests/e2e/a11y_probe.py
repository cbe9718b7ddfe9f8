#!/usr/bin/env python3
"""What a screen reader finds of the installer's window, read over the accessibility bus.

  a11y_probe.py tree                 the window's tree, one element a line: role, name, states
  a11y_probe.py expect STATE [ERROR] waits (a minute at most) for the view's elements to be
                                     exactly those of STATE (failed, installing, installed;
                                     ERROR: a regular expression for the failed state's
                                     text), every one showing; prints the tree, or why not
  a11y_probe.py focused              the name of the element with the keyboard focus
  a11y_probe.py extents NAME         where the button NAME is on the screen: X Y WIDTH HEIGHT
  a11y_probe.py listen FILE          appends "alert TEXT" to FILE for every alert that comes
                                     to show, as a screen reader hears of it, until killed
"""
import re
import sys
import time

import pyatspi

APP = "安装Tessuro"

# The view's elements in each state, top to bottom: (role, name, children). ERROR stands
# for the failed state's text.
ERROR = object()
STATES = {
    "failed": [
        ("image", "Tessuro", []),
        ("label", "安装Tessuro", []),
        ("alert", ERROR, [("label", ERROR, [])]),
        ("push button", "重试安装", []),
        ("push button", "改为安装到我的应用程序", []),
    ],
    "installing": [
        ("image", "Tessuro", []),
        ("label", "安装Tessuro", []),
        ("label", "正在安装…", []),
        ("progress bar", "正在安装…", []),
    ],
    "installed": [
        ("image", "安装成功", []),
        ("label", "安装成功", []),
        ("push button", "立即启动", []),
    ],
}


def application():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == APP:
            return app
    return None


def states(node):
    return {pyatspi.stateToString(s) for s in node.getState().getStates()}


def describe(node, depth=0):
    """The tree below and including node, one line per element."""
    shown = sorted(states(node) & {"showing", "focused", "focusable", "enabled", "active"})
    lines = ["  " * depth + f"[{node.getRoleName()}] {node.name!r} {' '.join(shown)}".rstrip()]
    for child in node:
        if child is not None:
            lines.extend(describe(child, depth + 1))
    return lines


def elements(node):
    return [c for c in node if c is not None]


def mismatch(app, state, error):
    """Why the window is not in the state, or None when it is."""
    if app is None:
        return f"no application named {APP} on the accessibility bus"
    frames = elements(app)
    if len(frames) != 1 or frames[0].getRoleName() != "frame" or frames[0].name != APP:
        return f"expected one frame named {APP}"
    views = elements(frames[0])
    if len(views) != 1:
        return "expected the frame to hold the view alone"

    def compare(node, expected, path):
        found = elements(node)
        if len(found) != len(expected):
            return f"{path}: {len(found)} elements, expected {len(expected)}"
        for child, (role, name, below) in zip(found, expected):
            where = f"{path}/{child.getRoleName()}"
            if child.getRoleName() != role:
                return f"{where}: expected {role}"
            if name is ERROR:
                if not re.fullmatch(error, child.name):
                    return f"{where}: {child.name!r} does not match {error!r}"
            elif child.name != name:
                return f"{where}: named {child.name!r}, expected {name!r}"
            if not {"showing", "visible"} <= states(child):
                return f"{where}: in the tree but not shown"
            if role == "push button" and "enabled" not in states(child):
                return f"{where}: shown but disabled"
            reason = compare(child, below, where)
            if reason:
                return reason
        return None

    return compare(views[0], STATES[state], "view")


def expect(state, error=".+"):
    deadline = time.monotonic() + 60
    while True:
        app = application()
        try:
            reason = mismatch(app, state, error)
            tree = describe(app) if app is not None else []
        except Exception as e:  # the window changed while it was read
            reason, tree = f"read while changing: {e}", []
        if reason is None:
            print("\n".join(tree))
            return 0
        if time.monotonic() > deadline:
            print(f"not {state}: {reason}")
            print("\n".join(tree))
            return 1
        time.sleep(0.05)


def find(node, predicate):
    if predicate(node):
        return node
    for child in elements(node):
        found = find(child, predicate)
        if found is not None:
            return found
    return None


def listen(path):
    out = open(path, "a", encoding="utf-8")

    def heard(event):
        if event.detail1 == 1 and event.source.getRoleName() == "alert":
            out.write(f"alert {event.source.name}\n")
            out.flush()

    pyatspi.Registry.registerEventListener(heard, "object:state-changed:showing")
    out.write("listening\n")
    out.flush()
    pyatspi.Registry.start()


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "tree" and len(argv) == 2:
        app = application()
        if app is None:
            print(f"no application named {APP}")
            return 1
        print("\n".join(describe(app)))
        return 0
    if command == "expect" and len(argv) in (3, 4) and argv[2] in STATES:
        return expect(*argv[2:])
    if command == "focused" and len(argv) == 2:
        app = application()
        node = app and find(app, lambda n: "focused" in states(n))
        print(node.name if node is not None else "")
        return 0
    if command == "extents" and len(argv) == 3:
        app = application()
        node = app and find(
            app, lambda n: n.getRoleName() == "push button" and n.name == argv[2])
        if node is None:
            print(f"no button named {argv[2]}")
            return 1
        box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        print(box.x, box.y, box.width, box.height)
        return 0
    if command == "listen" and len(argv) == 3:
        listen(argv[2])
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
