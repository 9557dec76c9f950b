"""The app on a session of scripts/lib/wayland.sh, its window on the stage's own X display so that it outlives
the compositor: shares through the portal's chooser, which answers what `wayland.sh choose` told it. With
"portion" the app is on the session's XWayland (PELORIN_STAGE_XWAYLAND=1) and shares a portion; with "gnome", on the
GNOME session, a display and a window.
usage: wayland_scenario.py OUT_DIR [portion|gnome]"""
import json, os, subprocess, sys, pyatspi  # noqa: E401
from app_scenario import PORTION, SHARE, ask, centres, display, ffmpeg, find, logged, out, press, stop, wait

def session(*words):
    subprocess.run(["bash", f"{os.path.dirname(__file__)}/../../scripts/lib/wayland.sh", *words], check=True)

def streams():  # the app's PipeWire streams that run, by node id
    nodes = json.loads(subprocess.run(["pw-dump"], capture_output=True, check=True).stdout)
    return {n["id"] for n in nodes if n["type"] == "PipeWire:Interface:Node" and n["info"]["state"] == "running"
            and n["info"]["props"].get("node.name") == "Pelorin"}

def shown(name, colour, earlier=None):
    """Colours the output once the app's new stream (not in earlier) runs, since a still one gets no picture."""
    earlier is None or wait("the app's new stream running", lambda: streams() - earlier)
    session("set-colour", colour, "HEADLESS-2")
    wait(f"a {name} picture", lambda: centres()[0][-1] == name)

def scenario():
    # pelorin-encoder's stored permission: the app neither replays it (a cancel stays a cancel) nor replaces it.
    subprocess.run([f"{os.environ['build']}/bin/pelorin-encoder", "--request-permission"], check=True, capture_output=True)
    token = open(token_file := f"{os.environ['work']}/state/Pelorin/portal-restore-token").read()
    # Cancelled in the chooser: the picker's cancel.
    session("choose", "")
    ask(SHARE, "135790")
    logged("status: Sélectionnez l’écran ou la fenêtre à partager.")
    logged("status: Sélection annulée.")
    # The second output at scale 2, chosen there (xdg-desktop-portal-wlr says 0,0 for its position and gives its
    # size in pixels): its 1280x720 pixels, not its 640x360 points, its colour once the stream runs, then a change.
    subprocess.run(["swaymsg", "output HEADLESS-2 scale 2"], check=True, capture_output=True)
    session("choose", "HEADLESS-2")
    ask(SHARE, "135790")
    logged("sender_launch width=1280 height=720")
    find("label", lambda name: name.startswith("Écran : Headless output"))  # the output's description
    shown("blue", "#0000ff", set())
    shown("red", "#ff0000")
    stop()
    logged("sender_exit status=0")
    seen = [p for p in centres()[0] if p in ("blue", "red")]  # sway shows its own grey while it repaints
    assert seen[0] == "blue" and seen[-1] == "red", f"the pictures are not the output's colours: {seen}"
    assert open(token_file).read() == token, "the app replaced pelorin-encoder's permission"
    # The compositor ends mid-share: the share ends with its error, the app stays and can share again.
    earlier = streams()
    ask(SHARE, "135790")
    shown("green", "#00ff00", earlier)
    session("stop-compositor")
    find("alert", "Erreur : le bureau a mis fin au partage d’écran")
    logged("sender_exit")
    find("push button", SHARE, state=pyatspi.STATE_ENABLED)
    find("menu item", "Quitter Pelorin", state=pyatspi.STATE_ENABLED).queryAction().doAction(0)

def portion():
    # sway tiles the stage's green xlogo over HEADLESS-1 once the app is on the other output; the selection window
    # floats on the focused one, where the chosen monitor's stream is cropped to it.
    find("filler", "Pelorin")
    subprocess.run(["swaymsg", '[title="^Pelorin$"] move to output HEADLESS-2, focus output HEADLESS-1'], check=True)
    session("choose", "HEADLESS-1")
    press("Partager cette portion", ask(PORTION, "654321"))
    wait("a green picture", lambda: centres()[0][-1] == "green")
    stop("portion", "green")
    for band in ("iw:4:0:0", "iw:4:0:ih-4", "4:ih:0:0", "4:ih:iw-4:0"):  # the red frame is never in the picture
        assert set(ffmpeg("-i", f"{os.environ['work']}/s.h264", "-vf", f"crop={band},scale=1:1")) == {"green"}, band
    find("menu item", "Quitter Pelorin", state=pyatspi.STATE_ENABLED).queryAction().doAction(0)

def gnome():
    """The display with the session's window full screen on it, then the window alone, shared as any window at the
    app's largest screen's size: each chosen in GNOME's own dialog."""
    for window, entry, size in (("full", "MetaVendor", "1280 height=720"),
                                ("640 400", "pelorin-window", "1920 height=1200")):
        session("window", window)
        earlier = streams()
        ask(SHARE, "135790")
        session("choose", entry)
        logged(f"sender_launch width={size}")
        shown("blue", "#0000ff", earlier)
        shown("red", "#ff0000")
        window == "full" and stop()
    # Resized narrower, the window is letterboxed into the same frame; closed, it ends the share with its error.
    band = lambda: ffmpeg("-i", f"{os.environ['work']}/s.h264", "-vf", "crop=8:ih:0:0,scale=1:1")[-1]
    session("window", "400 400")
    wait("the window letterboxed", lambda: centres()[0][-1] == "red" and band() == "black")
    session("window", "close")
    find("alert", "Erreur : la fenêtre partagée a été fermée")
    find("push button", SHARE, state=pyatspi.STATE_ENABLED)
    find("menu item", "Quitter Pelorin", state=pyatspi.STATE_ENABLED).queryAction().doAction(0)

if __name__ == "__main__":
    os.makedirs(out, exist_ok=True)
    try:
        {"portion": portion, "gnome": gnome}.get(sys.argv[2] if sys.argv[2:] else "", scenario)()
    except Exception as failure:
        subprocess.run([*f"ffmpeg -v error -y -f x11grab -i {display} -vframes 1".split(), f"{out}/failure.png"])
        sys.exit(f"FAIL: {failure!r}\n" + "".join(open(os.environ["log"], encoding="utf-8").readlines()[-30:]))
