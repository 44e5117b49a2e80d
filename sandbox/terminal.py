"""Run a command with a real pseudo-terminal as its controlling terminal.

The generate command reads the controller password with getpass, which talks
to the controlling terminal, not to standard input. This runs a command as an
engineer would at a terminal and types the password at every password prompt,
while its standard output and standard error are captured apart.
"""

import fcntl
import os
import selectors
import struct
import subprocess
import termios
import time
from dataclasses import dataclass, field

PROMPT_END = b"password:"


@dataclass
class TerminalRun:
    returncode: int
    stdout: str
    stderr: str
    terminal: str  # what the command wrote to the terminal: the prompts
    prompts: int  # how many password prompts were answered
    argv: list = field(default_factory=list)


def run_with_password(argv, password, env=None, cwd=None, timeout=300, stderr_at_terminal=False):
    """Run `argv`, typing `password` at each prompt ending in "password:".

    `stderr_at_terminal`: standard error goes to the terminal too (as in an interactive
    session, where the log and the live progress line are shown), not to a pipe of its own."""
    master, slave = os.openpty()
    # A terminal window has a size; programs that draw a line to fit it (tqdm) draw nothing at 0x0.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))

    def _take_terminal():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    proc = subprocess.Popen(
        argv,
        stdin=slave,
        stdout=subprocess.PIPE,
        stderr=slave if stderr_at_terminal else subprocess.PIPE,
        env=env,
        cwd=cwd,
        preexec_fn=_take_terminal,
        close_fds=True,
    )
    os.close(slave)
    chunks = {"stdout": [], "stderr": [], "terminal": []}
    pending = b""  # terminal text since the last answered prompt
    prompts = 0
    sel = selectors.DefaultSelector()
    sel.register(master, selectors.EVENT_READ, "terminal")
    sel.register(proc.stdout, selectors.EVENT_READ, "stdout")
    open_pipes = 1
    if proc.stderr is not None:
        sel.register(proc.stderr, selectors.EVENT_READ, "stderr")
        open_pipes = 2
    deadline = time.monotonic() + timeout
    try:
        while open_pipes or proc.poll() is None:
            if time.monotonic() > deadline:
                proc.kill()
                raise TimeoutError(f"{argv[0]} did not finish within {timeout} s")
            for key, _ in sel.select(timeout=0.2):
                fd = key.fileobj if isinstance(key.fileobj, int) else key.fileobj.fileno()
                try:
                    data = os.read(fd, 65536)
                except OSError:  # the terminal reports EIO once the command has ended
                    data = b""
                if not data:
                    sel.unregister(key.fileobj)
                    open_pipes -= key.data != "terminal"
                    continue
                chunks[key.data].append(data)
                if key.data == "terminal":
                    pending += data
                    if pending.rstrip().endswith(PROMPT_END):
                        os.write(master, password.encode() + b"\n")
                        prompts += 1
                        pending = b""
        proc.wait()
        while master in [key.fileobj for key, _ in sel.select(timeout=0.5)]:  # the terminal's last words
            try:
                data = os.read(master, 65536)
            except OSError:
                break
            if not data:
                break
            chunks["terminal"].append(data)
    finally:
        sel.close()
        os.close(master)
        for stream in (proc.stdout, proc.stderr):
            if stream is not None:
                stream.close()
        if proc.poll() is None:  # given up on (time-out, interruption): never left running
            proc.kill()
        proc.wait()
    text = {name: b"".join(parts).decode(errors="replace") for name, parts in chunks.items()}
    return TerminalRun(proc.returncode, text["stdout"], text["stderr"], text["terminal"], prompts, list(argv))
