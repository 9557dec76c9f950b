"""The Pelorin app end to end on scripts/lib/app_stage.sh, driven through its accessibility tree (AT-SPI);
XTest input only where the input is under test (the frame's drag, Ctrl+Q). usage: app_scenario.py OUT_DIR"""
import os, signal, subprocess, sys, pyatspi  # noqa: E401
sys.path.insert(0, f"{os.path.dirname(os.path.abspath(__file__))}/../../scripts/lib")
from polling import wait  # noqa: E402

SHARE, PORTION, STOP = "Partager l’écran ou une fenêtre", "Partager une portion", "Arrêter"
work, log, out, display, read_to = os.environ["work"], os.environ["log"], sys.argv[1], os.environ["DISPLAY"], 0
stream = f"{work}/stream.pln"

def find(role, name, within=None, state=pyatspi.STATE_SHOWING):
    """The accessible of that role, named name (or whose name passes it), in that state."""
    def probe():
        (desktop := pyatspi.Registry.getDesktop(0)).clearCache()
        (root := within or next(a for a in desktop if a and a.name == "Pelorin")).clearCache()
        return pyatspi.findDescendant(root, lambda a: a.getRoleName() == role and a.getState().contains(state) and (
            name(a.name) if callable(name) else a.name == name))
    return wait(f"{role} {name}", probe)

def press(name, within=None):
    find("push button", name, within, pyatspi.STATE_ENABLED).queryAction().doAction(0)

def ask(button, code, behaviour="relay"):
    """Enters the code and presses the button, for a sender of that behaviour; a portion's selection window."""
    subprocess.run(["rm", "-f", stream])
    open(f"{work}/behaviour", "w").write(behaviour)
    find("text", "Code à 6 chiffres").queryEditableText().setTextContents(code)
    press(button)
    return button == PORTION and find("filler", "Ajustez la portion à partager")

def share(entry, behaviour="relay", ready=lambda item: True):
    """Shares a portion or the picker's entry named entry (or whose name passes it) once ready."""
    if entry == PORTION:
        press("Partager cette portion", ask(PORTION, "654321", behaviour))
    else:
        ask(SHARE, "135790")
        picker = find("dialog", "Choisir le contenu à partager")
        item = find("list item", entry, find("list", "Contenus partageables", picker))
        wait(f"{item.name} ready", lambda: ready(item))
        item.queryAction().doAction(0)  # Toggle: selects it
        press("Partager", picker)
    if behaviour in ("relay", "linger"):
        wait("a record at the sender", lambda: os.path.getsize(stream))

