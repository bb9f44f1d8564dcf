"""Module start-up, class objects, the shared call frame (argument matching,
conversions, claims, owner thread) and the snapshot iterator classes."""

import array
import importlib
import inspect
import random
import sys

import pytest

import corvale_trie
import corvale_trie._corvale as _corvale
from corvale_trie._corvale import (
    CorvaleMap,
    CorvaleMapItemIter,
    CorvaleMapKeyIter,
    CorvaleMapRangeIter,
    CorvaleMapValueIter,
    CorvaleSet,
    CorvaleSetIter,
    CorvaleSetRangeIter,
)

U64_MAX = 2**64 - 1

# The module's classes in registration order.
REGISTRATION_ORDER = [
    "CorvaleMap",
    "CorvaleSet",
    "SyncCorvaleMap",
    "SyncCorvaleSet",
    "CorvaleStrMap",
    "CorvaleBytesMap",
    "CorvaleBlobMap",
    "CorvaleMapKeyIter",
    "CorvaleMapValueIter",
    "CorvaleMapItemIter",
    "CorvaleMapRangeIter",
    "CorvaleSetIter",
    "CorvaleSetRangeIter",
    "SyncCorvaleMapKeyIter",
    "SyncCorvaleMapValueIter",
    "SyncCorvaleMapItemIter",
    "SyncCorvaleMapRangeIter",
    "SyncCorvaleSetIter",
    "SyncCorvaleSetRangeIter",
    "CorvaleStrMapKeyIter",
    "CorvaleStrMapValueIter",
    "CorvaleStrMapItemIter",
    "CorvaleBytesMapKeyIter",
    "CorvaleBytesMapValueIter",
    "CorvaleBytesMapItemIter",
]

INTEGER_CLASSES = [
    "CorvaleMap",
    "CorvaleSet",
    "CorvaleMapKeyIter",
    "CorvaleMapValueIter",
    "CorvaleMapItemIter",
    "CorvaleMapRangeIter",
    "CorvaleSetIter",
    "CorvaleSetRangeIter",
]

ITERATOR_DOCS = {
    "CorvaleSetIter": "Key iterator for [`CorvaleSet`].",
    "CorvaleSetRangeIter": "Range iterator for [`CorvaleSet`].",
    "CorvaleMapKeyIter": "Iterator yielding keys of [`CorvaleMap`].",
    "CorvaleMapValueIter": "Iterator yielding values of [`CorvaleMap`].",
    "CorvaleMapItemIter": "Iterator yielding `(key, value)` pairs of [`CorvaleMap`].",
    "CorvaleMapRangeIter": "Range iterator yielding `(key, value)` pairs of [`CorvaleMap`].",
}


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


# ---------------------------------------------------------------------------
# Module start-up


class TestModule:
    def test_version_and_docstring(self):
        assert _corvale.__version__ == "0.4.1"
        assert corvale_trie.__version__ == "0.4.1"
        assert _corvale.__doc__ == "The `_corvale` PyO3 module."

    def test_all_lists_version_then_classes_in_registration_order(self):
        names = _corvale.__all__
        assert isinstance(names, list)
        assert names[0] == "__version__"
        assert set(INTEGER_CLASSES) <= set(names)
        assert set(names[1:]) <= set(REGISTRATION_ORDER)
        assert names == ["__version__"] + [n for n in REGISTRATION_ORDER if n in names]
        assert len(names) == len(set(names))

    def test_every_listed_name_is_an_attribute(self):
        for name in _corvale.__all__:
            assert name in dir(_corvale)
            assert getattr(_corvale, name) is not None
        assert corvale_trie.__all__ == _corvale.__all__

    def test_second_import_gets_new_module_with_the_same_classes(self, monkeypatch):
        first = sys.modules["corvale_trie._corvale"]
        monkeypatch.delitem(sys.modules, "corvale_trie._corvale")
        monkeypatch.setattr(corvale_trie, "_corvale", first)
        second = importlib.import_module("corvale_trie._corvale")
        try:
            assert second is not first
            assert second.__all__ == first.__all__
            assert second.__all__ is not first.__all__
            for name in first.__all__[1:]:
                assert getattr(second, name) is getattr(first, name)
            s = second.CorvaleSet([1, 2])
            assert isinstance(s, first.CorvaleSet)
        finally:
            sys.modules["corvale_trie._corvale"] = first

    def test_a_second_interpreter_cannot_load_the_module(self, tmp_path):
        try:
            import _xxsubinterpreters as subinterpreters

            run = subinterpreters.run_string
        except ImportError:
            subinterpreters = pytest.importorskip("_interpreters")
            run = subinterpreters.exec
        result = tmp_path / "result.txt"
        code = (
            "import sys\n"
            f"sys.path[:] = {sys.path!r}\n"
            "try:\n"
            "    import corvale_trie._corvale\n"
            "    outcome = 'imported'\n"
            "except ImportError as exc:\n"
            "    outcome = 'ImportError'\n"
            f"with open({str(result)!r}, 'w') as f:\n"
            "    f.write(outcome)\n"
        )
        interp = subinterpreters.create()
        try:
            run(interp, code)
        finally:
            subinterpreters.destroy(interp)
        assert result.read_text() == "ImportError"
        # The module keeps working in this interpreter.
        assert list(CorvaleSet([2, 1])) == [1, 2]


