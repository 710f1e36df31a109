import pytest

import tarnix
from support import reported_about

V = [1.0, 2.0]


@pytest.fixture
def store():
    return tarnix.Vectorstore(2, [([1.0, 0.0], 1)])


def cos(*args, **kwargs):
    return tarnix.cosine_similarity(*args, **kwargs)


def new(*args, **kwargs):
    return tarnix.Vectorstore(*args, **kwargs)


def search(*args, **kwargs):
    return tarnix.Vectorstore(2).search(*args, **kwargs)


def insert(*args, **kwargs):
    return tarnix.Vectorstore(2).insert(*args, **kwargs)


CASES = [
    # missing arguments
    (cos, (), {}, "cosine_similarity() missing 2 required positional arguments: 'vec1' and 'vec2'"),
    (cos, (V,), {}, "cosine_similarity() missing 1 required positional argument: 'vec2'"),
    (cos, (), {"vec2": V}, "cosine_similarity() missing 1 required positional argument: 'vec1'"),
    (search, (), {}, "Vectorstore.search() missing 2 required positional arguments: 'vector' and 'top_k'"),
    (search, (V,), {}, "Vectorstore.search() missing 1 required positional argument: 'top_k'"),
    (search, (), {"top_k": 3}, "Vectorstore.search() missing 1 required positional argument: 'vector'"),
    (insert, (), {}, "Vectorstore.insert() missing 2 required positional arguments: 'vector' and 'id'"),
    (insert, (V,), {}, "Vectorstore.insert() missing 1 required positional argument: 'id'"),
    (new, (), {}, "Vectorstore.__new__() missing 1 required positional argument: 'vector_size'"),
    (new, (), {"vectors": None}, "Vectorstore.__new__() missing 1 required positional argument: 'vector_size'"),
    # too many positional arguments
    (cos, (V, V, V), {}, "cosine_similarity() takes 2 positional arguments but 3 were given"),
    (cos, (V, V, V, V), {}, "cosine_similarity() takes 2 positional arguments but 4 were given"),
    (search, (V, 1, 2), {}, "Vectorstore.search() takes 2 positional arguments but 3 were given"),
    (insert, (V, 1, 2), {}, "Vectorstore.insert() takes 2 positional arguments but 3 were given"),
    (new, (1, None, 2), {}, "Vectorstore.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (new, (1, None, 2, 3), {}, "Vectorstore.__new__() takes from 1 to 2 positional arguments but 4 were given"),
    # too many positional arguments is reported before anything else
    (cos, (V, V, V), {"bogus": 1}, "cosine_similarity() takes 2 positional arguments but 3 were given"),
    (new, (1, 2, 3), {"vector_size": 1}, "Vectorstore.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    # duplicate values
    (search, (V, 1), {"top_k": 2}, "Vectorstore.search() got multiple values for argument 'top_k'"),
    (search, (V,), {"vector": V}, "Vectorstore.search() got multiple values for argument 'vector'"),
    (cos, (V,), {"vec1": V}, "cosine_similarity() got multiple values for argument 'vec1'"),
    (insert, (V, 1), {"id": 1}, "Vectorstore.insert() got multiple values for argument 'id'"),
    (new, (3,), {"vector_size": 3}, "Vectorstore.__new__() got multiple values for argument 'vector_size'"),
    (new, (3, None), {"vectors": None}, "Vectorstore.__new__() got multiple values for argument 'vectors'"),
    # unexpected keywords; keywords are examined before missing arguments
    (search, (V,), {"k": 1}, "Vectorstore.search() got an unexpected keyword argument 'k'"),
    (search, (), {"k": 1}, "Vectorstore.search() got an unexpected keyword argument 'k'"),
    (search, (V,), {"TOP_K": 1}, "Vectorstore.search() got an unexpected keyword argument 'TOP_K'"),
    (search, (V,), {"top_k ": 1}, "Vectorstore.search() got an unexpected keyword argument 'top_k '"),
    (search, (V,), {"top": 1}, "Vectorstore.search() got an unexpected keyword argument 'top'"),
    (search, (V,), {"top_k\x00": 1}, "Vectorstore.search() got an unexpected keyword argument 'top_k\x00'"),
    (search, (V,), {"t\u00f6p_k": 1}, "Vectorstore.search() got an unexpected keyword argument 't\u00f6p_k'"),
    (search, (V,), {"self": 1}, "Vectorstore.search() got an unexpected keyword argument 'self'"),
    (cos, (), {"vec3": V}, "cosine_similarity() got an unexpected keyword argument 'vec3'"),
    (insert, (V,), {"ident": 1}, "Vectorstore.insert() got an unexpected keyword argument 'ident'"),
    (new, (), {"size": 1}, "Vectorstore.__new__() got an unexpected keyword argument 'size'"),
    (new, (2,), {"vector": []}, "Vectorstore.__new__() got an unexpected keyword argument 'vector'"),
    # the first bad keyword in call order wins
    (search, (V,), {"k": 1, "j": 2}, "Vectorstore.search() got an unexpected keyword argument 'k'"),
    (search, (V,), {"j": 2, "k": 1}, "Vectorstore.search() got an unexpected keyword argument 'j'"),
    (search, (V, 1), {"top_k": 1, "k": 1}, "Vectorstore.search() got multiple values for argument 'top_k'"),
    (search, (V, 1), {"k": 1, "top_k": 1}, "Vectorstore.search() got an unexpected keyword argument 'k'"),
    (new, (), {"b": 1, "a": 2}, "Vectorstore.__new__() got an unexpected keyword argument 'b'"),
    (new, (2,), {"a": 1, "vector_size": 2}, "Vectorstore.__new__() got an unexpected keyword argument 'a'"),
    (new, (2,), {"vector_size": 2, "a": 1}, "Vectorstore.__new__() got multiple values for argument 'vector_size'"),
    # keyword names that have no UTF-8 form are shown with replacement characters
    (search, (V,), {"\ud800": 1}, "Vectorstore.search() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (search, (V,), {"a\udcffb": 1}, "Vectorstore.search() got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb'"),
    (new, (), {"\ud800\udfff": 1}, "Vectorstore.__new__() got an unexpected keyword argument '" + "\ufffd" * 6 + "'"),
]


@pytest.mark.parametrize("call, args, kwargs, message", CASES)
def test_binding_failure(call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((V, 1), {}),
        ((V,), {"top_k": 1}),
        ((), {"vector": V, "top_k": 1}),
        ((), {"top_k": 1, "vector": V}),
    ],
)
def test_search_binds_by_position_or_keyword(store, args, kwargs):
    assert store.search(*args, **kwargs) == store.search([1.0, 2.0], 1)


def test_insert_binds_by_keyword_in_any_order(store):
    assert store.insert(id=5, vector=[0.0, 1.0]) is None
    assert store.insert([0.0, 1.0], id=6) is None
    assert store.search([0.0, 1.0], 3) == [(1.0, 5), (1.0, 6), (0.0, 1)]


def test_cosine_binds_by_keyword():
    assert tarnix.cosine_similarity(vec2=[4.0, 5.0, 6.0], vec1=[1.0, 2.0, 3.0]) == 0.9746317863464355
    assert tarnix.cosine_similarity([1.0, 2.0, 3.0], vec2=[4.0, 5.0, 6.0]) == 0.9746317863464355


@pytest.mark.parametrize(
    "args, kwargs",
    [((4,), {}), ((4, None), {}), ((4,), {"vectors": None}), ((), {"vector_size": 4}), ((), {"vectors": None, "vector_size": 4})],
)
def test_constructor_binding(args, kwargs):
    store = tarnix.Vectorstore(*args, **kwargs)
    assert repr(store) == "Vectorstore(vector_size=4, len=0)"


def test_constructor_binds_vectors_by_keyword():
    store = tarnix.Vectorstore(vectors=[([1.0], 9)], vector_size=1)
    assert store.search([1.0], 1) == [(1.0, 9)]


def test_binding_failure_leaves_the_store_usable(store):
    with pytest.raises(TypeError):
        store.insert([1.0, 1.0])
    with pytest.raises(TypeError):
        store.search(vector=[1.0, 1.0], top_k=1, k=2)
    assert len(store) == 1
    store.insert([1.0, 1.0], 2)
    assert len(store) == 2


class _UnprintableName(str):
    def __str__(self):
        raise ValueError("no text for this name")


@pytest.mark.parametrize("call", [search, new])
def test_unprintable_keyword_name(call, unraisable):
    name = _UnprintableName("bogus")
    with pytest.raises(TypeError) as info:
        call(**{name: 1})
    fullname = "Vectorstore.search()" if call is search else "Vectorstore.__new__()"
    assert str(info.value) == fullname + " got an unexpected keyword argument '<unprintable _UnprintableName object>'"
    assert len(unraisable) == 1
    assert unraisable[0].exc_type is ValueError
    assert str(unraisable[0].exc_value) == "no text for this name"
    assert reported_about(unraisable[0], name)


def test_keyword_name_of_a_str_subclass_still_binds(store):
    assert store.search([1.0, 0.0], **{_UnprintableName("top_k"): 1}) == [(1.0, 1)]
