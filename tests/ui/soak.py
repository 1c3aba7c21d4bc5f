#!/usr/bin/env python3
"""A seeded random soak of the real window program in an X session (run it in tests/ui/in-x-session).

Two windows on one book are typed into (lines with amounts, now and then a subtotal line and F1),
killed with SIGKILL at random moments, also while keys are still arriving or while a close asks,
ended by termination signals, closed with random answers, and started again with the restore
question answered at random; meanwhile the book flips read-only, another program appends lines to
it, and (as root) the disks of the book and of the state folder fill up and are freed. A model of
every line typed then checks that nothing is lost that was typed longer ago than the README allows
before a crash (two seconds, or five of typing without a pause of two): each line must be in the
book, a version of its history, a text kept apart or a recovery copy.

  SOAK_SEED=N      the seed (default: a new one, printed)
  SOAK_MINUTES=M   how long to go on before the final closes and the check (default 3)

As root, the windows run as user 1501, the book's folder and the state folder are small tmpfs
mounts in a mount namespace of the soak's own, and the keys of the windows' boxes are answered as
that user would. Without root the disks never fill, and that is said at the start. Exit status 0:
nothing lost; 1: a loss, with the seed and every step; 2: the soak itself could not go on.
"""

import argparse
import errno
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Optional

CAPTION = "Tallivan v1.01"
USER = 1501
# What the README lets a crash lose: the last two seconds of typing, or, while typing goes on
# without a pause of two seconds, the last five. SLACK is the machine's share (keys still on
# their way, a copy being written); LINE is the longest a line takes to type.
QUIET = 2.0
MAX_WAIT = 5.0
SLACK = 1.5
LINE = 1.5
TIMEOUT = 30.0
KEY_DELAY_MS = "30"
WORDS = ["rent", "lunch", "bus", "coffee", "stamps", "taxi", "books", "gift", "fee", "repair"]
# Keys that answer a box; which of them mean something depends on the box, and Return follows
# when the first did nothing (a message has only OK). Never Alt+W: closing without saving loses
# text by the user's own choice.
START_KEYS = ["alt+r", "alt+k", "Return", "Escape"]
CLOSE_KEYS = ["alt+o", "alt+k", "alt+d", "Return", "Escape"]


class SoakTrouble(Exception):
    """The soak itself cannot go on (a window that never shows, an X tool that fails)."""


def xdotool(*args: str) -> Optional[str]:
    try:
        done = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None
    return done.stdout if done.returncode == 0 else None


def visible_windows(pid: int) -> list[str]:
    found = xdotool("search", "--all", "--onlyvisible", "--pid", str(pid), "--name", ".")
    return found.split() if found else []


def title_of(window_id: str) -> str:
    return (xdotool("getwindowname", window_id) or "").strip()


def active_window() -> str:
    return (xdotool("getactivewindow") or "").strip()


def activate(window_id: str) -> bool:
    deadline = time.monotonic() + TIMEOUT / 3
    while time.monotonic() < deadline:
        if active_window() == window_id:
            time.sleep(0.1)
            return True
        xdotool("windowactivate", window_id)
        time.sleep(0.05)
    return False


def le(text: str) -> bytes:
    return text.encode("utf-16-le")


@dataclass
class Line:
    text: str
    window: str  # the instance it was typed into ("A3": window A, third start)
    start: float
    end: float
    exempt: str = ""  # why a crash may have lost it
    uncertain: str = ""  # why the keys may have gone elsewhere


@dataclass
class Window:
    name: str
    proc: Optional[subprocess.Popen] = None
    instance: str = ""
    main: str = ""
    starts: int = 0
    last_typing: float = -1e9  # when keys that change the text last went to this instance
    gone: bool = False  # its end was seen

    def alive(self) -> bool:
        return self.proc is not None and self.proc.poll() is None


