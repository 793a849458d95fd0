"""Files are complete or absent: an interrupt, SIGTERM, a full disk or a directory that
cannot be written leaves every earlier file byte for byte as it was, nothing half-written
under a final name and no temporary file behind, with one line on stderr."""

import errno
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from kinematic_rupture import ensemble, files
from kinematic_rupture.files import FileSet, Terminated
from kinematic_rupture.geometry import Fault
from kinematic_rupture.rupture import RuptureSettings

# A rupture that builds in milliseconds and draws no warning, and one whose SRF file
# (about 4.6 MB) cannot fit on a 1 MiB file system.
SMALL = ["--length-km", "4", "--width-km", "2", "--cell-km", "0.1", "--magnitude", "5",
         "--dt", "0.005"]
LARGE = ["--length-km", "20", "--width-km", "10", "--cell-km", "0.5", "--magnitude", "6.3",
         "--dt", "0.0015"]
EARLIER_SEED, LATER_SEED = "1", "2"
STATUS = {signal.SIGINT: 130, signal.SIGTERM: 143}

# Runs `cli.main` with hooks at chosen points of a run. Its first argument maps a
# point to what happens there, once: ["signal", NUMBER] sends the process that signal,
# ["read-only", DIRECTORY] makes the directory read-only, ["full", CHARACTERS] makes every
# file written from then on fail with ENOSPC after that many characters. The points:
# build (inside the rupture's build, at its rupture front), srf (half of the SRF text written and flushed),
# sidecar (the SRF complete, the sidecar about to be written), figure (half of the PNG
# written and flushed), commit (every file written, before the renames), rename (before
# each rename) and unlink (before each removal of a file).
CHILD = textwrap.dedent(r"""
    import errno, io, json, os, signal, subprocess, sys
    import _kernels
    from kinematic_rupture import cli, figure, files, sidecar, srf

    signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignoring it
    actions = json.loads(sys.argv[1])

    class Full:
        # A stream of a disk with `room` characters left.
        def __init__(self, stream, room):
            self.stream, self.room = stream, room
        def __getattr__(self, name):
            return getattr(self.stream, name)
        def __enter__(self):
            return self
        def __exit__(self, *failure):
            self.stream.close()
        def write(self, data):
            if len(data) > self.room:
                self.stream.write(data[:self.room])
                self.room = 0
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            self.room -= len(data)
            return self.stream.write(data)

    def at(point):
        kind, value = actions.pop(point, (None, None))
        if kind == "signal":
            os.kill(os.getpid(), value)
        elif kind == "read-only":
            if os.geteuid() == 0:
                subprocess.run(["mount", "-o", "remount,ro", value], check=True)
            else:
                os.chmod(value, 0o555)
        elif kind == "full":
            fdopen = os.fdopen
            os.fdopen = lambda *arguments, **options: Full(fdopen(*arguments, **options), value)

    def wrap(owner, name, point):
        original = getattr(owner, name)
        def wrapped(*arguments, **options):
            at(point)
            return original(*arguments, **options)
        setattr(owner, name, wrapped)

    def halfway(write, point):
        # Writes the first half of what `write` writes, flushed to the file, then stops at `point`.
        def written(stream, *arguments, **options):
            whole = io.BytesIO() if "b" in getattr(stream, "mode", "wb") else io.StringIO()
            write(whole, *arguments, **options)
            text = whole.getvalue()
            stream.write(text[:len(text) // 2])
            stream.flush()
            at(point)
            stream.write(text[len(text) // 2:])
        return written

    wrap(_kernels, "eikonal_solve", "build")
    srf.write_srf = halfway(srf.write_srf, "srf")
    wrap(sidecar, "sidecar_text", "sidecar")
    figure.draw = halfway(figure.draw, "figure")
    wrap(files.FileSet, "commit", "commit")
    wrap(os, "replace", "rename")
    wrap(os, "unlink", "unlink")
    at("start")
    sys.exit(cli.main(sys.argv[2:]))
""")