# ---------------------------------------------------------------------------
# Class objects


class TestClassObjects:
    @pytest.mark.parametrize("name", INTEGER_CLASSES)
    def test_name_and_module(self, name):
        cls = getattr(_corvale, name)
        assert isinstance(cls, type)
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert cls.__module__ == "corvale_trie._corvale"
        assert cls.__base__ is object

    def test_no_class_can_be_subclassed(self):
        for name in _corvale.__all__[1:]:
            cls = getattr(_corvale, name)
            with pytest.raises(TypeError):
                type("Sub", (cls,), {})

    @pytest.mark.parametrize("name", sorted(ITERATOR_DOCS))
    @pytest.mark.parametrize(
        "args, kwargs", [((), {}), ((1,), {}), (([1, 2],), {}), ((), {"items": [1]})]
    )
    def test_iterator_classes_cannot_be_created(self, name, args, kwargs):
        cls = getattr(_corvale, name)
        with pytest.raises(TypeError) as exc_info:
            cls(*args, **kwargs)
        assert str(exc_info.value) == f"cannot create 'corvale_trie._corvale.{name}' instances"

    @pytest.mark.parametrize("name", sorted(ITERATOR_DOCS))
    def test_iterator_class_surface(self, name):
        cls = getattr(_corvale, name)
        assert cls.__doc__ == ITERATOR_DOCS[name]
        for slot in ("__iter__", "__next__", "__len__"):
            assert slot in cls.__dict__
        own = {k for k in cls.__dict__ if not k.startswith("__")}
        assert own == set()

    def test_container_text_signatures(self):
        assert str(inspect.signature(CorvaleSet)) == "(iterable=None)"
        assert str(inspect.signature(CorvaleMap)) == "(items=None)"
        assert CorvaleSet.__doc__.startswith("A sparse, dynamic 64-bit unsigned integer set")
        assert CorvaleMap.__doc__.startswith("A sparse, dynamic 64-bit unsigned integer map")

    @pytest.mark.parametrize(
        "cls, method, params",
        [
            (CorvaleSet, "insert", ["key"]),
            (CorvaleSet, "next", ["key", "inclusive=False"]),
            (CorvaleSet, "range", ["start=None", "end=None", "inclusive=True"]),
            (CorvaleSet, "insert_many", ["keys"]),
            (CorvaleSet, "is_empty", []),
            (CorvaleMap, "get", ["key", "default=None"]),
            (CorvaleMap, "insert", ["key", "val"]),
            (CorvaleMap, "insert_many", ["keys", "values"]),
            (CorvaleMap, "range", ["start=None", "end=None", "inclusive=True"]),
        ],
    )
    def test_method_text_signatures(self, cls, method, params):
        sig = inspect.signature(getattr(cls, method))
        shown = [str(p) for p in sig.parameters.values()]
        assert shown == ["self"] + params


# ---------------------------------------------------------------------------
# Argument matching and conversion


