"""The GNOME session's window (wayland.sh), a native Wayland client titled pelorin-window, told what to do by
lines written to the FIFO it is given: a colour ("#rrggbb"), a size ("W H"), "full" (full screen) or "close"."""
import os, sys, gi  # noqa: E401
gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402

Gtk.init()
style, loop = Gtk.CssProvider(), GLib.MainLoop()
window = Gtk.Window(title="pelorin-window", decorated=False, default_width=640, default_height=400)
Gtk.StyleContext.add_provider_for_display(window.get_display(), style, Gtk.STYLE_PROVIDER_PRIORITY_USER)
# Opened for writing too, so that the input never ends between two writers; unbuffered, so that a line left
# unread waits in the FIFO for the next call.
lines = os.fdopen(os.open(sys.argv[1], os.O_RDWR), "rb", buffering=0)

def command(*_):
    words = lines.readline().decode().split()
    if words == ["close"]:
        window.destroy()
        loop.quit()
    elif words[0].startswith("#"):
        style.load_from_data(f"window {{ background: {words[0]}; }}".encode())
    elif words == ["full"]:
        window.fullscreen()
    else:
        window.unfullscreen()
        window.set_default_size(int(words[0]), int(words[1]))
    return words != ["close"]

style.load_from_data(b"window { background: #000000; }")
GLib.io_add_watch(lines.fileno(), GLib.IO_IN, command)
window.present()
loop.run()
