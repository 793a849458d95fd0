"""The command `kinematic-rupture`: `run` builds one rupture and writes its files,
`ensemble` builds many on a Dask cluster, `validate` compares an ensemble's statistics
with published ones (exit status 1 when any comparison fails), `inspect` reads an SRF
file, `export` writes one in the format another code reads. See `failures` for what
each exit status means.
"""

import sys
from collections.abc import Sequence
from typing import NoReturn

import matplotlib

from .._version import __version__
from ..checks import SettingError
from ..errors import KinematicRuptureError
from ..files import Terminated, end_on_termination, files_renamed
from . import ensemble, export, inspect, run, shake, validate
from .failures import PROGRAM, Failure, Parser, bug, fail, refusal

# The subcommands, in the order --help lists them: each module's add_parser adds its own.
SUBCOMMANDS = (run, ensemble, validate, inspect, export, shake)


def parser() -> Parser:
    main = Parser(prog=PROGRAM, description="Kinematic earthquake ruptures: builds them, "
                  "writes them as Standard Rupture Format files, reads them back.")
    main.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                   parser_class=Parser)
    for subcommand in SUBCOMMANDS:
        subcommand.add_parser(commands)
    return main


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with a list of arguments. The package's refusals, a file that cannot
    be read or written and memory that runs out are one line on stderr; anything else is
    a bug, shown with its traceback and a line saying so. It chooses matplotlib's Agg
    backend, as the command alone does.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program's name (``["run", "--magnitude", "6"]``); by
        default the process's.

    Returns
    -------
    int
        The exit status: 0 done, 1 the work failed (or a bug, or a failed validation), 2 a
        value it cannot use, 130 and 143 Ctrl-C and SIGTERM.
    """

    end_on_termination()
    matplotlib.use("Agg")  # figures go to files, never to a display
    command = PROGRAM
    arguments = None
    renamed_before = files_renamed()
    try:
        arguments = parser().parse_args(argv)
        command = f"{PROGRAM} {arguments.command}"
        arguments.handler(arguments)
        return 0
    except SettingError as error:
        return fail(command, refusal(error, arguments))
    except KinematicRuptureError as error:
        return fail(command, Failure(str(error), 2))
    except Failure as failure:
        return fail(command, failure)
    except MemoryError as error:
        return fail(command, Failure(f"ran out of memory{f': {error}' if str(error) else ''}"))
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        return fail(command, Failure(f"{where}{error.strerror or error}"))
    except KeyboardInterrupt:
        return fail(command, Failure(f"interrupted; {changed(renamed_before)}", 130))
    except Terminated as signal_name:
        return fail(command, Failure(f"ended by {signal_name}; {changed(renamed_before)}", 143))
    except Exception as error:
        return bug(command, error)


def changed(renamed_before: int) -> str:
    """What an interrupted command did to the files: a signal can come after the renames."""
    return "no file was changed" if files_renamed() == renamed_before else "every file written is complete"


def entry_point() -> NoReturn:
    """The console script ``kinematic-rupture`` and ``python -m kinematic_rupture``: `main`
    with the process's arguments.

    Returns
    -------
    NoReturn
        It exits the process with `main`'s status.
    """
    sys.exit(main())
