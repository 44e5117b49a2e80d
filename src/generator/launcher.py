"""Console-script entry points of the generate and convert commands.

Each sets up logging once, runs the command's main() and turns what escapes
it into an exit status: 0 on success, 1 with a one-line message on error
(the traceback too when -v put the log at DEBUG), 130 on Ctrl-C, 143 on SIGTERM.
A SystemExit (usage error 2, partial run 3, refused role 1) passes through unchanged.
"""

import importlib
import logging
import signal
import sys
import warnings


class Terminated(KeyboardInterrupt):
    """SIGTERM, met like Ctrl-C: files half-written are removed, existing outputs stay as they were."""


def _terminate(signum, frame):
    raise Terminated()


def _show_warning(message, category, filename, lineno, file=None, line=None):
    """A Python warning as one log line, without the interpreter's file and line."""
    logging.getLogger("generator").warning("%s", message)


def _run(command):
    from generator.log import configure_logger

    configure_logger()
    previous_handler = signal.signal(signal.SIGTERM, _terminate)
    previous_show, warnings.showwarning = warnings.showwarning, _show_warning
    try:
        main = importlib.import_module(f"generator.{command}").main
        main()
    except Terminated as err:
        print(f"{command}: terminated", file=sys.stderr)
        _print_notes(command, err)
        return 143
    except KeyboardInterrupt as err:
        print(file=sys.stderr)
        _print_notes(command, err)
        return 130
    except SystemExit:
        raise
    except Exception as err:  # every failure reaches the engineer as one clear line
        if logging.getLogger("generator").isEnabledFor(logging.DEBUG):
            logging.getLogger("generator").exception("%s failed", command)
        message = str(err) or type(err).__name__
        if isinstance(err, KeyError):
            # A bare key reads poorly alone; a sentence is already a message.
            key = err.args[0] if len(err.args) == 1 else err
            message = key if isinstance(key, str) and " " in key else f"missing key {err}"
        for note in getattr(err, "__notes__", ()):
            message += f" ({note})"
        print(f"{command}: error: {_shortened(message)}", file=sys.stderr)
        return 1
    finally:
        warnings.showwarning = previous_show
        signal.signal(signal.SIGTERM, previous_handler)
    return 0


def _print_notes(command, err):
    """What an interrupted command says about picking up, a line each."""
    for note in getattr(err, "__notes__", ()):
        print(f"{command}: {note}", file=sys.stderr)


# A message quotes what a file held; a file may hold megabytes in one value.
_LINE_LIMIT = 400


def _shortened(message):
    """The message with every overlong line cut in its middle."""
    lines = message.split("\n")
    for i, line in enumerate(lines):
        if len(line) > _LINE_LIMIT:
            left_out = len(line) - _LINE_LIMIT
            lines[i] = f"{line[:300]} ... [{left_out} characters left out] ... {line[-100:]}"
    return "\n".join(lines)


def generate():
    sys.exit(_run("generate"))


def convert():
    sys.exit(_run("convert"))
