"""A native Wayland window for the GNOME scenario, titled pelorin-window: each line on its input is a colour
("#rrggbb"), a size ("W H") or "full" (full screen); the end of its input closes it."""
import sys, gi  # noqa: E401
gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402

Gtk.init()
style, loop = Gtk.CssProvider(), GLib.MainLoop()
window = Gtk.Window(title="pelorin-window", decorated=False, default_width=640, default_height=400)
Gtk.StyleContext.add_provider_for_display(window.get_display(), style, Gtk.STYLE_PROVIDER_PRIORITY_USER)

def command(*_):
    words = sys.stdin.buffer.raw.readline().decode().split()  # one line: the next stays for the next call
    if not words:
        window.destroy()
        loop.quit()
    elif words[0].startswith("#"):
        style.load_from_data(f"window {{ background: {words[0]}; }}".encode())
    elif words[0] == "full":
        window.fullscreen()
    else:
        window.unfullscreen()
        window.set_default_size(int(words[0]), int(words[1]))
    return bool(words)

style.load_from_data(b"window { background: #00ff00; }")
GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, command)
window.present()
loop.run()
