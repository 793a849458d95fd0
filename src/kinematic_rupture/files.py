"""Files that are complete or absent, never half-written.

Every file is written under a temporary name in its own directory and renamed into place
once it is whole and on disk. A group of files (a rupture's SRF, sidecar and figure) is
renamed together, with interrupting signals held back for those few system calls, so that
an interrupted run leaves either every earlier file as it was or every new one. Whatever
stops the writing (an interrupt, SIGTERM, a full disk, memory) removes the temporary
files and leaves the earlier ones byte for byte untouched.

.. autosummary::

   FileSet
   write_atomically
   write_named_atomically
   signals_held
   end_on_termination
   Terminated
   files_renamed
"""

import errno
import fcntl
import os
import secrets
import signal
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any

__all__ = ["FileSet", "write_atomically", "write_named_atomically", "signals_held",
           "end_on_termination", "Terminated", "files_renamed"]

# Temporary files are hidden and say what they will become: ".NAME.XXXXXXXX.part".
TEMPORARY_SUFFIX = ".part"
INTERRUPTING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Files this process has renamed into place, so that a command that is interrupted can say
# whether it changed any.
renamed = 0


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
    """Holds SIGINT, SIGTERM and SIGHUP back until the block ends, then lets them act.

    Python runs signal handlers in the main thread only, but any thread may receive the
    signal (the kernels' pool threads do not block it), so masking the signal in this
    thread would not hold it back. Instead their handlers only record the signal while the
    block runs; the previous handlers are then restored and the signals raised again.

    Yields
    ------
    None
        Once, for the block.
    """
    if threading.current_thread() is not threading.main_thread():
        yield  # no handler runs in this thread: nothing can interrupt it
        return
    held: list[int] = []
    previous = {number: handler for number in INTERRUPTING_SIGNALS
                if (handler := signal.getsignal(number)) is not None}
    try:
        for number in previous:
            signal.signal(number, lambda caught, frame: held.append(caught))
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        for arrived in held:
            signal.raise_signal(arrived)


class FileSet:
    """Files written together: each under a temporary name, all renamed at `commit`::

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
        """Removes every file not yet renamed into place (as leaving the ``with`` block does)."""
        # A second interrupt while the temporary files go must not leave one of them.
        with signals_held():
            while self.pending:
                _, temporary = self.pending[-1]
                remove_quietly(temporary)
                self.pending.pop()

    @contextmanager
    def open(self, path: str | os.PathLike[str], mode: str = "w") -> Iterator[IO[Any]]:
        """A new file that will become `path` at `commit`.

        Parameters
        ----------
        path : str or os.PathLike
            The name it will have.
        mode : str
            ``"w"`` for text, ``"wb"`` for bytes.

        Yields
        ------
        file object
            The stream, written under a temporary name, flushed and synced at the end of
            the block.

        Raises
        ------
        OSError
            The file cannot be made or written; named after `path`.
        """
        final = Path(path)
        temporary = temporary_path(final)
        # Recorded before it exists, so that an interrupt at any point finds it to remove.
        self.pending.append((final, temporary))
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            try:
                stream = os.fdopen(descriptor, mode)
            except BaseException:
                os.close(descriptor)
                raise
            with stream:
                yield stream
                stream.flush()
                os.fsync(stream.fileno())
        except OSError as error:
            # Named after the file it was to become, not the temporary one, nor none at all
            # as a write to a full disk is.
            if error.filename in (None, temporary, str(temporary)):
                error.filename = str(final)
            raise

    def write_with(self, path: str | os.PathLike[str], write: Callable[[IO[bytes]], object]) -> None:
        """A new binary file that a function fills through the stream it is given.

        Parameters
        ----------
        path : str or os.PathLike
            The name it will have.
        write : callable
            Called with the binary stream.
        """
        with self.open(path, "wb") as stream:
            write(stream)

    def write_named(self, path: str | os.PathLike[str], write: Callable[[Path], object]) -> None:
        """A new file that a function makes under the temporary name it is given, for
        libraries that open files by name themselves (HDF5, netCDF).

        Parameters
        ----------
        path : str or os.PathLike
            The name it will have.
        write : callable
            Called with the temporary `pathlib.Path`.
        """
        final = Path(path)
        temporary = temporary_path(final)
        self.pending.append((final, temporary))
        try:
            write(temporary)
            descriptor = os.open(temporary, os.O_RDONLY | os.O_CLOEXEC)
            try:
                os.fsync(descriptor)
            finally:
                os.close(descriptor)
        except OSError as error:
            if error.filename in (None, temporary, str(temporary)):
                error.filename = str(final)
            raise

    def written(self, path: str | os.PathLike[str]) -> Path:
        """Where the file that will become a name is being written, to be read back before
        the commit.

        Parameters
        ----------
        path : str or os.PathLike
            The name it will have.

        Returns
        -------
        pathlib.Path
            Its temporary name.
        """
        final = Path(path)
        return next(temporary for name, temporary in self.pending if name == final)

    def commit(self) -> None:
        """Renames every file into place, all at once as far as signals can tell: a signal
        that comes once the renames have begun acts after the last of them.

        Raises
        ------
        IsADirectoryError
            A directory stands under one of the names; nothing is renamed.
        """
        global renamed
        for final, _ in self.pending:
            # A directory under a final name would stop the renames halfway through.
            if final.is_dir():
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(final))
        directories = {final.parent for final, _ in self.pending}
        with directories_locked(directories), signals_held():
            for final, temporary in self.pending:
                os.replace(temporary, final)
            renamed += len(self.pending)
            self.pending.clear()
        for directory in directories:
            sync_directory(directory)


@contextmanager
def directories_locked(directories: set[Path]) -> Iterator[None]:
    """Holds an exclusive lock (flock) on each directory, so that processes renaming files
    into the same directories do so one set after another: two runs writing the same names
    leave one run's whole set, never some files of each. Each directory is locked once
    whatever names lead to it, in a fixed order; one that cannot be locked (a file system
    without flock) is left unlocked."""
    descriptors: dict[tuple[int, int], int] = {}
    try:
        for directory in sorted(directories):
            try:
                descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            except OSError:
                continue
            status = os.fstat(descriptor)
            if (status.st_dev, status.st_ino) in descriptors:
                os.close(descriptor)
                continue
            descriptors[(status.st_dev, status.st_ino)] = descriptor
        for _, descriptor in sorted(descriptors.items()):
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX)
            except OSError:
                pass
        yield
    finally:
        for descriptor in descriptors.values():
            os.close(descriptor)  # which releases its lock


def files_renamed() -> int:
    """How many files this process has renamed into place so far.

    Returns
    -------
    int
        The count.
    """
    return renamed


def remove_quietly(path: Path) -> None:
    """Removes a temporary file if it is there and can go. One in a directory that has
    become read-only stays (unlink then fails with EROFS even where the file was never
    made), and the failure that led here is the one to report."""
    try:
        os.unlink(path)
    except OSError:
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
    """One binary file, complete or absent.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    write : callable
        Called with the binary stream to fill.

    Examples
    --------
    >>> write_atomically("note.txt", lambda stream: stream.write(b"whole"))
    >>> open("note.txt").read()
    'whole'
    """
    with FileSet() as files:
        files.write_with(path, write)
        files.commit()


def write_named_atomically(path: str | os.PathLike[str], write: Callable[[Path], object]) -> None:
    """One file that a function makes by name (see `FileSet.write_named`), complete or absent.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    write : callable
        Called with the temporary `pathlib.Path` to make.
    """
    with FileSet() as files:
        files.write_named(path, write)
        files.commit()