def run_command(directory, *options, seed=LATER_SEED, drawn=True, actions=None):
    """`kinematic-rupture run` writing a.srf, a.json and (when `drawn`) a.png in `directory`."""
    arguments = ["run", *options, "--seed", seed, "--srf", str(directory / "a.srf")]
    arguments += ["--figure", str(directory / "a.png")] if drawn else ["--no-figure"]
    return subprocess.run([sys.executable, "-c", CHILD, json.dumps(actions or {}), *arguments],
                          capture_output=True, text=True, timeout=120)


def contents(directory):
    """Every entry of `directory`, hidden ones included, with its bytes."""
    return {path.name: path.read_bytes() for path in sorted(Path(directory).iterdir())}


def place(directory, files_by_name):
    for name, data in files_by_name.items():
        (directory / name).write_bytes(data)


def only_line(result):
    """The one line the command wrote on stderr."""
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("kinematic-rupture run: ")
    return lines[0]


@pytest.fixture(scope="module")
def earlier(tmp_path_factory):
    """The files of a complete run (seed 1): what every test expects to find untouched."""
    directory = tmp_path_factory.mktemp("earlier")
    result = run_command(directory, *SMALL, seed=EARLIER_SEED)
    assert (result.returncode, result.stderr) == (0, "")
    return contents(directory)


@pytest.fixture(scope="module")
def later(tmp_path_factory):
    """The files of the run the tests interrupt (seed 2), when nothing stops it."""
    directory = tmp_path_factory.mktemp("later")
    result = run_command(directory, *SMALL)
    assert (result.returncode, result.stderr) == (0, "")
    return contents(directory)


def mount_tmpfs(directory, size):
    """Mounts a tmpfs of `size` at `directory`; skips the test if this process cannot."""
    if os.geteuid() != 0:
        pytest.skip("mounting a file system needs root")
    if shutil.which("mount") is None:
        pytest.skip("mounting a file system needs the mount command")
    directory.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs",
                              str(directory)], capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs: {mounted.stderr.strip()}")


@pytest.fixture
def mounts(tmp_path):
    """Mount points made by the test, unmounted at its end whatever happened."""
    made = []
    yield made
    for directory in made:
        subprocess.run(["umount", str(directory)], check=True)


# ---- Signals ---------------------------------------------------------------------------------

STOPS = {
    "during the build": {"build": True},
    "halfway through the SRF": {"srf": True},
    "between the SRF and its sidecar": {"sidecar": True},
    "halfway through the figure": {"figure": True},
    "with every file written, before the renames": {"commit": True},
    "again while the temporary files are removed": {"srf": True, "unlink": True},
}


@pytest.mark.parametrize("number", list(STATUS), ids=lambda number: number.name)
@pytest.mark.parametrize("stop", list(STOPS))
def test_a_signal_leaves_the_earlier_files_untouched(tmp_path, earlier, stop, number):
    place(tmp_path, earlier)
    points = STOPS[stop]
    actions = {point: ["signal", int(number)] for point in points}
    result = run_command(tmp_path, *SMALL, drawn="figure" in points or "commit" in points,
                         actions=actions)
    assert result.returncode == STATUS[number], result.stderr
    line = only_line(result)
    assert "no file was changed" in line
    assert contents(tmp_path) == earlier


@pytest.mark.parametrize("number", list(STATUS), ids=lambda number: number.name)
def test_a_signal_during_the_renames_leaves_one_whole_set(tmp_path, earlier, later, number):
    # Once the renames have begun they finish: the signal ends the command after them.
    place(tmp_path, earlier)
    result = run_command(tmp_path, *SMALL, actions={"rename": ["signal", int(number)]})
    assert result.returncode == STATUS[number], result.stderr
    line = only_line(result)
    assert contents(tmp_path) == later
    assert "no file was changed" not in line


