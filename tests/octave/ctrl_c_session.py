#!/usr/bin/python3
"""Ctrl-C in a real Octave session, driven as a user drives it.

Starts an interactive octave-cli under a pseudo-terminal, makes a reference
call, then starts 20 long calls (the bundled image tiled 2 x 2, tol = 0, some
seconds each) and types Ctrl-C into the terminal in the middle of each: most
once the pursuit has started (its banner has appeared), some as soon as the
command line is entered, while Octave converts the input cells or the call has
just begun. Checks that every call ends without a result and without an error
message, that the prompt comes back within 0.2 s of the Ctrl-C (median of the
20; none beyond 1 s), that Octave's resident memory stays flat across the
calls once the memory the module keeps for its next call is given back
(tilevista_release_memory after the 5th call and after the last: what an
interrupted call keeps depends on how far it got, and a warm call gets further
in the same time), and that the reference call made again afterwards gives the same
outputs, and that Octave then exits normally. Exits with status 1 on the first
failed check.

The module is the one in MODULE_DIR: TILEVISTA_Mex.oct, the Octave function
file, or else TILEVISTA_Mex.mex; the session checks that it runs that file.

Usage: tests/octave/ctrl_c_session.py [MODULE_DIR]   (default build/octave)
"""
import fcntl
import os
import pty
import re
import select
import signal
import statistics
import struct
import sys
import tempfile
import termios
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CALLS = 20
EARLY_CALLS = {2, 9, 16}    # Ctrl-C as soon as the command line is entered
PROMPT = b"TVP> "           # set in two pieces, so that the command's echo does not match
PROMPT_SECONDS = 0.2
MAX_PROMPT_SECONDS = 1.0
RSS_GROWTH_BYTES = 32 << 20


