"""The real window of netbuf (netbuf-window, which netbuf starts beside
itself) on a private X server (Xvfb): where it stands,
what each page looks like, the two controls below the pages, and "Ukryj"
without and with a tray host (trayer). The screenshots stay in the build tree
(screenshots/) for a person to look at."""

import os
import subprocess
import tempfile
import time
import unittest

from netbuf_harness import BIN, Netbuf, Pc, Xvfb, stop_process, wait_for

SHOTS = os.path.normpath(os.path.join(BIN, "..", "screenshots"))
CAPTION = "Brennik  1.6                              VARNEL"
WIDTH, HEIGHT = 586, 549
FORM_GREY = (58, 58, 58)
# Window coordinates: inside the monitor log; below the pages, clear of any
# control; the "Status" tab; "Ukryj"; the box "Zakończ i zamknij program".
IN_LOG = (65, 192)
ON_FORM = (450, 530)
STATUS_TAB = (20, 12)
UKRYJ = (293, 528)
QUIT_BOX = (15, 529)
NO_TRAY = ('netbuf: no system tray on this desktop; "Ukryj" minimises the window instead of '
           'hiding it\n')


class Shot:
    """A screenshot of the window as raw RGB."""

    def __init__(self, xvfb, window, name):
        self.path = os.path.join(SHOTS, name + ".png")
        # Taken under a name of its own and renamed when whole, so that a
        # second run in the same tree cannot read it half written.
        fd, taken = tempfile.mkstemp(suffix=".png", dir=SHOTS)
        os.close(fd)
        try:
            xvfb.run("import", "-window", window, taken)
            size = subprocess.run(["identify", "-format", "%w %h", taken], capture_output=True,
                                  text=True, timeout=20, check=True).stdout.split()
            self.width, self.height = int(size[0]), int(size[1])
            self.rgb = subprocess.run(["convert", taken, "-depth", "8", "rgb:-"],
                                      capture_output=True, timeout=20, check=True).stdout
            os.replace(taken, self.path)
        finally:
            if os.path.exists(taken):
                os.remove(taken)

    def pixel(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.rgb[i:i + 3])

    def colours(self):
        return len({self.rgb[i:i + 3] for i in range(0, len(self.rgb), 3)})

    def count(self, box, match):
        x0, y0, x1, y1 = box
        return sum(1 for y in range(y0, y1) for x in range(x0, x1) if match(self.pixel(x, y)))


class WindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(SHOTS, exist_ok=True)
        cls.x = Xvfb()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def setUp(self):
        self.nb = Netbuf()

    def tearDown(self):
        self.nb.cleanup()

    def start_window(self):
        self.nb.start(wait_port=False, display=self.x.display)
        found = wait_for(lambda: self.xdotool("search", "--onlyvisible", "--name", "^Brennik")
                         .split(), 20, 0.2)
        self.assertTrue(found, self.nb.stderr() + self.x.log())
        self.assertEqual(len(found), 1)
        return found[0]

    def xdotool(self, *args):
        return self.x.run("xdotool", *args, check=False).stdout.decode()

    def click(self, window, xy):
        self.xdotool("mousemove", "--window", window, str(xy[0]), str(xy[1]), "click", "1")

    def visible(self):
        return self.xdotool("search", "--onlyvisible", "--name", "^Brennik").split()

    def shoot_when(self, window, name, ready):
        """The screenshot once `ready` holds for it (pages repaint after the
        input that switches them); the last one taken when it never does."""
        deadline = time.monotonic() + 10
        while True:
            shot = Shot(self.x, window, name)
            if ready(shot) or time.monotonic() > deadline:
                return shot
            time.sleep(0.3)

    def test_pages_as_drawn(self):
        window = self.start_window()
        geometry = self.xdotool("getwindowgeometry", window)
        self.assertIn("Position: 226,126", geometry)
        self.assertIn("Geometry: %dx%d" % (WIDTH, HEIGHT), geometry)
        self.assertEqual(self.xdotool("getwindowname", window).rstrip("\n"), CAPTION)

        black = lambda p: p == (0, 0, 0)
        light_grey = lambda p: p[0] == p[1] == p[2] and p[0] >= 128
        # The monitor page is in front from the start; its start-up lines
        # stand light on the black log.
        log_text = (20, 45, 400, 75)
        monitor_first = self.shoot_when(
            window, "monitor-at-start",
            lambda s: black(s.pixel(*IN_LOG)) and s.count(log_text, light_grey) > 20)
        self.assertTrue(black(monitor_first.pixel(*IN_LOG)))
        self.assertGreater(monitor_first.count(log_text, light_grey), 20)

        self.click(window, STATUS_TAB)
        status = self.shoot_when(window, "status", lambda s: not black(s.pixel(*IN_LOG)))
        # The tab bar has the focus now: the arrow key walks the pages.
        self.xdotool("key", "Right")
        settings = self.shoot_when(window, "ustawienia", lambda s: s.rgb != status.rgb)
        self.xdotool("key", "Right")
        monitor = self.shoot_when(window, "monitor", lambda s: black(s.pixel(*IN_LOG)))

        for shot in (status, settings, monitor):
            name = os.path.basename(shot.path)
            self.assertEqual((shot.width, shot.height), (WIDTH, HEIGHT), name)
            self.assertGreater(shot.colours(), 8, name)
            self.assertEqual(shot.pixel(*ON_FORM), FORM_GREY, name)
        self.assertFalse(black(status.pixel(*IN_LOG)))
        self.assertTrue(black(monitor.pixel(*IN_LOG)))
        self.assertEqual(len({status.rgb, settings.rgb, monitor.rgb}), 3)

    def test_ukryj_without_and_with_a_tray_host(self):
        window = self.start_window()
        # No tray: the window stays within reach, and standard error says why, once.
        self.click(window, UKRYJ)
        self.click(window, UKRYJ)
        self.assertTrue(wait_for(lambda: NO_TRAY in self.nb.stderr(), 10, 0.1))
        self.assertEqual(self.visible(), [window])

        # A tray host started later gets the icon that was there from the start.
        tray = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                 "request", "--height", "32", "--SetDockType", "false"],
                                env=self.x.env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            icon = wait_for(lambda: [w for w in self.xdotool("search", "--onlyvisible", "--class",
                                                             "netbuf").split() if w != window],
                            15, 0.2)
            self.assertEqual(len(icon), 1, self.x.log())
            badge = self.shoot_when(icon[0], "tray-icon",
                                    lambda s: s.count((0, 0, s.width, s.height),
                                                      lambda p: p == FORM_GREY) > 50)
            self.assertGreater(badge.count((0, 0, badge.width, badge.height),
                                           lambda p: p == FORM_GREY), 50)

            # Hidden, the window is off the screen while the buffer serves on.
            self.click(window, UKRYJ)
            self.assertTrue(wait_for(lambda: not self.visible(), 10, 0.2))
            pc = Pc(self.nb.port_tcp)
            try:
                self.assertIsNotNone(pc.read_regs(3170, 1))
            finally:
                pc.close()
            self.assertTrue(self.nb.alive())
            # A click on the icon brings it back.
            self.click(icon[0], (10, 10))
            self.assertTrue(wait_for(lambda: self.visible() == [window], 10, 0.2))
        finally:
            stop_process(tray)
        self.assertEqual(self.nb.stderr().count(NO_TRAY), 1)

    def test_quit_box_ends_the_program_and_keeps_changes(self):
        window = self.start_window()
        self.assertTrue(wait_for(lambda: Netbuf.can_connect(self.nb.port_tcp), 15))
        pc = Pc(self.nb.port_tcp)
        try:
            self.assertEqual(len(pc.write_regs(3000, [0x2468])), 12)
        finally:
            pc.close()
        self.click(window, QUIT_BOX)
        self.assertTrue(wait_for(lambda: not self.nb.alive(), 15, 0.1), "still running")
        self.assertEqual(self.nb.proc.returncode, 0)
        self.assertEqual(self.nb.register_in_db(3000), 0x2468)


if __name__ == "__main__":
    unittest.main()