# ---- A full disk -----------------------------------------------------------------------------


@pytest.mark.parametrize("disk", ["tmpfs", "injected"])
def test_a_full_disk_leaves_the_earlier_files_untouched(tmp_path, earlier, mounts, disk):
    if disk == "tmpfs":
        directory = tmp_path / "small"
        mount_tmpfs(directory, "1m")
        mounts.append(directory)
        options, actions = LARGE, {}
    else:
        directory, options, actions = tmp_path, SMALL, {"start": ["full", 4000]}
    place(directory, earlier)
    result = run_command(directory, *options, drawn=False, actions=actions)
    assert result.returncode == 1, result.stderr
    line = only_line(result)
    assert f"{directory / 'a.srf'}: {os.strerror(errno.ENOSPC)}" in line
    assert contents(directory) == earlier


# ---- Directories that cannot take the files ----------------------------------------------------


@pytest.mark.parametrize("when, status", [("before the run", 2), ("during the build", 1)])
def test_a_read_only_directory_is_left_as_it_was(tmp_path, earlier, mounts, when, status):
    if os.geteuid() == 0:  # root writes whatever the permissions: make the file system read-only
        directory = tmp_path / "read-only"
        mount_tmpfs(directory, "4m")
        mounts.append(directory)
    else:
        directory = tmp_path
    place(directory, earlier)
    actions = {}
    if when == "before the run":
        if os.geteuid() == 0:
            subprocess.run(["mount", "-o", "remount,ro", str(directory)], check=True)
        else:
            directory.chmod(0o555)
    else:
        actions = {"build": ["read-only", str(directory)]}
    try:
        result = run_command(directory, *SMALL, actions=actions)
    finally:
        if os.geteuid() != 0:
            directory.chmod(0o755)
    assert result.returncode == status, result.stderr
    line = only_line(result)
    assert str(directory / "a.srf") in line and ".part" not in line
    assert contents(directory) == earlier


def test_a_directory_under_the_sidecar_name_leaves_the_srf_untouched(tmp_path, earlier):
    place(tmp_path, {name: data for name, data in earlier.items() if name != "a.json"})
    (tmp_path / "a.json").mkdir()
    result = run_command(tmp_path, *SMALL, drawn=False)
    assert result.returncode in (1, 2), result.stderr
    line = only_line(result)
    assert str(tmp_path / "a.json") in line
    assert sorted(path.name for path in tmp_path.iterdir()) == ["a.json", "a.png", "a.srf"]
    assert not any((tmp_path / "a.json").iterdir())
    assert (tmp_path / "a.srf").read_bytes() == earlier["a.srf"]


# ---- FileSet -----------------------------------------------------------------------------------

OLD = {"a.srf": b"old srf\n", "a.json": b"{}\n", "a.png": b"old png"}
NEW = {"a.srf": b"new srf\n", "a.json": b'{"new": 1}\n', "a.png": b"new png"}
TEMPORARY_NAME = re.compile(r"\.a\.(srf|json|png)\.[0-9a-f]{8}\.part")


class Stop(Exception):
    """Raised by a test to leave a FileSet at a chosen point."""


def write_set(files, directory, stop_at=None, failure=Stop()):
    """Writes NEW through `files` as the command does, raising `failure` at `stop_at`."""
    def stop(point):
        if point == stop_at:
            raise failure

    with files.open(directory / "a.srf", "w") as stream:
        stream.write(NEW["a.srf"].decode()[:3])
        stop("inside the first file")
        stream.write(NEW["a.srf"].decode()[3:])
    stop("between two files")
    with files.open(directory / "a.json", "w") as stream:
        stream.write(NEW["a.json"].decode())
    files.write_with(directory / "a.png", lambda out: (out.write(NEW["a.png"]),
                                                         stop("inside a binary file")))
    stop("before the commit")
    files.commit()


