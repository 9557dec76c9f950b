"""Answers GNOME's share dialog (xdg-desktop-portal-gnome) as a user would, through its accessibility tree: picks
the monitor or window named NAME and presses Share; without a name, presses Cancel. usage: gnome_dialog.py [NAME]"""
import sys, pyatspi  # noqa: E401
from polling import wait

def poll(what, probe):  # the dialog shows, then its lists fill in: each look starts from a fresh tree
    try:
        return wait(what, lambda: desktop.clearCache() or probe())
    except AssertionError as failure:
        sys.exit(f"gnome_dialog.py: {failure}")

def find(role, name, within, state=pyatspi.STATE_SENSITIVE):  # GTK marks none of the dialog's pages as showing
    return poll(f"{role} {name}", lambda: pyatspi.findDescendant(within, lambda a: (
        a.getRoleName() == role and a.name.endswith(name) and a.getState().contains(state))))

desktop = pyatspi.Registry.getDesktop(0)
portal = poll("the portal", lambda: next(a for a in desktop if a.name == "xdg-desktop-portal-gnome"))
dialog = find("frame", "Screen Share", portal, pyatspi.STATE_SHOWING)
if sys.argv[1:]:
    # The monitors are listed as the dialog shows, the windows only once their own page is shown.
    page = find("panel", "Entire Screen", dialog)
    find("list item", "", page)
    if not pyatspi.findDescendant(page, lambda a: a.getRoleName() == "list item" and a.name == sys.argv[1]):
        find("page tab", "Single Window", dialog).queryAction().doAction(0)
        page = find("panel", "Single Window", dialog)
    entry = find("list item", sys.argv[1], page)
    entry.parent.querySelection().selectChild(entry.getIndexInParent())
    find("list item", sys.argv[1], page, pyatspi.STATE_SELECTED)
find("push button", "Share" if sys.argv[1:] else "Cancel", dialog).queryAction().doAction(0)
