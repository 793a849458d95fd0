"""How the command fails: one line on stderr and an exit status for what it was given or
met (the package's refusals, files, memory), and for anything else, a fault of the
package, its traceback and one line saying that it is one and what to send.

Exit status: 0 when done; 2 for a value it cannot use (one line naming the option,
quoting the value and saying what is valid; nothing written); 1 when the work fails (a
file that cannot be read or written, memory that runs out) and for a fault of the
package; 130 on Ctrl-C and 143 on SIGTERM.
"""

import argparse
import sys
import traceback
from typing import NoReturn

from .._version import __version__
from ..checks import SettingError, quote
from . import options

PROGRAM = "kinematic-rupture"
# Where faults of the package are to be reported, and what to send.
REPORT = ("please report it to the maintainers of kinematic-rupture, with the traceback "
          "above, the command line and the files it read")


class Failure(Exception):
    """The work could not be done: one line for the user, and the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line, like every other refusal."""

    def error(self, message: str) -> NoReturn:
        raise Failure(f"{message} (see {self.prog} --help)", 2)


def refusal(error: SettingError, arguments: argparse.Namespace | None) -> Failure:
    """The refusal in the command's terms: the option's name, and the value as typed. A
    setting the user did not type is blamed on where it came from: the settings file, or
    else the options typed that it does not suit."""
    if error.setting in options.settable() and error.setting not in options.OPTION_OF:
        assigned = [text for text in getattr(arguments, "set", None) or []
                    if text.partition("=")[0] == error.setting]
        if assigned:
            return Failure(f"--set {assigned[-1]}: {error.requirement}", 2)
        settings = getattr(arguments, "settings", None)
        where = f"--settings {settings}: " if settings else ""
        return Failure(f"{where}{error.setting} {quote(error.value)}: {error.requirement}", 2)
    typed = getattr(arguments, error.setting, None) if arguments is not None else None
    if arguments is not None and typed is None and error.setting in options.KINDS:
        if getattr(arguments, "settings", None):
            return Failure(f"--settings {arguments.settings}: {error}", 2)
        given = options.typed_fault_options(arguments)
        if given:
            return Failure(f"{given}: {error.requirement} (with the default "
                           f"{options.option_name(error.setting)} {quote(error.value)})", 2)
    if isinstance(typed, (str, list)):
        error = SettingError(error.setting, " ".join(typed) if isinstance(typed, list) else typed,
                             error.requirement)
    return Failure(error.sentence(options.option_name(error.setting)), 2)


def warn(lines: list[str]) -> None:
    for line in lines:
        print(f"{PROGRAM}: warning: {line}", file=sys.stderr)


def fail(command: str, failure: Failure) -> int:
    print(f"{command}: {failure}", file=sys.stderr)
    return failure.status


def bug(command: str, error: BaseException) -> int:
    """A failure the package did not foresee: its traceback, then one line saying that it
    is a bug and what to send to whom; exit status 1."""
    traceback.print_exception(error, file=sys.stderr)
    print(f"{command}: a bug in kinematic-rupture {__version__} (the {type(error).__name__} "
          f"above), not a fault of what it was given: {REPORT}", file=sys.stderr)
    return 1