def ffmpeg(*arguments):  # the colours of the pictures read, each cut down to a pixel, as far as told apart
    rgb = subprocess.run(["ffmpeg", "-v", "error", *arguments, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True).stdout
    return [("frame red" if r > 200 and b < 60 and 40 < g < 80 else "red" if r > 200 and g < 40 and b < 60 else
             "green" if g > 200 and r < 60 and b < 60 else "blue" if b > 200 and r < 60 else
             "grey" if min(r, g, b) > 150 else "black" if max(r, g, b) < 16 else f"{r},{g},{b}")
            for r, g, b in zip(rgb[0::3], rgb[1::3], rgb[2::3])]

def colour(x, y):  # as shown (xwd would paint the holes of shaped windows black)
    return ffmpeg(*f"-f x11grab -draw_mouse 0 -s 1x1 -grab_x {x} -grab_y {y} -i {display} -vframes 1".split())[0]

def centres():  # the centre of each picture in the whole records at the sender so far, and pelorin-probe on them
    probe = subprocess.run([f"{os.environ['build']}/bin/pelorin-probe", "--annexb", f"{work}/s.h264", stream],
                           capture_output=True, text=True)
    return ffmpeg("-i", f"{work}/s.h264", "-vf", "crop=100:100,scale=1:1"), probe

def logged(line):
    """Waits for the line in the log after the last line waited for."""
    global read_to
    text = wait(f"log line {line}", lambda: (t := open(log, encoding="utf-8").read()).find(line, read_to) >= 0 and t)
    read_to = text.index("\n", text.index(line, read_to))

def quiet(role, name):
    """The accessible of that role and name is not enabled (or not there)."""
    return not find(role, name).getState().contains(pyatspi.STATE_ENABLED)

def key(*keys):  # typed into the app's main window, which gets the focus first
    # A search dies on an X error when another window vanishes during its walk: that is no answer yet.
    window = wait("the main window", lambda: subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", "^Pelorin$"], capture_output=True, check=True).stdout.split())
    subprocess.run(["xdotool", "windowfocus", "--sync", window[0], "key", *keys], check=True)

def stop(name=None, first=None):
    """Stops the share; with a name, checks its stream, its first picture's centre first; the last one's."""
    press(STOP)
    logged("status: Partage arrêté.")
    if name:
        logged("sender_exit status=0")
        pictures, probe = centres()
        open(f"{out}/{name}_probe.txt", "w").write(probe.stdout + probe.stderr)
        assert probe.returncode == 0 and pictures[0] == first, f"{name}: {probe.stderr} first picture {pictures[0]}"
        return pictures[-1]

def scenario():
    # A bad code: the error, announced as an alert, the field focused with its text selected, and no sender.
    ask(SHARE, "12345")
    find("alert", "Erreur : le code doit contenir exactement 6 chiffres.")
    field = find("text", "Code à 6 chiffres", state=pyatspi.STATE_FOCUSED).queryText()
    assert field.getNSelections() == 1 and field.getSelection(0) == (0, 5), "the code is not selected"
    assert not os.path.exists(f"{work}/arguments"), "a sender was launched with a bad code"
    # While the picker is open no share can start over it, and Return in the code field brings it back.
    ask(SHARE, "135790")
    picker = find("dialog", "Choisir le contenu à partager")
    assert quiet("push button", PORTION), "a portion could open over the picker"
    key("Return")
    find("dialog", "Choisir le contenu à partager", state=pyatspi.STATE_ACTIVE)
    press("Annuler", picker)
    logged("status: Sélection annulée.")
    assert open(log, encoding="utf-8").read().count("Sélection annulée.") == 1, "a live picker was cancelled"
    # The first display, chosen in the picker: the sender's command line.
    share("Écran : LEFT")
    arguments = open(f"{work}/arguments").read().split()  # another run's receivers may be listed too
    assert arguments[:15] == ("--frames-stdin --pairing-code 135790 --public-ip 127.0.0.1 --tls-ca "
                              f"{work}/share/pelorin/VantrelCA.pem --width 1920 --height 1200 --fps 30 --duration 86400"
                              ).split() and f"127.0.0.1:{os.environ['port']}" in arguments[16::2], arguments
    stop("display", "red")
    # A portion: without a compositing manager the selection window is cut down to a blue edge and buttons.
    x, y, w, h = (selection := ask(PORTION, "654321")).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    wait("the selection window's edge", lambda: colour(x + 1, y + h // 2) == "blue")
    assert colour(x + 60, y + 60) == "red", f"the selection window hides what it frames: {colour(x + 60, y + 60)}"
    press("Partager cette portion", selection)
    logged("status: Appairage en cours…")
    # Dragging the frame's top edge moves the picture onto the app's window.
    wait("the portion's frame", lambda: colour(x + w // 2, y - 3) == "frame red")
    ax, ay, aw, ah = find("filler", "Pelorin").queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y - 3), "mousedown", "1", "mousemove",
                    str(ax + aw // 2), str(ay + ah // 2 - h // 2 - 3), "mouseup", "1"], check=True)
    wait("the moved picture", lambda: centres()[0][-1] == "grey")
    assert stop("portion", "red") == "grey", "the moved picture is not the app's window"
    # The sender's "error:" line, one without a line feed from a sender that goes on, one that exits with 3.
    share(PORTION, "error")
    find("alert", "Erreur : error: code refusé")
    share(PORTION, "exit")
    find("alert", "Erreur du sender (code 3).")
    # With no receiver left a confirmed selection says why and leaves no frame; so does Return.
    x, y, w, h = (selection := ask(PORTION, "654321")).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    os.kill(int(open(f"{work}/receiver.pid").read()), signal.SIGTERM)
    find("label", "Recherche d’un receiver…")
    press("Partager cette portion", selection)
    find("alert", "Recherche du receiver en cours.")
    assert colour(x + w // 2, y - 3) != "frame red", "a frame around a portion that is not shared"
    key("Return")
    logged("status failure: Recherche du receiver en cours.")
    logged("status failure: Recherche du receiver en cours.")
    subprocess.run(f"avahi-publish -s Salon _vantrel-cast._tcp {os.environ['port']} >/dev/null 2>&1 & "
                   f"echo $! >{work}/receiver.pid", shell=True, check=True)
    # A window found by its title, named under the status while shared, then its application once its
    # thumbnail shows it alone: green pictures.
    share(logo := lambda name: name.startswith("Fenêtre : pelorin-logo"))
    find("label", logo)
    assert stop("window", "green") == "green", "the last window picture is not green"
    share("Application : XLogo", ready=lambda item: colour(
        (e := item.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)).x + e.width // 2, e.y + 70) == "green")
    stop("application", "green")
    # A shared window that closes ends its share, said in French.
    share(logo)
    os.kill(int(os.environ["logo"]), signal.SIGTERM)
    find("alert", "Erreur : la fenêtre partagée a été fermée")
    # Ctrl+Q while sharing (the window is active again once the selection window went) quits after the stop;
    # a receiver appearing meanwhile changes nothing.
    share(PORTION, "linger")
    find("filler", "Pelorin", state=pyatspi.STATE_ACTIVE)
    subprocess.run(["xdotool", "key", "ctrl+q"], check=True)
    logged("status: Arrêt du partage…")
    subprocess.run(f"avahi-publish -s Cuisine _vantrel-cast._tcp {os.environ['port']} >/dev/null 2>&1 & "
                   f"echo $! >{work}/receiver2.pid", shell=True, check=True)
    logged("share_stop capture=ended")
    wait("the second receiver", lambda: b"Cuisine" in subprocess.run(
        ["avahi-browse", "-prt", "_vantrel-cast._tcp"], capture_output=True, timeout=5).stdout)
    find("label", "Arrêt du partage…")
    assert quiet("push button", SHARE), "a receiver enabled the share buttons while quitting"
    open(f"{work}/release", "w").close()
    app = f"/proc/{os.environ['app']}/stat"  # the stage's child: its status is the stage's to take
    wait("the app's end", lambda: not os.path.exists(app) or open(app).read().split(") ")[1][0] == "Z")

if __name__ == "__main__":
    subprocess.run(["sh", "-c", 'mkdir -p "$0" && rm -f "$0"/*.png "$0"/*_probe.txt', out])
    try:
        scenario()
    except Exception as failure:
        subprocess.run([*f"ffmpeg -v error -y -f x11grab -i {display} -vframes 1".split(), f"{out}/failure.png"])
        sys.exit(f"FAIL: {failure!r}\n" + "".join(open(log, encoding="utf-8").readlines()[-30:]))