def test_commit_renames_every_file_into_place_from_the_same_directory(tmp_path):
    place(tmp_path, OLD)
    with FileSet() as fileset:
        write_set(fileset, tmp_path)
    assert contents(tmp_path) == NEW


def test_the_files_wait_under_hidden_temporary_names_beside_their_final_ones(tmp_path):
    place(tmp_path, OLD)
    with FileSet() as fileset:
        with fileset.open(tmp_path / "a.srf") as stream:
            stream.write("x")
            waiting = set(contents(tmp_path)) - set(OLD)
            assert len(waiting) == 1 and TEMPORARY_NAME.fullmatch(waiting.pop())
            assert files.is_temporary(fileset.pending[0][1])
    assert contents(tmp_path) == OLD


@pytest.mark.parametrize("failure", [Stop(), KeyboardInterrupt(), Terminated("SIGTERM"),
                                     OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)),
                                     MemoryError()], ids=lambda failure: type(failure).__name__)
@pytest.mark.parametrize("stop_at", ["inside the first file", "between two files",
                                     "inside a binary file", "before the commit"])
def test_leaving_without_commit_removes_every_temporary_file(tmp_path, stop_at, failure):
    place(tmp_path, OLD)
    with pytest.raises(type(failure)):
        with FileSet() as fileset:
            write_set(fileset, tmp_path, stop_at, failure)
    assert fileset.pending == []
    assert contents(tmp_path) == OLD


def test_an_interrupt_between_creating_the_file_and_writing_it_leaves_nothing(tmp_path, monkeypatch):
    place(tmp_path, OLD)
    opened = []

    def interrupted(descriptor, *arguments, **options):
        opened.append(descriptor)
        raise KeyboardInterrupt

    monkeypatch.setattr(files.os, "fdopen", interrupted)
    with pytest.raises(KeyboardInterrupt):
        with FileSet() as fileset:
            write_set(fileset, tmp_path)
    monkeypatch.undo()
    assert contents(tmp_path) == OLD
    with pytest.raises(OSError) as closed:  # the descriptor went with the file
        os.fstat(opened[0])
    assert closed.value.errno == errno.EBADF


@pytest.mark.parametrize("number", [errno.EROFS, errno.EACCES], ids=errno.errorcode.get)
def test_a_file_that_cannot_be_made_is_the_failure_reported(tmp_path, monkeypatch, number):
    # On a directory that has become read-only, removing the temporary file that was never
    # made fails too; that must not hide why nothing could be written.
    def refuse(path, *arguments):
        raise OSError(number, os.strerror(number), path)

    monkeypatch.setattr(files.os, "open", refuse)
    monkeypatch.setattr(files.os, "unlink", refuse)
    with pytest.raises(OSError) as failure:
        with FileSet() as fileset:
            write_set(fileset, tmp_path)
    assert (failure.value.errno, failure.value.filename) == (number, str(tmp_path / "a.srf"))
    assert fileset.pending == []


def test_a_final_name_taken_by_a_directory_stops_the_commit_before_any_rename(tmp_path):
    place(tmp_path, {name: data for name, data in OLD.items() if name != "a.json"})
    (tmp_path / "a.json").mkdir()
    with pytest.raises(IsADirectoryError) as failure:
        with FileSet() as fileset:
            write_set(fileset, tmp_path)
    assert failure.value.filename == str(tmp_path / "a.json")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["a.json", "a.png", "a.srf"]
    assert (tmp_path / "a.srf").read_bytes() == OLD["a.srf"]
    assert (tmp_path / "a.png").read_bytes() == OLD["a.png"]


def test_a_write_that_fails_names_the_file_it_was_writing(tmp_path):
    def full(stream):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    with pytest.raises(OSError) as failure:
        files.write_atomically(tmp_path / "a.png", full)
    assert (failure.value.errno, failure.value.filename) == (errno.ENOSPC, str(tmp_path / "a.png"))
    assert contents(tmp_path) == {}


