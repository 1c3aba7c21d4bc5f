#!/usr/bin/env python3
"""A seeded random soak of the real window program; run it in tests/ui/in-x-session.

Two windows on one book are typed into, killed with SIGKILL at random moments (also while keys are
arriving, while a close asks or while the restore question waits), ended by signals, closed and
started again with random answers, while the book flips read-only, another program appends to it
and, as root, the disks of the book's folder and of the state folder fill up and empty again. Then
every line typed must be in the book, a version of its history, a text kept apart or a recovery
copy, unless a crash came within the allowance of docs/reliability.md (two seconds after it was
typed, or five while typing went on). SOAK_SEED=N replays a run's choices, SOAK_MINUTES=M (3) sets
its length.
As root the windows run as user 1501, in a mount namespace of the soak's own. Exit status 0:
nothing lost; 1: a line lost or a window that failed, with the seed and every step; 2: the soak
itself could not go on.
"""

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
# The allowance of docs/reliability.md; SLACK is the machine's share (keys on their way, a copy
# being written) and LINE the longest a line takes to type.
QUIET, MAX_WAIT, SLACK, LINE = 2.0, 5.0, 1.5, 1.0
TIMEOUT = 30.0
DELAY = "30"  # milliseconds between keys
WORDS = ["rent", "lunch", "bus", "coffee", "stamps", "taxi", "books", "gift", "fee", "repair"]
# Keys that answer boxes; Return follows when one did nothing (a message has only OK). Never
# Alt+W: closing without saving loses text by the user's own choice.
START_KEYS = ["alt+r", "alt+k", "Return", "Escape"]
CLOSE_KEYS = ["alt+o", "alt+k", "alt+d", "Return", "Escape"]


class SoakTrouble(Exception):
    """The soak itself cannot go on (a window that never shows or never ends)."""


def xdotool(*args: str) -> Optional[str]:
    try:
        done = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return None
    return done.stdout if done.returncode == 0 else None


def visible(pid: int) -> list[str]:
    found = xdotool("search", "--all", "--onlyvisible", "--pid", str(pid), "--name", ".")
    return found.split() if found else []


def title(window_id: str) -> str:
    return (xdotool("getwindowname", window_id) or "").strip()


def active() -> str:
    return (xdotool("getactivewindow") or "").strip()


def activate(window_id: str) -> bool:
    deadline = time.monotonic() + TIMEOUT / 3
    while time.monotonic() < deadline:
        if active() == window_id:
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
    window: str  # the run of a window it went to: "A3" is window A's third start
    end: float
    exempt: str = ""  # why a crash may have lost it
    uncertain: bool = False  # a box or another window may have taken its keys


@dataclass
class Window:
    name: str
    proc: Optional[subprocess.Popen] = None
    run: str = ""
    main: str = ""
    starts: int = 0
    last_typing: float = -1e9
    gone: bool = False  # its end was seen

    def alive(self) -> bool:
        return self.proc is not None and self.proc.poll() is None


