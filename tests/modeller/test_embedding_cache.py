"""Embeddings kept on disk between processes: the same arrays as computed afresh, safe
when several processes write the same one at once, kept apart for other libraries and
processors, computed afresh (and kept again) when unreadable or altered, read within the
memory the key implies, and not kept at all when the cache is off."""

import io
import os
import subprocess
import sys
import tracemalloc
import zipfile

import numpy as np
import pytest

from kinematic_rupture import field

KEY = ((24, 40), 0.25, (3.0, 2.0), 0.75)


@pytest.fixture
def cache(tmp_path, monkeypatch):
    monkeypatch.setenv(field.CACHE_ENVIRONMENT, str(tmp_path))
    field.embed_von_karman.cache_clear()
    yield tmp_path
    field.embed_von_karman.cache_clear()


def test_a_kept_embedding_is_the_computed_one(cache):
    computed = field.compute_embedding(*KEY)
    first = field.embed_von_karman(*KEY)
    (kept,) = cache.iterdir()
    field.embed_von_karman.cache_clear()
    again = field.embed_von_karman(*KEY)
    for embedding in (first, again):
        assert np.array_equal(embedding.amplitudes, computed.amplitudes)
        assert embedding.padded_shape == computed.padded_shape
        assert (embedding.clipped_fraction, embedding.clipped_variance) == (
            computed.clipped_fraction, computed.clipped_variance)
        assert not embedding.amplitudes.flags.writeable
    assert list(cache.iterdir()) == [kept]


def test_another_covariance_is_kept_apart(cache):
    field.embed_von_karman(*KEY)
    field.embed_von_karman(KEY[0], KEY[1], KEY[2], 0.5)
    assert len(list(cache.iterdir())) == 2


@pytest.mark.parametrize("damage", [b"", b"not an npz", b"PK\x03\x04truncated"])
def test_an_unreadable_file_is_computed_afresh(cache, damage):
    field.embed_von_karman(*KEY)
    (kept,) = cache.iterdir()
    kept.write_bytes(damage)
    field.embed_von_karman.cache_clear()
    again = field.embed_von_karman(*KEY)
    assert np.array_equal(again.amplitudes, field.compute_embedding(*KEY).amplitudes)


def stored_arrays(path):
    with np.load(path) as stored:
        return {name: stored[name] for name in stored.files}


def rewrite(path, **arrays):
    """The cached file with some arrays replaced, the rest (the digest too) as they were."""
    kept = stored_arrays(path)
    kept.update(arrays)
    with open(path, "wb") as stream:
        np.savez(stream, **kept)


def amplitudes_of(path):
    return stored_arrays(path)["amplitudes"]


@pytest.mark.parametrize("alter", [
    lambda a: a * 2.0,
    lambda a: np.zeros_like(a),
    lambda a: a[::-1].copy(),
    lambda a: a.astype(np.float32),
    lambda a: a[:, :-1].copy(),
    lambda a: np.asfortranarray(a),
    lambda a: np.ones((200, 300)),
], ids=["doubled", "zeros", "rows reversed", "float32", "a column short", "fortran order",
        "larger"])
def test_an_altered_file_is_computed_afresh_and_kept_again(cache, alter):
    computed = field.compute_embedding(*KEY)
    field.embed_von_karman(*KEY)
    (kept,) = cache.iterdir()
    rewrite(kept, amplitudes=alter(amplitudes_of(kept)))
    field.embed_von_karman.cache_clear()
    again = field.embed_von_karman(*KEY)
    assert same_embedding(again, computed)
    assert np.array_equal(amplitudes_of(kept), computed.amplitudes)  # rewritten whole
    assert same_embedding(field.read_cached(KEY), computed)


def same_embedding(a, b):
    return (np.array_equal(a.amplitudes, b.amplitudes) and a.amplitudes.dtype == np.float64
            and a.padded_shape == b.padded_shape
            and (a.clipped_fraction, a.clipped_variance) == (b.clipped_fraction, b.clipped_variance))


@pytest.mark.parametrize("member, value", [
    ("padded_shape", np.array([72, 120])),  # the next padding: the amplitudes no longer fit
    ("clipped", np.array([0.5, 0.1])),
])
def test_altered_bookkeeping_is_computed_afresh(cache, member, value):
    field.embed_von_karman(*KEY)
    (kept,) = cache.iterdir()
    rewrite(kept, **{member: value})
    assert field.read_cached(KEY) is None


def test_the_file_of_another_key_is_not_taken_for_this_one(cache):
    other = (KEY[0], KEY[1], KEY[2], 0.5)
    field.embed_von_karman(*other)
    (kept,) = cache.iterdir()
    kept.rename(field.cache_path(KEY))
    assert field.read_cached(KEY) is None


def test_a_file_that_expands_far_beyond_the_key_is_refused_before_it_is_read(cache):
    # 64 MiB of zeros that deflate to a few tens of kB, as the amplitudes or beside them:
    # what is read stays within what the key implies.
    field.embed_von_karman(*KEY)
    (kept,) = cache.iterdir()
    arrays = stored_arrays(kept)
    huge = np.zeros((2048, 4096))
    for name in ("amplitudes", "extra"):
        with zipfile.ZipFile(kept, "w", zipfile.ZIP_DEFLATED) as archive:
            for member, values in {**arrays, name: huge}.items():
                with archive.open(f"{member}.npy", "w", force_zip64=True) as stream:
                    np.lib.format.write_array(stream, values)
        assert kept.stat().st_size < 2 << 20
        tracemalloc.start()
        try:
            assert field.read_cached(KEY) is None
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert peak < 4 << 20


def test_the_key_holds_the_libraries_and_the_processor_features_that_decide_the_bits(cache,
                                                                                      monkeypatch):
    import scipy

    paths = {field.cache_path(KEY)}
    monkeypatch.setattr(np, "__version__", np.__version__ + ".other")
    paths.add(field.cache_path(KEY))
    monkeypatch.setattr(scipy, "__version__", scipy.__version__ + ".other")
    paths.add(field.cache_path(KEY))
    monkeypatch.setattr(field, "numpy_dispatch", lambda: (("SSE3",), ("AVX512F", "AVX512_SKX")))
    paths.add(field.cache_path(KEY))
    assert len(paths) == 4


def test_the_cache_off_keeps_nothing(tmp_path, monkeypatch):
    monkeypatch.setenv(field.CACHE_ENVIRONMENT, "off")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    field.embed_von_karman.cache_clear()
    field.embed_von_karman(*KEY)
    field.embed_von_karman.cache_clear()
    assert not any(tmp_path.rglob("*"))


WRITER = f"""
import sys
from kinematic_rupture import field
embedding = field.embed_von_karman{KEY!r}
sys.stdout.write(embedding.amplitudes.tobytes().hex()[:64])
"""


def test_processes_writing_the_same_embedding_at_once_leave_one_whole_file(tmp_path):
    environment = dict(os.environ, **{field.CACHE_ENVIRONMENT: str(tmp_path)})
    writers = [subprocess.Popen([sys.executable, "-c", WRITER], stdout=subprocess.PIPE,
                                env=environment) for _ in range(4)]
    outputs = {writer.communicate(timeout=120)[0] for writer in writers}
    assert all(writer.returncode == 0 for writer in writers)
    assert len(outputs) == 1
    (kept,) = tmp_path.iterdir()
    assert not kept.name.startswith(".")
    with np.load(kept) as stored:
        assert np.array_equal(stored["amplitudes"], field.compute_embedding(*KEY).amplitudes)