class IndexOf:
    """An object that converts through __index__."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value


class TestArgumentMatching:
    def test_missing_surplus_and_unexpected_arguments(self):
        s = CorvaleSet()
        cases = [
            (lambda: s.insert(), "CorvaleSet.insert() missing 1 required positional argument: 'key'"),
            (
                lambda: s.insert(1, 2),
                "CorvaleSet.insert() takes 1 positional arguments but 2 were given",
            ),
            (lambda: s.insert(1, key=2), "CorvaleSet.insert() got multiple values for argument 'key'"),
            (lambda: s.insert(k=2), "CorvaleSet.insert() got an unexpected keyword argument 'k'"),
            (
                lambda: s.range(1, 2, True, 4),
                "CorvaleSet.range() takes from 0 to 3 positional arguments but 4 were given",
            ),
            (lambda: s.next(), "CorvaleSet.next() missing 1 required positional argument: 'key'"),
            (
                lambda: CorvaleMap().insert(),
                "CorvaleMap.insert() missing 2 required positional arguments: 'key' and 'val'",
            ),
            (
                lambda: CorvaleMap().insert_many(values=[1]),
                "CorvaleMap.insert_many() missing 1 required positional argument: 'keys'",
            ),
            (
                lambda: CorvaleSet([1], [2]),
                "CorvaleSet.__new__() takes from 0 to 1 positional arguments but 2 were given",
            ),
            (
                lambda: CorvaleMap(None, None),
                "CorvaleMap.__new__() takes from 0 to 1 positional arguments but 2 were given",
            ),
            (
                lambda: CorvaleMap(iterable=[]),
                "CorvaleMap.__new__() got an unexpected keyword argument 'iterable'",
            ),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as exc_info:
                call()
            assert str(exc_info.value) == message

    def test_keywords_and_defaults(self):
        s = CorvaleSet(iterable=[10, 20, 30])
        assert s.insert(key=40) is True
        assert s.next(key=10) == 20
        assert s.next(10, inclusive=True) == 10
        assert s.range(end=20) == [10, 20]
        assert s.range(start=None, end=None) == [10, 20, 30, 40]
        assert len(CorvaleMap(items=None)) == 0

    def test_methods_without_parameters_refuse_arguments(self):
        with pytest.raises(TypeError):
            CorvaleSet().is_empty(1)
        with pytest.raises(TypeError):
            CorvaleSet().clear(x=1)


class TestConversions:
    def test_u64_accepts_ints_subclasses_and_index_objects(self):
        class MyInt(int):
            pass

        s = CorvaleSet()
        assert s.insert(MyInt(7)) is True
        assert s.insert(IndexOf(8)) is True
        assert s.insert(True) is True  # bool is an int: key 1
        assert s.insert(0) is True
        assert s.insert(U64_MAX) is True
        assert list(s) == [0, 1, 7, 8, U64_MAX]
        assert s.contains(IndexOf(U64_MAX)) is True

    @pytest.mark.parametrize(
        "value, exc_type, message",
        [
            (-1, OverflowError, "can't convert negative int to unsigned"),
            (2**64, OverflowError, "int too big to convert"),
            ("5", TypeError, "'str' object cannot be interpreted as an integer"),
            (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
            (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        ],
    )
    def test_u64_failures_carry_the_parameter_note(self, value, exc_type, message):
        s = CorvaleSet([1])
        with pytest.raises(exc_type) as exc_info:
            s.insert(value)
        assert str(exc_info.value) == message
        assert notes(exc_info) == ["while processing 'key'"]
        with pytest.raises(exc_type) as exc_info:
            s.count_range(0, value)
        assert notes(exc_info) == ["while processing 'end'"]
        assert list(s) == [1]

    def test_index_errors_propagate_with_the_note(self):
        def fail():
            raise KeyError("boom")

        with pytest.raises(KeyError) as exc_info:
            CorvaleSet().insert(IndexOf(1, fail))
        assert notes(exc_info) == ["while processing 'key'"]

    @pytest.mark.parametrize(
        "value, message",
        [
            (1, "'int' object is not an instance of 'bool'"),
            (0, "'int' object is not an instance of 'bool'"),
            (None, "'None' is not an instance of 'bool'"),
            ("yes", "'str' object is not an instance of 'bool'"),
        ],
    )
    def test_bool_parameters_take_only_true_and_false(self, value, message):
        s = CorvaleSet([1, 2])
        with pytest.raises(TypeError) as exc_info:
            s.next(1, value)
        assert str(exc_info.value) == message
        assert notes(exc_info) == ["while processing 'inclusive'"]

    def test_numpy_bool_scalars_by_truth_value(self):
        np = pytest.importorskip("numpy")
        s = CorvaleSet([1, 2])
        assert s.next(1, np.bool_(True)) == 1
        assert s.next(1, np.bool_(False)) == 2
        assert s.range(1, 2, np.False_) == [1]

    def test_conversion_order_follows_the_signature(self):
        s = CorvaleSet([1])
        with pytest.raises(TypeError) as exc_info:
            s.range("a", -1, 5)
        assert notes(exc_info) == ["while processing 'start'"]
        with pytest.raises(OverflowError) as exc_info:
            s.range(0, -1, 5)
        assert notes(exc_info) == ["while processing 'end'"]


# ---------------------------------------------------------------------------
# Claims


class TestClaims:
    def test_reads_inside_a_change_are_refused(self):
        s = CorvaleSet([1, 2, 3])
        with pytest.raises(RuntimeError) as exc_info:
            s.insert(IndexOf(4, lambda: len(s)))
        assert str(exc_info.value) == "Already mutably borrowed"
        assert list(s) == [1, 2, 3]

    def test_changes_inside_a_read_or_change_are_refused(self):
        s = CorvaleSet([1, 2, 3])
        with pytest.raises(RuntimeError) as exc_info:
            s.contains(IndexOf(4, lambda: s.insert(9)))
        assert str(exc_info.value) == "Already borrowed"
        with pytest.raises(RuntimeError) as exc_info:
            s.remove(IndexOf(1, lambda: s.clear()))
        assert str(exc_info.value) == "Already borrowed"
        assert list(s) == [1, 2, 3]

    def test_reads_nest_inside_reads(self):
        s = CorvaleSet([1, 2, 3])
        assert s.contains(IndexOf(2, lambda: s.first())) is True
        assert s.count_range(IndexOf(1, lambda: len(s)), 3) == 3

    def test_iteration_while_changing_is_refused(self):
        s = CorvaleSet([1])
        with pytest.raises(RuntimeError) as exc_info:
            s.update(s)
        assert str(exc_info.value) == "Already mutably borrowed"
        m = CorvaleMap({1: 2})
        with pytest.raises(RuntimeError) as exc_info:
            m.insert(IndexOf(3, lambda: iter(m)), 4)
        assert str(exc_info.value) == "Already mutably borrowed"
        assert list(m) == [1]

    def test_claims_are_released_after_failures(self):
        s = CorvaleSet([1])
        for bad in (-1, "x", IndexOf(2, lambda: s.insert(3))):
            with pytest.raises((OverflowError, TypeError, RuntimeError)):
                s.insert(bad)
        with pytest.raises(KeyError):
            CorvaleSet().pop()
        assert s.insert(5) is True
        assert len(s) == 2
        it = iter(s)
        assert list(it) == [1, 5]


# ---------------------------------------------------------------------------
# Owner thread


class TestOwnerThread:
    def test_set_used_from_another_thread(self, owner_thread):
        owner_thread.make("s", lambda: CorvaleSet([1, 2]))
        message = "_corvale::set::CorvaleSet is unsendable, but sent to another thread"
        objects = owner_thread.objects
        for call in (
            lambda: len(objects["s"]),
            lambda: objects["s"].insert(3),
            lambda: 1 in objects["s"],
            lambda: objects["s"].insert(-1),  # refused before the conversion
            lambda: repr(objects["s"]),
            lambda: iter(objects["s"]),
            lambda: objects["s"].empty,
        ):
            with pytest.raises(RuntimeError) as exc_info:
                call()
            assert str(exc_info.value) == message
        assert owner_thread.run(lambda: list(objects["s"])) == [1, 2]

    def test_map_and_iterators_used_from_another_thread(self, owner_thread):
        owner_thread.make("m", lambda: CorvaleMap({1: 10}))
        owner_thread.make("mi", lambda: iter(owner_thread.objects["m"]))
        owner_thread.make("si", lambda: iter(CorvaleSet([4])))
        objects = owner_thread.objects
        cases = [
            (lambda: objects["m"][1], "_corvale::map::CorvaleMap"),
            (lambda: next(objects["mi"]), "_corvale::map::CorvaleMapKeyIter"),
            (lambda: len(objects["mi"]), "_corvale::map::CorvaleMapKeyIter"),
            (lambda: iter(objects["si"]), "_corvale::set::CorvaleSetIter"),
        ]
        for call, path in cases:
            with pytest.raises(RuntimeError) as exc_info:
                call()
            assert str(exc_info.value) == f"{path} is unsendable, but sent to another thread"
        assert owner_thread.run(lambda: list(objects["mi"])) == [1]
        assert owner_thread.run(lambda: next(objects["si"])) == 4

    def test_same_class_argument_from_another_thread(self, owner_thread):
        owner_thread.make("t", lambda: CorvaleSet([7]))
        s = CorvaleSet([1])
        with pytest.raises(RuntimeError) as exc_info:
            s.update(owner_thread.objects["t"])
        assert str(exc_info.value) == (
            "_corvale::set::CorvaleSet is unsendable, but sent to another thread"
        )
        assert list(s) == [1]

    def test_teardown_on_another_thread_is_reported_not_fatal(self, owner_thread, unraisable):
        owner_thread.make("s", lambda: CorvaleSet(range(100)))
        owner_thread.make("it", lambda: iter(owner_thread.objects["s"]))
        s = owner_thread.objects.pop("s")
        it = owner_thread.objects.pop("it")
        del s, it
        assert unraisable == [
            (
                RuntimeError,
                "_corvale::set::CorvaleSet is unsendable, but is being dropped on another thread",
            ),
            (
                RuntimeError,
                "_corvale::set::CorvaleSetIter is unsendable, but is being dropped on another thread",
            ),
        ]

    def test_teardown_keeps_a_pending_exception(self, owner_thread, unraisable):
        owner_thread.make("s", lambda: CorvaleSet([1]))

        def drop_while_raising():
            victim = owner_thread.objects.pop("s")
            try:
                raise ValueError("pending")
            finally:
                del victim

        with pytest.raises(ValueError, match="pending"):
            drop_while_raising()
        assert [exc_type for exc_type, _ in unraisable] == [RuntimeError]


# ---------------------------------------------------------------------------
# Snapshot iterators


class TestSnapshotIterators:
    def test_empty_container(self):
        it = iter(CorvaleSet())
        assert type(it) is CorvaleSetIter
        assert len(it) == 0
        assert not it
        with pytest.raises(StopIteration):
            next(it)
        assert type(iter(CorvaleMap())) is CorvaleMapKeyIter
        assert isinstance(CorvaleMap().values(), list)

    def test_length_falls_and_exhaustion_is_final(self):
        rng = random.Random(4110)
        for n in (1, 31, 32, 300):
            keys = sorted(set(rng.getrandbits(64) for _ in range(n)) | {0, U64_MAX})
            s = CorvaleSet(keys)
            it = iter(s)
            assert iter(it) is it
            seen = []
            for remaining in range(len(keys), 0, -1):
                assert len(it) == remaining
                assert bool(it)
                seen.append(next(it))
            assert seen == keys, f"seed 4110, n={n}"
            for _ in range(3):
                with pytest.raises(StopIteration):
                    next(it)
                assert len(it) == 0
                assert not it

    def test_largest_key_comes_back_positive(self):
        it = iter(CorvaleSet([U64_MAX]))
        assert next(it) == U64_MAX
        m = CorvaleMap({U64_MAX: U64_MAX})
        assert list(iter(m)) == [U64_MAX]

    def test_snapshot_ignores_later_changes_and_outlives_the_container(self):
        s = CorvaleSet(range(0, 100, 3))
        it = iter(s)
        assert next(it) == 0
        s.insert(1)
        s.remove(3)
        assert len(it) == 33
        s.clear()
        assert next(it) == 3
        del s
        assert list(it) == list(range(6, 100, 3))

        m = CorvaleMap({5: 50, 2: 20})
        mit = iter(m)
        m[1] = 10
        del m[5]
        del m
        assert list(mit) == [2, 5]

    def test_map_iterator_yields_keys_in_order(self):
        rng = random.Random(4106)
        pairs = {rng.getrandbits(64): rng.getrandbits(64) for _ in range(200)}
        it = iter(CorvaleMap(pairs))
        assert type(it) is CorvaleMapKeyIter
        assert len(it) == len(pairs)
        assert list(it) == sorted(pairs)

    def test_iterators_from_iterables_are_independent(self):
        s = CorvaleSet(array.array("Q", [3, 1, 2]))
        a, b = iter(s), iter(s)
        assert next(a) == 1
        assert list(b) == [1, 2, 3]
        assert list(a) == [2, 3]

    def test_unused_iterator_classes_are_distinct(self):
        classes = {
            CorvaleSetIter,
            CorvaleSetRangeIter,
            CorvaleMapKeyIter,
            CorvaleMapValueIter,
            CorvaleMapItemIter,
            CorvaleMapRangeIter,
        }
        assert len(classes) == 6
        assert isinstance(CorvaleSet([1]).range(), list)
        assert isinstance(CorvaleMap({1: 1}).items(), list)