class Soak:
    def __init__(self, program: str, seed: int) -> None:
        # Actions and answers come from generators of their own, so that boxes that come or not
        # with the machine's timing do not change the actions that follow.
        self.rng, self.answers = random.Random(seed), random.Random(seed + 1)
        self.seed, self.root, self.t0 = seed, os.geteuid() == 0, time.monotonic()
        self.steps: list[str] = []
        self.lines: list[Line] = []
        self.appended: list[str] = []
        self.faults: list[str] = []
        self.full: set[str] = set()
        self.snapshots: set[tuple] = set()
        self.counter = 0
        self.windows = [Window("A"), Window("B")]
        self.dir = tempfile.mkdtemp(prefix="tallivan-soak-")
        os.chmod(self.dir, 0o755)
        self.program = os.path.join(self.dir, "tallivan")
        shutil.copy(program, self.program)
        self.home = self.folder("home", 0o700)
        # A runtime folder for each window: with one for both, a second window would bring the
        # first to the front instead of opening (one window per book for each login).
        self.runtime = {w.name: self.folder(f"runtime-{w.name}", 0o700) for w in self.windows}
        self.snap = self.folder("snapshots", 0o700)
        shared = self.rng.random() < 0.5  # then texts are kept apart in the state folder
        self.books = self.folder("books", 0o777 if shared else 0o755, tmpfs=True)
        self.state = self.folder("state", 0o700, tmpfs=True)
        self.book = os.path.join(self.books, "book")
        with open(self.book, "wb") as out:
            out.write(le("opening [100]\r\n#"))
        self.own(self.book)
        self.step(f"the book's folder is {'shared (0777)' if shared else 'private (0755)'}")

    def folder(self, name: str, mode: int, tmpfs: bool = False) -> str:
        path = os.path.join(self.dir, name)
        os.mkdir(path, mode)
        if tmpfs and self.root:
            subprocess.run(["mount", "-t", "tmpfs", "-o", f"size=4m,mode={mode:o},uid={USER},"
                            f"gid={USER}", "tmpfs", path], check=True)
        os.chmod(path, mode)
        self.own(path)
        return path

    def own(self, path: str) -> None:
        if self.root:
            os.chown(path, USER, USER)

    def now(self) -> float:
        return time.monotonic() - self.t0

    def step(self, what: str) -> None:
        self.steps.append(f"{self.now():8.2f}  {what}")
        if os.environ.get("SOAK_VERBOSE"):
            print(self.steps[-1], flush=True)

    # --- the windows ---------------------------------------------------------------------------

    def start(self, window: Window, kill_early: bool = False) -> None:
        window.starts += 1
        window.run, window.last_typing, window.gone = f"{window.name}{window.starts}", -1e9, False
        command = [self.program, "--book", self.book]
        if self.root:
            command = ["setpriv", f"--reuid={USER}", f"--regid={USER}", "--clear-groups", "--"] + \
                      command
        env = dict(os.environ, HOME=self.home, XDG_STATE_HOME=self.state, LC_ALL="C",
                   XDG_RUNTIME_DIR=self.runtime[window.name], QT_QPA_PLATFORM="xcb")
        with open(os.path.join(self.dir, f"stderr-{window.run}"), "wb") as log:
            window.proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                                           stderr=log, cwd=self.home)
        self.step(f"start {window.run}")
        deadline = time.monotonic() + TIMEOUT
        while not (mains := [w for w in visible(window.proc.pid) if title(w).startswith(CAPTION)]):
            if time.monotonic() > deadline or not window.alive():
                raise SoakTrouble(f"{window.run} never showed its window")
            time.sleep(0.1)
        window.main = mains[0]
        if kill_early:  # while it asks about the copies it found, or just after it restored one
            time.sleep(self.rng.uniform(0.0, 1.5))
            self.end(window, signal.SIGKILL)
        else:
            self.settle(window, START_KEYS)

    def boxes(self, window: Window) -> list[str]:
        return [w for w in visible(window.proc.pid) if w != window.main] if window.alive() else []

    def answer(self, window: Window, boxes: list[str], keys: list[str]) -> None:
        """Answers the box in front (a box may open over another one)."""
        key = self.answers.choice(keys)
        for attempt in (key, "Return", "Return"):
            box = active() if active() in boxes else next(
                (b for b in reversed(boxes) if activate(b)), None)
            if box is not None:
                name = title(box)
                xdotool("key", "--delay", DELAY, attempt)
                self.step(f"{window.run}: box {name!r} answered with {attempt}")
                deadline = time.monotonic() + 1.5
                while box in self.boxes(window) and time.monotonic() < deadline:
                    time.sleep(0.05)
            boxes = self.boxes(window)
            if not boxes or box is not None and box not in boxes:
                return
        raise SoakTrouble(f"{window.run}: its boxes do not go")

    def settle(self, window: Window, keys: list[str]) -> None:
        """Answers boxes until the window is alone and active for a while, or has ended."""
        quiet, deadline = None, time.monotonic() + 4 * TIMEOUT
        while window.alive():
            if time.monotonic() > deadline:
                raise SoakTrouble(f"{window.run} never settled")
            if boxes := self.boxes(window):
                self.answer(window, boxes, keys)
                quiet = None
            elif active() != window.main:
                activate(window.main)
                quiet = None
            elif quiet is None:
                quiet = time.monotonic()
            elif time.monotonic() - quiet > 0.7:
                return
            time.sleep(0.1)

    def ready(self, window: Window) -> bool:
        """Answers what the window showed of its own accord (copies that cannot be written)."""
        if self.boxes(window):
            self.settle(window, START_KEYS)
        return window.alive() and activate(window.main)

    def new_line(self) -> str:
        self.counter += 1
        a, b = self.rng.randint(1, 99), self.rng.randint(0, 99)
        amount = self.rng.choice([f"{a}", f"{a}.{b:02d}", f"{a % 9 + 2} {b}.5"])
        return f"t{self.counter:05d} {self.rng.choice(WORDS)} [{amount}]"

    def type_line(self, window: Window) -> None:
        if not self.ready(window):
            return
        text = self.new_line()
        xdotool("key", "--delay", DELAY, "ctrl+End", "Return")
        xdotool("type", "--delay", DELAY, text)
        line = Line(text, window.run, self.now())
        window.last_typing = line.end
        line.uncertain = bool(self.boxes(window)) or active() != window.main
        self.lines.append(line)
        self.step(f"{window.run}: typed {text!r}{' (uncertain)' if line.uncertain else ''}")

    def recalculate(self, window: Window) -> None:
        if self.ready(window):
            xdotool("key", "--delay", DELAY, "ctrl+End", "Return", "numbersign", "F1")
            window.last_typing = self.now()
            self.step(f"{window.run}: typed '#' and F1")

    def kill_while_typing(self, window: Window) -> None:
        if not self.ready(window):
            return
        text = self.new_line()
        xdotool("key", "--delay", DELAY, "ctrl+End", "Return")
        typist = subprocess.Popen(["xdotool", "type", "--delay", DELAY, text])
        time.sleep(self.rng.uniform(0.05, 0.03 * len(text)))
        typist.kill()
        typist.wait()
        # A key held down by the killed typist would stay down, and its next press be lost.
        names = {" ": "space", "[": "bracketleft", "]": "bracketright", ".": "period"}
        xdotool("keyup", *sorted({names.get(c, c) for c in text}))
        self.lines.append(Line(text, window.run, self.now()))
        window.last_typing = self.now()
        self.step(f"{window.run}: typing {text!r}, cut short")
        self.end(window, signal.SIGKILL)

    def exempt(self, window: Window, at: float) -> None:
        """Marks what a crash of `window` at `at` may lose."""
        going_on = at - window.last_typing < QUIET + SLACK
        for line in self.lines:
            if line.window == window.run and not line.exempt and (
                    line.end > at - QUIET - SLACK or
                    going_on and line.end > at - MAX_WAIT - LINE - SLACK):
                line.exempt = f"typed {at - line.end:.2f} s before {window.run} was killed"

    def end(self, window: Window, how: int) -> None:
        log = os.path.join(self.dir, f"stderr-{window.run}")
        told = os.path.getsize(log)
        os.kill(window.proc.pid, how)
        at = self.now()
        self.step(f"{window.run}: {signal.Signals(how).name}")
        deadline = time.monotonic() + TIMEOUT
        while how != signal.SIGKILL and window.alive() and time.monotonic() < deadline:
            with open(log, "rb") as said:
                said.seek(told)
                if b"could not be kept" in said.read():  # nowhere to keep it: it stays open
                    return self.step(f"{window.run}: stays open, its text could not be kept")
            time.sleep(0.1)
        self.ended(window)
        if how == signal.SIGKILL:
            self.exempt(window, at)

    def ended(self, window: Window) -> None:
        try:
            window.proc.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            shown = [title(w) for w in visible(window.proc.pid)]
            stacks = subprocess.run(["gdb", "-p", str(window.proc.pid), "-batch", "-ex",
                                     "thread apply all bt"], capture_output=True, text=True,
                                    timeout=120).stdout if shutil.which("gdb") else ""
            self.faults.append(f"{window.run} did not end; it shows {shown}\n{stacks}")
            self.step(f"{window.run}: SIGKILL, as it did not end")
            window.proc.kill()
            window.proc.wait(timeout=TIMEOUT)
            self.exempt(window, self.now())
        window.gone = True
        if window.proc.returncode not in (0, -signal.SIGKILL):
            self.faults.append(f"{window.run} ended with exit status {window.proc.returncode}")

    def watch(self) -> None:
        """A window that ended though nothing ended it crashed."""
        for window in self.windows:
            if window.proc is not None and not window.gone and window.proc.poll() is not None:
                self.faults.append(f"{window.run} ended by itself ({window.proc.returncode})")
                self.exempt(window, self.now())
                window.gone = True

    def close(self, window: Window, keys: list[str], kill_at_question: float = 0.0) -> None:
        """Alt+F4, answering what the window asks; perhaps a SIGKILL instead of an answer."""
        if not self.ready(window):
            return
        xdotool("key", "--delay", DELAY, "alt+F4")
        self.step(f"{window.run}: Alt+F4")
        quiet, deadline = None, time.monotonic() + 4 * TIMEOUT
        while window.alive():
            if time.monotonic() > deadline:
                raise SoakTrouble(f"{window.run} neither closed nor stayed open")
            if boxes := self.boxes(window):
                if self.answers.random() < kill_at_question:
                    return self.end(window, signal.SIGKILL)
                self.answer(window, boxes, keys)
                quiet = None
            elif quiet is None:
                quiet = time.monotonic()
            elif time.monotonic() - quiet > 2.0:
                return self.step(f"{window.run}: stays open")
            time.sleep(0.1)
        self.ended(window)
        self.step(f"{window.run}: closed")

    # --- the book and the disks ----------------------------------------------------------------

    def append(self) -> None:
        # Not on a full disk, which could cut the line short, nor, for a user other than root, to
        # a read-only book.
        if "books" not in self.full and os.access(self.book, os.W_OK):
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
        if which not in self.full:
            with open(os.path.join(getattr(self, which), ".filler"), "wb", buffering=0) as out:
                try:
                    while out.write(bytes(65536)):
                        pass
                except OSError as error:
                    if error.errno != errno.ENOSPC:
                        raise
            self.full.add(which)
            self.step(f"the disk of {which} is full")

    def free(self, which: str) -> None:
        os.remove(os.path.join(getattr(self, which), ".filler"))
        self.full.discard(which)
        self.step(f"the disk of {which} has room again")

    def snapshot_history(self) -> None:
        """Copies each version the history holds, which a later save may prune."""
        history = self.book + ".history"
        for name in os.listdir(history) if os.path.isdir(history) else []:
            try:
                st = os.stat(os.path.join(history, name))
                key = (name, st.st_ino, st.st_size, st.st_mtime_ns)
                if key not in self.snapshots:
                    shutil.copyfile(os.path.join(history, name),
                                    os.path.join(self.snap, f"{len(self.snapshots):05d}-{name}"))
                    self.snapshots.add(key)
            except FileNotFoundError:
                pass

    # --- the run -------------------------------------------------------------------------------

    def act(self) -> None:
        self.watch()
        running = [w for w in self.windows if w.alive()]
        stopped = [w for w in self.windows if not w.alive()]
        choices = {"type": 40, "recalculate": 5, "kill": 5, "crash": 3, "kill while typing": 4,
                   "close": 8, "terminate": 3, "read-only": 5, "append": 5, "pause": 8,
                   "start": 15 if stopped else 0}
        if self.root:
            choices.update({"fill books": 2, "fill state": 2, "free": 4 if self.full else 0})
        action = self.rng.choices(list(choices), list(choices.values()))[0] if running else "start"
        window = self.rng.choice(running) if running else None
        if action == "start":
            self.start(self.rng.choice(stopped), kill_early=self.rng.random() < 0.15)
        elif action == "type":
            self.type_line(window)
        elif action == "recalculate":
            self.recalculate(window)
        elif action == "kill":
            self.end(window, signal.SIGKILL)
        elif action == "crash":  # of the desktop: every window at once
            for each in running:
                self.end(each, signal.SIGKILL)
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
            self.free(self.rng.choice(sorted(self.full)))

    def run(self, minutes: float) -> int:
        print(f"soak: seed {self.seed}, {minutes:g} minutes, folder {self.dir}", flush=True)
        if not self.root:
            print("soak: not root, so no disk fills up (mounting a tmpfs needs root)", flush=True)
        deadline, actions = time.monotonic() + minutes * 60, 0
        while time.monotonic() < deadline:
            self.act()
            self.snapshot_history()
            actions += 1
            time.sleep(self.rng.uniform(0.3, 1.2))
        # At the end, room on every disk, a writable book, and every window started once more,
        # so that copies are offered, and closed.
        for which in sorted(self.full):
            self.free(which)
        os.chmod(self.book, os.stat(self.book).st_mode | 0o200)
        for window in self.windows:
            if not window.alive():
                self.start(window)
        for window in self.windows:
            for _ in range(5):
                if window.alive():
                    self.close(window, ["alt+k", "alt+o", "Return"])
            if window.alive():
                self.end(window, signal.SIGTERM)
        self.watch()
        self.snapshot_history()
        return self.check(actions)

    def check(self, actions: int) -> int:
        texts = {}
        for folder, _, names in os.walk(self.dir):
            for name in names:
                path = os.path.join(folder, name)
                if name == ".filler" or path == self.program:
                    continue
                with open(path, "rb") as source:
                    data = source.read()
                if name.startswith("stderr-"):
                    said = data.decode("utf-8", errors="replace")
                    if "Sanitizer" in said or "runtime error:" in said:
                        self.faults.append(f"{name[7:]} said on standard error:\n{said}")
                else:
                    texts[path] = data[: len(data) // 2 * 2].decode("utf-16-le", errors="replace")
        kinds = {"the book": lambda p: p == self.book, "the history": lambda p: "history" in p or
                 p.startswith(self.snap), "texts kept apart": lambda p: ".unsaved-" in p,
                 "recovery copies": lambda p: "/recovery-" in p}
        where = dict.fromkeys(kinds, 0)
        lost = []
        checked = [line.text for line in self.lines if not line.exempt and not line.uncertain]
        for text in checked + self.appended:
            found = [p for p, content in texts.items() if text in content]
            kind = next((k for k, test in kinds.items() if any(map(test, found))), None)
            if kind:
                where[kind] += 1
            else:
                lost.append(text)
        print(f"soak: seed {self.seed}: {actions} actions, {len(self.lines)} lines typed "
              f"({sum(bool(l.exempt) for l in self.lines)} within a crash's allowance, "
              f"{sum(l.uncertain for l in self.lines)} uncertain), {len(self.appended)} appended "
              f"by another program, {sum(w.starts for w in self.windows)} starts; found in "
              + ", ".join(f"{k}: {n}" for k, n in where.items()))
        if not lost and not self.faults:
            print(f"soak: seed {self.seed}: nothing lost")
            return 0
        for fault in self.faults:
            print(f"soak: seed {self.seed}: {fault}")
        for text in lost:
            line = next((l for l in self.lines if l.text == text), None)
            print(f"soak: seed {self.seed}: LOST {text!r}, " +
                  (f"typed into {line.window} until {line.end:.2f}" if line else "appended"))
        print("soak: the steps:\n" + "\n".join(self.steps))
        evidence = os.path.abspath(f"soak-evidence-{self.seed}")
        shutil.copytree(self.dir, evidence, dirs_exist_ok=True, ignore=lambda folder, names: [
            n for n in names if n == ".filler" or os.path.join(folder, n) == self.program])
        print(f"soak: the files are kept in {evidence}")
        return 1

    def cleanup(self) -> None:
        for window in self.windows:
            if window.alive():
                window.proc.kill()
                window.proc.wait()
        if self.root:
            subprocess.run(["umount", self.books, self.state], check=False)
        shutil.rmtree(self.dir, ignore_errors=True)


def main() -> int:
    if len(sys.argv) != 2 or not os.environ.get("DISPLAY"):
        print("usage: in-x-session soak.py PROGRAM (the window program, tallivan)",
              file=sys.stderr)
        return 2
    if os.geteuid() == 0 and not os.environ.get("SOAK_NAMESPACE"):
        # Mounts made in a mount namespace of the soak's own go with it, whatever ends it.
        os.environ["SOAK_NAMESPACE"] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable,
                              *sys.argv])
    seed = int(os.environ.get("SOAK_SEED") or random.SystemRandom().randrange(1, 1 << 31))
    soak = Soak(sys.argv[1], seed)
    try:
        return soak.run(float(os.environ.get("SOAK_MINUTES") or 3))
    except SoakTrouble as trouble:
        print(f"soak: seed {seed}: the soak could not go on: {trouble}\n" + "\n".join(soak.steps))
        return 2
    finally:
        soak.cleanup()


if __name__ == "__main__":
    sys.exit(main())
