"""Files that are complete or absent, never half-written.

Every file is written under a temporary name in its own directory and renamed into place
once it is whole and on disk. A group of files (a rupture's SRF, sidecar and figure) is
renamed together, with interrupting signals held back for those few system calls, so that
an interrupted run leaves either every earlier file as it was or every new one. Whatever
stops the writing (an interrupt, SIGTERM, a full disk, memory) removes the temporary
files and leaves the earlier ones byte for byte untouched.
"""

import os
import secrets
import signal
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any

# Temporary files are hidden and say what they will become: ".NAME.XXXXXXXX.part".
TEMPORARY_SUFFIX = ".part"
INTERRUPTING_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


class Terminated(BaseException):
    """Raised in the main thread when the process is asked to end (SIGTERM or SIGHUP), so
    that everything unwinds and cleans up as for Ctrl-C."""


def raise_terminated(number: int, frame: object) -> None:
    raise Terminated(signal.Signals(number).name)


def end_on_termination() -> None:
    """Turns SIGTERM and SIGHUP into `Terminated` in the main thread."""
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, raise_terminated)


def temporary_path(path: Path) -> Path:
    return path.with_name(f".{path.name}.{secrets.token_hex(4)}{TEMPORARY_SUFFIX}")


def is_temporary(path: Path) -> bool:
    return path.name.startswith(".") and path.name.endswith(TEMPORARY_SUFFIX)


@contextmanager
def signals_held() -> Iterator[None]:
    """Holds SIGINT, SIGTERM and SIGHUP back from this thread until the block ends."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, INTERRUPTING_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class FileSet:
    """Files written together: each under a temporary name, all renamed at `commit`.

        with FileSet() as files:
            with files.open("rupture.srf", "w") as srf:
                srf.write(text)
            files.write_with("rupture.png", lambda out: figure.savefig(out, format="png"))
            files.commit()

    Leaving the block without `commit` (by any exception) removes every temporary file.
    """

    def __init__(self) -> None:
        self.pending: list[tuple[Path, Path]] = []

    def __enter__(self) -> "FileSet":
        return self

    def __exit__(self, *failure: object) -> None:
        self.discard()

    def discard(self) -> None:
        while self.pending:
            _, temporary = self.pending.pop()
            remove_quietly(temporary)

    @contextmanager
    def open(self, path: str | os.PathLike[str], mode: str = "w") -> Iterator[IO[Any]]:
        """A new file that will become `path`: text ("w") or bytes ("wb")."""
        final = Path(path)
        temporary = temporary_path(final)
        # Recorded before it exists, so that an interrupt at any point finds it to remove.
        self.pending.append((final, temporary))
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        with os.fdopen(descriptor, mode) as stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())

    def write_with(self, path: str | os.PathLike[str], write: Callable[[IO[bytes]], object]) -> None:
        """A new binary file that `write` fills through the stream it is given."""
        with self.open(path, "wb") as stream:
            write(stream)

    def commit(self) -> None:
        """Renames every file into place, all at once as far as signals can tell."""
        with signals_held():
            for final, temporary in self.pending:
                os.replace(temporary, final)
            directories = {final.parent for final, _ in self.pending}
            self.pending.clear()
        for directory in directories:
            sync_directory(directory)


def remove_quietly(path: Path) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def sync_directory(directory: Path) -> None:
    """Makes the renames in `directory` durable; a file system that cannot is left as is."""
    try:
        descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def write_atomically(path: str | os.PathLike[str], write: Callable[[IO[bytes]], object]) -> None:
    """One binary file, complete or absent."""
    with FileSet() as files:
        files.write_with(path, write)
        files.commit()