class Session:
    """An interactive octave-cli on the slave side of a pseudo-terminal."""

    def __init__(self, inputrc):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ["TERM"] = "dumb"
            os.environ["INPUTRC"] = inputrc
            # Wide enough that readline echoes every command on one line.
            fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 1000, 0, 0))
            os.execvp("octave-cli", ["octave-cli", "--no-gui", "--norc", "--quiet",
                                     "--no-history"])
        self.pending = b""
        self.transcript = b""

    def send(self, text):
        os.write(self.fd, text.encode() if isinstance(text, str) else text)

    def enter(self, line):
        """Types a command line and waits until Octave has read all of it (its echo
        ends the line), so that what follows is the command's own output."""
        self.send(line + "\n")
        self.expect(re.escape(line[-16:].encode()) + rb"\r\n", 60)

    def expect(self, pattern, timeout):
        """Reads until pattern matches; returns (time of the match, text up to it)."""
        deadline = time.monotonic() + timeout
        while True:
            match = re.search(pattern, self.pending)
            if match:
                seen = time.monotonic()
                text, self.pending = self.pending[:match.end()], self.pending[match.end():]
                return seen, text
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                fail("no %r within %g s; the terminal shows:\n%s"
                     % (pattern, timeout, self.tail()))
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                fail("Octave ended; the terminal shows:\n" + self.tail())
            self.pending += chunk
            self.transcript += chunk

    def command(self, text, timeout=120):
        """Runs one command line and returns what it printed before the prompt."""
        self.enter(text)
        return self.expect(re.escape(PROMPT), timeout)[1]

    def value(self, name, expression, timeout=120):
        """Prints NAME=<the expression's value> and returns the value, an integer."""
        text = self.command("printf('%%s=%%d\\n', '%s', %s);" % (name, expression), timeout)
        found = re.search(re.escape(name.encode()) + rb"=(-?\d+)\r?\n", text)
        if not found:
            fail("no %s value in:\n%s" % (name, text.decode(errors="replace")))
        return int(found.group(1))

    def resident_bytes(self):
        with open("/proc/%d/status" % self.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        fail("no VmRSS for Octave")

    def tail(self):
        return self.transcript[-2000:].decode(errors="replace")


def fail(message):
    print("ctrl_c_session: FAILED: " + message)
    sys.exit(1)


def main():
    module_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                                 os.path.join(ROOT, "build", "octave"))
    module = next((os.path.join(module_dir, "TILEVISTA_Mex" + extension)
                   for extension in (".oct", ".mex")
                   if os.path.isfile(os.path.join(module_dir, "TILEVISTA_Mex" + extension))), None)
    if module is None:
        fail("no TILEVISTA_Mex.oct or TILEVISTA_Mex.mex in " + module_dir)
    # Readline as a user has it, except that a typed closing bracket does not
    # pause to show its match: that would only slow the typing down.
    inputrc = tempfile.NamedTemporaryFile("w", suffix=".inputrc")
    inputrc.write("set blink-matching-paren off\n")
    inputrc.flush()
    octave = Session(inputrc.name)
    try:
        octave.send("PS1(['TVP' '> ']); more off;\n")
        octave.expect(rb"more off;\r\n", 60)
        octave.expect(re.escape(PROMPT), 60)
        octave.command("addpath('%s'); addpath('%s');"
                       % (os.path.join(ROOT, "octave"), module_dir))
        octave.command(
            "img = double(imread('%s')); [b, info] = tilevista_blocks(repmat(img, 2, 2), 8, 8); "
            "D = tilevista_cosine_dictionary(8, 16); tolRef = tilevista_tol_for_psnr(img, 40, 255); "
            "R = cell(1, 7); evalc('[R{1:7}] = TILEVISTA_Mex(b, D, D, tolRef);');"
            % os.path.join(ROOT, "data", "camera.png"))
        if octave.value("READY", "R{7}") <= 0:
            fail("the reference call took no atom")
        if octave.value("MODULE", "strcmp(which('TILEVISTA_Mex'), '%s')" % module) != 1:
            fail("the session does not run " + module)

        delays, resident, released = [], [], []
        for call in range(CALLS):
            octave.enter("clear o; o = cell(1, 7); [o{1:7}] = TILEVISTA_Mex(b, D, D, 0);")
            if call not in EARLY_CALLS:
                octave.expect(rb"algorithm stops if max", 60)  # the pursuit has begun
                time.sleep(0.3)
            sent = time.monotonic()
            octave.send(b"\x03")
            seen, text = octave.expect(re.escape(PROMPT), 60)
            delays.append(seen - sent)
            if b"error" in text or b"reached (tol)" in text or b"stopped" in text:
                fail("call %d did not end as an interrupt:\n%s" % (call + 1, text.decode()))
            if octave.value("DONE", "exist('o', 'var') && ! isempty(o{7})") != 0:
                fail("call %d returned its outputs" % (call + 1))
            resident.append(octave.resident_bytes())
            if call in (4, CALLS - 1):
                octave.command("tilevista_release_memory;")
                released.append(octave.resident_bytes())

        octave.command("S = cell(1, 7); evalc('[S{1:7}] = TILEVISTA_Mex(b, D, D, tolRef);');")
        equal = octave.value("EQUAL", "isequal(R, S)")
        octave.send("exit\n")
        _, status = os.waitpid(octave.pid, 0)
    finally:
        try:
            os.kill(octave.pid, signal.SIGKILL)
            os.waitpid(octave.pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass

    median = statistics.median(delays)
    growth = released[1] - released[0]
    print("ctrl_c_session: %s" % module)
    print("ctrl_c_session: %d interrupted calls; prompt back after Ctrl-C: median %.3f s, "
          "max %.3f s; resident memory with the kept memory released %.0f MB after the 5th, "
          "%+.1f MB after the last" % (CALLS, median, max(delays), released[0] / 2**20, growth / 2**20))
    if median > PROMPT_SECONDS:
        fail("the prompt came back %.3f s after Ctrl-C (median), more than %g s"
             % (median, PROMPT_SECONDS))
    if max(delays) > MAX_PROMPT_SECONDS:
        fail("one prompt came back only %.3f s after Ctrl-C" % max(delays))
    if growth > RSS_GROWTH_BYTES:
        fail("resident memory grew by %.1f MB over the interrupted calls (MB after each: %s; "
             "released after the 5th and the last: %s)"
             % (growth / 2**20, [round(r / 2**20) for r in resident],
                [round(r / 2**20) for r in released]))
    if equal != 1:
        fail("the call after the interrupted ones differs from the one before them")
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        fail("Octave did not exit normally after the calls (status %d)" % status)
    print("ctrl_c_session: passed")


if __name__ == "__main__":
    main()