class Soak:
    def __init__(self, program: str, seed: int, minutes: float) -> None:
        # The actions come from one generator and the answers to boxes from another, so that
        # boxes that come or not with the machine's timing do not change the actions that follow.
        self.rng = random.Random(seed)
        self.answers = random.Random(seed + 1)
        self.seed = seed
        self.minutes = minutes
        self.root = os.geteuid() == 0
        self.t0 = time.monotonic()
        self.steps: list[str] = []
        self.lines: list[Line] = []
        self.appended: list[str] = []
        self.counter = 0
        self.full: set[str] = set()
        self.faults: list[str] = []
        self.snapshots: dict[tuple, str] = {}
        self.windows = [Window("A"), Window("B")]
        self.dir = tempfile.mkdtemp(prefix="tallivan-soak-")
        os.chmod(self.dir, 0o755)
        self.program = os.path.join(self.dir, "tallivan")
        shutil.copy(program, self.program)
        os.chmod(self.program, 0o755)
        self.home = self.folder("home", 0o700)
        self.runtime = self.folder("runtime", 0o700)
        self.snap = os.path.join(self.dir, "snapshots")
        os.mkdir(self.snap, 0o700)
        shared = self.rng.random() < 0.5
        self.books = self.folder("books", 0o777 if shared else 0o755, tmpfs=True)
        self.state = self.folder("state", 0o700, tmpfs=True)
        self.book = os.path.join(self.books, "book")
        with open(self.book, "wb") as out:
            out.write(le("opening [100]\r\n#"))
        self.own(self.book)
        self.step(f"the book's folder is {'shared (0777)' if shared else 'private (0755)'}")

    def folder(self, name: str, mode: int, tmpfs: bool = False) -> str:
        path = os.path.join(self.dir, name)
        os.mkdir(path, 0o700)
        if tmpfs and self.root:
            subprocess.run(["mount", "-t", "tmpfs", "-o",
                            f"size=4m,mode={mode:o},uid={USER},gid={USER}", "tmpfs", path],
                           check=True)
        else:
            os.chmod(path, mode)
            self.own(path)
        return path

    def own(self, path: str) -> None:
        if self.root:
            os.chown(path, USER, USER)

    def now(self) -> float:
        return time.monotonic() - self.t0

    def step(self, what: str) -> None:
        line = f"{self.now():8.2f}  {what}"
        self.steps.append(line)
        if os.environ.get("SOAK_VERBOSE"):
            print(line, flush=True)

    # --- the windows -------------------------------------------------------------------------

    def environment(self) -> dict:
        env = dict(os.environ)
        env.update(HOME=self.home, XDG_STATE_HOME=self.state, XDG_RUNTIME_DIR=self.runtime,
                   QT_QPA_PLATFORM="xcb", LC_ALL="C")
        return env

    def start(self, window: Window, kill_early: bool = False) -> None:
        window.starts += 1
        window.instance = f"{window.name}{window.starts}"
        window.last_typing = -1e9
        window.gone = False
        log = open(os.path.join(self.dir, f"stderr-{window.instance}"), "wb")
        command = [self.program, "--book", self.book]
        if self.root:
            command = ["setpriv", f"--reuid={USER}", f"--regid={USER}", "--clear-groups", "--",
                       *command]
        window.proc = subprocess.Popen(command, env=self.environment(), stdout=subprocess.DEVNULL,
                                       stderr=log, cwd=self.home)
        self.step(f"start {window.instance} (pid {window.proc.pid})")
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline and window.alive():
            mains = [w for w in visible_windows(window.proc.pid) if title_of(w).startswith(CAPTION)]
            if mains:
                window.main = mains[0]
                break
            time.sleep(0.1)
        else:
            raise SoakTrouble(f"{window.instance} never showed its window")
        if kill_early:
            # Killed while it asks about the copies it found, or just after it restored one.
            time.sleep(self.rng.uniform(0.0, 1.5))
            self.end(window, signal.SIGKILL)
            return
        self.settle(window, START_KEYS)

    def boxes(self, window: Window) -> list[str]:
        if not window.alive():
            return []
        return [w for w in visible_windows(window.proc.pid) if w != window.main]

    def answer(self, window: Window, boxes: list[str], keys: list[str]) -> None:
        """Answers one of `boxes`: the one in front (a box may open over another one)."""
        key = self.answers.choice(keys)
        for attempt in (key, "Return", "Return"):
            active = active_window()
            box = active if active in boxes else next(
                (b for b in reversed(boxes) if activate(b)), None)
            if box is None:
                boxes = self.boxes(window)
                if not boxes:
                    return
                continue
            title = title_of(box)
            xdotool("key", "--delay", KEY_DELAY_MS, attempt)
            self.step(f"{window.instance}: box {title!r} answered with {attempt}")
            deadline = time.monotonic() + 1.5
            while time.monotonic() < deadline:
                if box not in self.boxes(window):
                    return
                time.sleep(0.05)
            boxes = self.boxes(window)
        if self.boxes(window):
            raise SoakTrouble(f"{window.instance}: its boxes do not go")

    def settle(self, window: Window, keys: list[str]) -> None:
        """Answers boxes until the window is alone and active for a while (or has ended)."""
        quiet_since = None
        deadline = time.monotonic() + 4 * TIMEOUT
        while window.alive():
            if time.monotonic() > deadline:
                raise SoakTrouble(f"{window.instance} never settled")
            boxes = self.boxes(window)
            if boxes:
                self.answer(window, boxes, keys)
                quiet_since = None
                continue
            if active_window() != window.main:
                activate(window.main)
                quiet_since = None
                continue
            if quiet_since is None:
                quiet_since = time.monotonic()
            elif time.monotonic() - quiet_since > 0.7:
                return
            time.sleep(0.1)

    def new_line(self) -> str:
        self.counter += 1
        word = self.rng.choice(WORDS)
        amount = self.rng.choice([f"{self.rng.randint(1, 999)}",
                                  f"{self.rng.randint(1, 99)}.{self.rng.randint(0, 99):02d}",
                                  f"{self.rng.randint(2, 9)} {self.rng.randint(1, 50)}.5"])
        return f"t{self.counter:05d} {word} [{amount}]"

    def ready(self, window: Window) -> bool:
        """Answers what the window shows of its own accord (a warning that copies cannot be
        written), and activates it; whether it is there to be typed into."""
        if self.boxes(window):
            self.settle(window, START_KEYS)
        return window.alive() and activate(window.main)

    def type_line(self, window: Window) -> None:
        if not self.ready(window):
            return
        text = self.new_line()
        start = self.now()
        xdotool("key", "--delay", KEY_DELAY_MS, "ctrl+End", "Return")
        xdotool("type", "--delay", KEY_DELAY_MS, text)
        line = Line(text, window.instance, start, self.now())
        window.last_typing = line.end
        # A box that came up meanwhile (a warning of copies that cannot be written) took keys.
        if self.boxes(window) or active_window() != window.main:
            line.uncertain = "a box or another window took the focus"
        self.lines.append(line)
        self.step(f"{window.instance}: typed {text!r}{' (uncertain)' if line.uncertain else ''}")

    def recalculate(self, window: Window) -> None:
        if not self.ready(window):
            return
        xdotool("key", "--delay", KEY_DELAY_MS, "ctrl+End", "Return", "numbersign", "F1")
        window.last_typing = self.now()
        self.step(f"{window.instance}: typed '#' and F1")

    def exempt(self, window: Window, at: float) -> None:
        """Marks what a crash of `window` at `at` may lose."""
        burst = at - window.last_typing < QUIET + SLACK
        for line in self.lines:
            if line.window != window.instance or line.exempt:
                continue
            if line.end > at - QUIET - SLACK:
                line.exempt = f"typed {at - line.end:.2f} s before {window.instance} was killed"
            elif burst and line.end > at - MAX_WAIT - LINE - SLACK:
                line.exempt = f"typed {at - line.end:.2f} s before {window.instance} was killed " \
                              "while typing went on"

    def end(self, window: Window, how: int) -> None:
        os.kill(window.proc.pid, how)
        at = self.now()
        self.step(f"{window.instance}: {signal.Signals(how).name}")
        self.wait_end(window)
        if how == signal.SIGKILL:
            self.exempt(window, at)
        else:
            self.ended(window)

    def wait_end(self, window: Window) -> None:
        try:
            window.proc.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            raise SoakTrouble(f"{window.instance} did not end")
        window.gone = True

    def ended(self, window: Window) -> None:
        """A window that ended by itself (closed, or a termination signal) ends well."""
        if window.proc.returncode != 0:
            self.faults.append(f"{window.instance} ended with exit status {window.proc.returncode}")

    def watch(self) -> None:
        """A window that ended though nothing ended it crashed: what it held may be lost."""
        for window in self.windows:
            if window.proc is not None and window.proc.poll() is not None and not window.gone:
                self.faults.append(f"{window.instance} ended by itself with exit status "
                                   f"{window.proc.returncode}")
                self.exempt(window, self.now())
            window.gone = window.proc is not None and window.proc.poll() is not None

    def kill_while_typing(self, window: Window) -> None:
        if not self.ready(window):
            return
        text = self.new_line()
        xdotool("key", "--delay", KEY_DELAY_MS, "ctrl+End", "Return")
        start = self.now()
        typist = subprocess.Popen(["xdotool", "type", "--delay", KEY_DELAY_MS, text])
        time.sleep(self.rng.uniform(0.05, 0.03 * len(text)))
        typist.kill()
        typist.wait()
        # A key the typist held down when it was killed would stay down, and the next press of it
        # would be lost.
        names = {" ": "space", "[": "bracketleft", "]": "bracketright", ".": "period"}
        xdotool("keyup", *sorted({names.get(c, c) for c in text}))
        self.lines.append(Line(text, window.instance, start, self.now()))
        window.last_typing = self.now()
        self.step(f"{window.instance}: typing {text!r}, cut short")
        self.end(window, signal.SIGKILL)

    def close(self, window: Window, keys: list[str], kill_at_question: float = 0.0) -> None:
        """Alt+F4, answering what the window asks; perhaps a SIGKILL instead of an answer."""
        if not self.ready(window):
            return
        xdotool("key", "--delay", KEY_DELAY_MS, "alt+F4")
        self.step(f"{window.instance}: Alt+F4")
        quiet_since = None
        while window.alive():
            boxes = self.boxes(window)
            if boxes:
                if self.answers.random() < kill_at_question:
                    self.end(window, signal.SIGKILL)
                    return
                self.answer(window, boxes, keys)
                quiet_since = None
            elif quiet_since is None:
                quiet_since = time.monotonic()
            elif time.monotonic() - quiet_since > 2.0:
                self.step(f"{window.instance}: stays open")
                return
            time.sleep(0.1)
        window.gone = True
        self.step(f"{window.instance}: closed (exit {window.proc.returncode})")
        self.ended(window)

    # --- the book and the disks --------------------------------------------------------------

    def append(self) -> None:
        if "books" in self.full:
            return
        self.counter += 1
        text = f"x{self.counter:05d} outside [{self.rng.randint(1, 99)}]"
        with open(self.book, "ab") as out:
            out.write(le("\r\n" + text))
        self.appended.append(text)
        self.step(f"another program appends {text!r}")

    def flip_read_only(self) -> None:
        mode = os.stat(self.book).st_mode & 0o777
        os.chmod(self.book, mode | 0o200 if mode & 0o222 == 0 else mode & ~0o222)
        self.step(f"the book is now {oct(os.stat(self.book).st_mode & 0o777)}")

    def fill(self, which: str) -> None:
        if not self.root or which in self.full:
            return
        path = os.path.join(getattr(self, which), ".filler")
        with open(path, "wb", buffering=0) as out:
            chunk = bytes(65536)
            try:
                while out.write(chunk):
                    pass
            except OSError as error:
                if error.errno != errno.ENOSPC:
                    raise
        self.full.add(which)
        self.step(f"the disk of {which} is full")

    def free(self, which: str) -> None:
        if which not in self.full:
            return
        os.remove(os.path.join(getattr(self, which), ".filler"))
        self.full.discard(which)
        self.step(f"the disk of {which} has room again")

    def snapshot_history(self) -> None:
        history = self.book + ".history"
        if not os.path.isdir(history):
            return
        for name in os.listdir(history):
            path = os.path.join(history, name)
            try:
                st = os.stat(path)
            except FileNotFoundError:
                continue
            key = (name, st.st_ino, st.st_size, st.st_mtime_ns)
            if key not in self.snapshots:
                target = os.path.join(self.snap, f"{len(self.snapshots):05d}-{name}")
                shutil.copyfile(path, target)
                self.snapshots[key] = target

    # --- the run -----------------------------------------------------------------------------

    def act(self) -> None:
        self.watch()
        running = [w for w in self.windows if w.alive()]
        stopped = [w for w in self.windows if not w.alive()]
        choices = [(40, "type"), (5, "recalculate"), (8, "kill"), (5, "kill while typing"),
                   (8, "close"), (3, "terminate"), (5, "read-only"), (5, "append"), (6, "pause"),
                   (15 if stopped else 0, "start")]
        if self.root:
            choices += [(2, "fill books"), (2, "fill state"), (4, "free")]
        if not running:
            choices = [(1, "start")]
        action = self.rng.choices([c[1] for c in choices], [c[0] for c in choices])[0]
        window = self.rng.choice(running) if running else None
        if action == "start":
            self.start(self.rng.choice(stopped), kill_early=self.rng.random() < 0.15)
        elif action == "type":
            self.type_line(window)
        elif action == "recalculate":
            self.recalculate(window)
        elif action == "kill":
            self.end(window, signal.SIGKILL)
        elif action == "kill while typing":
            self.kill_while_typing(window)
        elif action == "close":
            self.close(window, CLOSE_KEYS, kill_at_question=0.2)
        elif action == "terminate":
            self.end(window, self.rng.choice([signal.SIGTERM, signal.SIGHUP, signal.SIGINT]))
        elif action == "read-only":
            self.flip_read_only()
        elif action == "append":
            self.append()
        elif action == "pause":
            time.sleep(self.rng.uniform(1.0, 4.0))
        elif action.startswith("fill"):
            self.fill(action.split()[1])
        elif action == "free":
            if self.full:
                self.free(self.rng.choice(sorted(self.full)))

    def finish(self) -> None:
        """Frees the disks and the book, starts every window once more and closes them all."""
        for which in sorted(self.full):
            self.free(which)
        os.chmod(self.book, os.stat(self.book).st_mode | 0o200)
        self.step("final: disks freed, the book writable")
        for window in self.windows:
            if not window.alive():
                self.start(window)
        for window in self.windows:
            for _ in range(5):
                if not window.alive():
                    break
                self.close(window, ["alt+k", "alt+o", "Return"])
            if window.alive():
                self.end(window, signal.SIGTERM)
        self.snapshot_history()

    def run(self) -> int:
        print(f"soak: seed {self.seed}, {self.minutes:g} minutes, folder {self.dir}", flush=True)
        if not self.root:
            print("soak: not root, so no disk fills up (tmpfs needs root)", flush=True)
        deadline = time.monotonic() + self.minutes * 60
        actions = 0
        while time.monotonic() < deadline:
            self.act()
            self.snapshot_history()
            actions += 1
            time.sleep(self.rng.uniform(0.3, 1.2))
        self.finish()
        return self.check(actions)

    def corpus(self) -> dict[str, str]:
        texts = {}
        for folder, _, names in os.walk(self.dir):
            for name in names:
                path = os.path.join(folder, name)
                if name == ".filler" or name.startswith("stderr-") or path == self.program:
                    continue
                with open(path, "rb") as source:
                    data = source.read()
                texts[path] = data[: len(data) // 2 * 2].decode("utf-16-le", errors="replace")
        return texts

    def kind(self, path: str) -> str:
        name = os.path.basename(path)
        if path == self.book:
            return "the book"
        if path.startswith(self.snap) or ".history" in path:
            return "the history"
        if ".unsaved-" in name:
            return "a text kept apart"
        if name.startswith("recovery-"):
            return "a recovery copy"
        return "elsewhere"

    def check(self, actions: int) -> int:
        texts = self.corpus()
        where: dict[str, int] = {}
        lost = []
        checked = [line for line in self.lines if not line.exempt and not line.uncertain]
        for text in [line.text for line in checked] + self.appended:
            found = [path for path, content in texts.items() if text in content]
            if not found:
                lost.append(text)
                continue
            kinds = {self.kind(path) for path in found}
            best = next(k for k in ("the book", "a text kept apart", "a recovery copy",
                                    "the history", "elsewhere") if k in kinds)
            where[best] = where.get(best, 0) + 1
        left = [p for p in texts if os.path.basename(p).startswith("recovery-")]
        for name in sorted(os.listdir(self.dir)):
            if name.startswith("stderr-"):
                with open(os.path.join(self.dir, name), "rb") as log:
                    said = log.read().decode("utf-8", errors="replace")
                if "Sanitizer" in said or "runtime error:" in said:
                    self.faults.append(f"{name[7:]} reported on standard error:\n{said}")
        print(f"soak: seed {self.seed}: {actions} actions, {len(self.lines)} lines typed "
              f"({sum(bool(l.exempt) for l in self.lines)} within the crash allowance, "
              f"{sum(bool(l.uncertain) for l in self.lines)} uncertain), "
              f"{len(self.appended)} appended by another program; starts: "
              + ", ".join(f"{w.name} {w.starts}" for w in self.windows))
        print("soak: found in " + ", ".join(f"{k}: {n}" for k, n in sorted(where.items())))
        if left:
            print(f"soak: recovery copies left after the final closes: {left}")
        if not lost and not self.faults:
            print(f"soak: seed {self.seed}: nothing lost")
            return 0
        for fault in self.faults:
            print(f"soak: seed {self.seed}: {fault}")
        if lost:
            print(f"soak: seed {self.seed}: LOST {len(lost)} line(s):")
        for text in lost:
            info = next((l for l in self.lines if l.text == text), None)
            print(f"  {text!r}" + (f" typed into {info.window} at {info.start:.2f}-{info.end:.2f}"
                                    if info else " appended by another program"))
        print("soak: the steps:")
        print("\n".join(self.steps))
        evidence = os.path.abspath(f"soak-evidence-{self.seed}")
        shutil.copytree(self.dir, evidence, dirs_exist_ok=True,
                        ignore=lambda folder, names: [
                            n for n in names
                            if n == ".filler" or os.path.join(folder, n) == self.program])
        print(f"soak: the files are kept in {evidence}")
        return 1

    def cleanup(self) -> None:
        for window in self.windows:
            if window.alive():
                window.proc.kill()
                window.proc.wait()
        for which in (self.books, self.state):
            if self.root:
                subprocess.run(["umount", which], check=False)
        shutil.rmtree(self.dir, ignore_errors=True)


def in_own_mount_namespace() -> None:
    """As root, goes on in a mount namespace of its own, so that its mounts go with it."""
    if os.geteuid() != 0 or os.environ.get("SOAK_NAMESPACE"):
        return
    os.environ["SOAK_NAMESPACE"] = "1"
    os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable,
                          *sys.argv])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program", help="the window program, tallivan")
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        print("soak: needs an X session (tests/ui/in-x-session)", file=sys.stderr)
        return 2
    in_own_mount_namespace()
    seed = int(os.environ.get("SOAK_SEED") or random.SystemRandom().randrange(1, 1 << 31))
    minutes = float(os.environ.get("SOAK_MINUTES") or 3)
    soak = Soak(args.program, seed, minutes)
    try:
        return soak.run()
    except SoakTrouble as trouble:
        print(f"soak: seed {seed}: the soak could not go on: {trouble}")
        print("\n".join(soak.steps))
        return 2
    finally:
        soak.cleanup()


if __name__ == "__main__":
    sys.exit(main())
