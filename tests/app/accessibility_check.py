#!/usr/bin/python3
"""Reads Kelvoma's window over AT-SPI as a screen reader does.

    accessibility_check.py --title TITLE --tool NAME --tree FILE [--limit SECONDS]

First the window as it stands: it is a frame named TITLE; no two focusable
controls share an accessible name; every panel holding controls is named by
the tool whose name label it holds, and described. Then it prints "READY" and
watches the progress bar in NAME's row while an installation runs: its value
must rise, then the bar must go. The row's tree, read while the bar shows a
value, is written to FILE. Exit status 0 when all holds, 1 with the reason.
"""

import argparse
import sys
import time

import pyatspi


def fail(reason):
    print("FAIL: " + reason, file=sys.stderr)
    sys.exit(1)


def children(node):
    return [node.getChildAtIndex(i) for i in range(node.childCount)]


def descendants(node):
    for child in children(node):
        if child is not None:
            yield child
            yield from descendants(child)


def has(node, state):
    return node.getState().contains(state)


def application(name, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        for each in children(pyatspi.Registry.getDesktop(0)):
            if each is not None and each.name == name:
                return each
        time.sleep(0.2)
    fail("no application %r on the accessibility bus" % name)


def check_window(app, title):
    frames = [c for c in children(app) if c.getRole() == pyatspi.ROLE_FRAME and c.name == title]
    if not frames:
        roles = [(c.getRoleName(), c.name) for c in children(app)]
        fail("no frame named %r among %r" % (title, roles))
    window = frames[0]
    named = {}
    for node in descendants(window):
        if has(node, pyatspi.STATE_FOCUSABLE):
            if not node.name:
                fail("a focusable %s has no name" % node.getRoleName())
            if node.name in named:
                fail("two focusable controls are named %r" % node.name)
            named[node.name] = node
        if node.getRole() == pyatspi.ROLE_PANEL and any(
                has(c, pyatspi.STATE_FOCUSABLE) for c in children(node)):
            labels = [c.name for c in children(node) if c.getRole() == pyatspi.ROLE_LABEL]
            if node.name not in labels:
                fail("a row panel is named %r, not by the tool it shows (%r)" % (node.name, labels))
            if not node.description:
                fail("the row of %r has no description" % node.name)
    return window


def row_of(window, tool):
    for node in descendants(window):
        if node.getRole() == pyatspi.ROLE_PANEL and node.name == tool:
            return node
    fail("no panel named %r" % tool)


def bar_of(row):
    for child in children(row):
        if child.getRole() == pyatspi.ROLE_PROGRESS_BAR:
            return child
    return None


def shown(node):
    return node is not None and has(node, pyatspi.STATE_SHOWING)


def tree_text(node, depth=0):
    line = "%s%s %r" % ("  " * depth, node.getRoleName(), node.name)
    if node.description:
        line += " description=%r" % node.description
    if node.getRole() == pyatspi.ROLE_PROGRESS_BAR:
        value = node.queryValue()
        line += " value=%g of %g" % (value.currentValue, value.maximumValue)
    if has(node, pyatspi.STATE_FOCUSABLE):
        line += " focusable"
    return "\n".join([line] + [tree_text(c, depth + 1) for c in children(node) if c is not None])


def watch_progress(window, tool, limit, tree_path):
    values = []
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        row = row_of(window, tool)
        bar = bar_of(row)
        if shown(bar):
            value = bar.queryValue()
            if value.maximumValue > 0:
                if not values or value.currentValue != values[-1]:
                    values.append(value.currentValue)
                if len(values) == 2:
                    with open(tree_path, "w") as out:
                        out.write(tree_text(row) + "\n")
        elif values:
            if values != sorted(values) or len(values) < 2:
                fail("the bar's values did not rise: %r" % values)
            print("values %r, then the bar went" % values, file=sys.stderr)
            return
        time.sleep(0.1)
    fail("no rising progress followed by the bar's end within %gs; values %r" % (limit, values))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--title", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--tree", required=True)
    parser.add_argument("--limit", type=float, default=60)
    options = parser.parse_args()
    window = check_window(application("Kelvoma", options.limit), options.title)
    if shown(bar_of(row_of(window, options.tool))):
        fail("a progress bar shows before any installation")
    print("READY", flush=True)
    watch_progress(window, options.tool, options.limit, options.tree)


if __name__ == "__main__":
    main()