@pytest.mark.parametrize("number, handler, raised",
                         [(signal.SIGINT, signal.default_int_handler, KeyboardInterrupt),
                          (signal.SIGTERM, files.raise_terminated, Terminated)],
                         ids=["SIGINT", "SIGTERM"])
def test_a_signal_held_back_acts_when_the_block_ends(number, handler, raised):
    earlier = signal.signal(number, handler)
    try:
        reached = []
        with pytest.raises(raised):
            with files.signals_held():
                signal.raise_signal(number)
                reached.append("the rest of the block")
        assert reached == ["the rest of the block"]
        assert signal.getsignal(number) is handler
    finally:
        signal.signal(number, earlier)


def test_files_are_written_from_a_thread_other_than_the_main_one(tmp_path):
    # As the ensemble's tasks are, in the threads of a Dask worker.
    failures = []

    def write():
        try:
            with FileSet() as fileset:
                write_set(fileset, tmp_path)
            with FileSet() as fileset:
                write_set(fileset, tmp_path / "missing", "before the commit")
        except BaseException as failure:
            failures.append(failure)

    thread = threading.Thread(target=write)
    thread.start()
    thread.join()
    assert [type(failure) for failure in failures] == [FileNotFoundError]
    assert contents(tmp_path) == NEW


# ---- The ensemble's files: rupture (SRF or npz), sidecar, summary, manifest ------------------


@pytest.fixture
def full_disk(monkeypatch):
    """Every file written through FileSet fails with ENOSPC after 100 bytes."""
    fdopen = os.fdopen

    def full(descriptor, mode="r", *arguments, **options):
        stream = fdopen(descriptor, mode, *arguments, **options)
        write = stream.write
        room = [100]

        def write_some(data):
            if len(data) > room[0]:
                write(data[:room[0]])
                room[0] = 0
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            room[0] -= len(data)
            return write(data)

        stream.write = write_some
        return stream

    monkeypatch.setattr(files.os, "fdopen", full)


ENSEMBLE = ensemble.plan(Fault.single(cell_km=0.5, length_km=4.0, width_km=2.0),
                         RuptureSettings(magnitude=5.0, dt_s=0.005))


@pytest.mark.parametrize("writer", ["srf", "npz", "summary", "manifest"])
def test_a_full_disk_leaves_an_ensembles_files_untouched(tmp_path, full_disk, writer):
    earlier = {"rupture-7.srf": b"old srf\n", "rupture-7.npz": b"old npz",
               "rupture-7.json": json.dumps({"summary": {"hypocentre_km": [1.0, 1.0], "mw": 5.0,
                                                        "duration_s": 1.0,
                                                        "peak_moment_rate_nm_s": 1.0}}).encode(),
               "summary.csv": b"old summary\n"}
    place(tmp_path, earlier)
    with pytest.raises(OSError) as failure:
        if writer in ("srf", "npz"):
            ensemble.build_variation(7, ensemble.plan(ENSEMBLE.fault, ENSEMBLE.base, writer),
                                     str(tmp_path))
        elif writer == "summary":
            ensemble.write_summary(tmp_path, ENSEMBLE)
        else:
            ensemble.prepare_output(tmp_path / "new", ENSEMBLE, resume=False, overwrite=False)
    assert failure.value.errno == errno.ENOSPC
    if writer == "manifest":
        assert contents(tmp_path / "new") == {}
        (tmp_path / "new").rmdir()
    assert contents(tmp_path) == earlier


# ---- Colliding names, and two runs writing the same ones ------------------------------------


