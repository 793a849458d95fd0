"""Embeddings kept on disk between processes: the same arrays as computed afresh, safe
when several processes write the same one at once, ignored when unreadable, and not
kept at all when the cache is off."""

import os
import subprocess
import sys

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
