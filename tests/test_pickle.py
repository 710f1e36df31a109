"""Pickling and copying stores: exact round trips for every protocol, record data out of
band from protocol 5 on, and a reconstructor that checks what it is given."""
import copy
import pickle

import pytest

import tarnix
from store_files import answers, make_store

SHAPES = [(0, 0), (0, 70), (1, 5), (3, 64), (65, 2 * 64 + 3)]


def image_of(store):
    buffers = []
    pickle.dumps(store, 5, buffer_callback=buffers.append)
    return bytes(buffers[0].raw())


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
@pytest.mark.parametrize("dim, count", SHAPES)
def test_round_trip_every_protocol(protocol, dim, count):
    store = make_store(dim, count)
    loaded = pickle.loads(pickle.dumps(store, protocol))
    assert (loaded.vector_size, len(loaded)) == (dim, count)
    assert answers(loaded) == answers(store)
    assert image_of(loaded) == image_of(store)


def test_protocol_5_carries_the_records_out_of_band():
    store = make_store(64, 1000)
    buffers = []
    data = pickle.dumps(store, 5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and isinstance(buffers[0], pickle.PickleBuffer)
    assert len(data) < 200 < 64 * 1000 * 4 < len(buffers[0].raw())
    loaded = pickle.loads(data, buffers=buffers)
    assert answers(loaded) == answers(store)
    # The same image whether the buffer arrives as bytes, bytearray or a memoryview.
    for kind in (bytes, bytearray, memoryview):
        assert image_of(pickle.loads(data, buffers=[kind(buffers[0].raw())])) == image_of(store)


def test_a_pickled_image_is_a_store_file(tmp_path):
    store = make_store(3, 70)
    store.save(tmp_path / "store.tnx")
    assert (tmp_path / "store.tnx").read_bytes() == image_of(store)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copies_are_independent(copier):
    store = make_store(3, 70)
    before = answers(store)
    twin = copier(store)
    assert answers(twin) == before
    twin.insert([1.0, 2.0, 3.0], 5)
    assert len(twin) == 71 and len(store) == 70
    assert answers(store) == before


def test_mapped_store_pickles(tmp_path):
    store = make_store(5, 64 * 3 + 1)
    store.save(tmp_path / "store.tnx")
    mapped = tarnix.Vectorstore.load(tmp_path / "store.tnx", mmap=True)
    assert answers(pickle.loads(pickle.dumps(mapped, 4))) == answers(store)


def test_reconstructor_is_found_by_name():
    reduced = make_store(3, 2).__reduce_ex__(2)
    assert reduced[0] is tarnix._rebuild_vectorstore
    assert (reduced[0].__module__, reduced[0].__name__) == ("tarnix", "_rebuild_vectorstore")
    assert "_rebuild_vectorstore" not in tarnix.__all__


@pytest.mark.parametrize("payload, error, message", [
    (b"", ValueError, "store file is truncated"),
    (b"TARNIX", ValueError, "store file is truncated"),
    (b"GIF89a" + bytes(200), ValueError, "not a tarnix store file"),
    ("TARNIXVS", TypeError, None),
    (None, TypeError, None),
])
def test_crafted_payloads_raise(payload, error, message):
    with pytest.raises(error) as info:
        tarnix._rebuild_vectorstore(payload)
    if message is not None:
        assert str(info.value) == message


def test_crafted_pickle_raises():
    data = pickle.dumps(make_store(3, 70), 4)
    image = image_of(make_store(3, 70))
    assert image in data
    damaged = data.replace(image, image[:-1] + bytes([image[-1] ^ 1]))
    with pytest.raises(ValueError, match="^checksum mismatch in the ids section$"):
        pickle.loads(damaged)