@pytest.mark.parametrize("srf, figure", [
    ("o/x.srf", "o/x.srf"),
    ("o/x.srf", "o/x.json"),  # the sidecar's name
    ("o/x", "o/x.json"),  # the sidecar of a name without .srf
    ("o/x.srf", "linked/x.json"),  # the same directory through a symbolic link
    ("o/x.srf", "o/../o/x.srf"),
])
def test_outputs_that_would_overwrite_one_another_are_refused(tmp_path, srf, figure):
    (tmp_path / "o").mkdir()
    (tmp_path / "linked").symlink_to(tmp_path / "o")
    before = {path.name: path.read_bytes() for path in (tmp_path / "o").iterdir()}
    refused = subprocess.run([sys.executable, "-m", "kinematic_rupture", "run", *SMALL,
                              "--srf", srf, "--figure", figure],
                             cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert refused.returncode == 2 and refused.stdout == ""
    line, = refused.stderr.splitlines()
    assert line.startswith(f"kinematic-rupture run: --figure {figure}: is the same file as ")
    assert f"--srf {srf}" in line
    assert {path.name: path.read_bytes() for path in (tmp_path / "o").iterdir()} == before


def test_inspect_refuses_to_draw_over_the_file_it_reads(tmp_path):
    made = subprocess.run([sys.executable, "-m", "kinematic_rupture", "run", *SMALL, "--no-figure",
                           "--srf", "x.srf"], cwd=tmp_path, capture_output=True, timeout=120)
    assert made.returncode == 0
    before = (tmp_path / "x.srf").read_bytes()
    refused = subprocess.run([sys.executable, "-m", "kinematic_rupture", "inspect", "x.srf",
                              "--figure", "./x.srf"], cwd=tmp_path, capture_output=True,
                             text=True, timeout=120)
    assert refused.returncode == 2 and refused.stdout == ""
    assert refused.stderr == ("kinematic-rupture inspect: --figure ./x.srf: is the same file as "
                              "the file read, x.srf; give the figure a name of its own\n")
    assert (tmp_path / "x.srf").read_bytes() == before


# A run whose renames are slowed: the first process announces its first rename (by the
# flag file) and then waits before the others; the second renames at full speed.
SLOW_RENAMES = textwrap.dedent(r"""
    import os, sys, time
    from kinematic_rupture import cli

    flag, wait = sys.argv[1], float(sys.argv[2])
    replace = os.replace
    renamed = []

    def slowed(source, target):
        replace(source, target)
        renamed.append(target)
        if wait and len(renamed) == 1:
            open(flag, "w").close()
            time.sleep(wait)

    os.replace = slowed
    sys.exit(cli.main(sys.argv[3:]))
""")


def test_two_runs_writing_the_same_names_leave_one_runs_whole_set(tmp_path):
    """The second run renames its files while the first is between its renames: the set
    left is the first's or the second's, never some of each."""
    names = ["--srf", tmp_path / "o" / "x.srf", "--figure", tmp_path / "o" / "x.png"]
    flag = tmp_path / "renaming"

    def start(seed, wait):
        return subprocess.Popen([sys.executable, "-c", SLOW_RENAMES, str(flag), str(wait),
                                 "run", *SMALL, "--seed", seed, *map(str, names)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    first = start("1", 8.0)
    while not flag.exists():
        assert first.poll() is None, first.communicate()
        threading.Event().wait(0.05)
    second = start("2", 0.0)
    for process in (first, second):
        _, err = process.communicate(timeout=120)
        assert process.returncode == 0, err
    seed = (tmp_path / "o" / "x.srf").read_text().splitlines()[2]
    sidecar = json.loads((tmp_path / "o" / "x.json").read_text())
    assert seed == f"# seed {sidecar['settings']['rupture']['seed']}"
    again = subprocess.run([sys.executable, "-m", "kinematic_rupture", "run", *SMALL, "--seed",
                            str(sidecar["settings"]["rupture"]["seed"]), "--srf",
                            tmp_path / "again.srf", "--figure", tmp_path / "again.png"],
                           capture_output=True, timeout=120)
    assert again.returncode == 0
    for suffix in ("srf", "json", "png"):
        assert (tmp_path / f"again.{suffix}").read_bytes() == (tmp_path / "o" / f"x.{suffix}").read_bytes()
