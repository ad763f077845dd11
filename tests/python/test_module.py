"""The module frame: registration, types, docs and argument binding."""

import inspect
import sys
import weakref

import numpy as np
import pytest

import corvane._rust as rust

TOP = [
    "secded", "mset", "cep", "Fault", "Picker",
    "list_of_array_fault_f32", "list_of_array_fault_u8", "list_of_array_fault_u16",
    "list_of_array_faults_f32", "list_of_array_faults_u8", "list_of_array_faults_u16",
]


def test_top_level_all_in_registration_order():
    assert rust.__all__ == TOP
    assert rust.__doc__ == ""
    public = {n for n in vars(rust) if not n.startswith("__")}
    assert public == set(TOP)


@pytest.mark.parametrize(
    "name, members",
    [
        ("secded", ["Encoding", "encode_f32", "encode_u16"]),
        ("mset", ["decode_f32", "decode_u16", "encode_f32", "encode_u16"]),
        ("cep", ["Scheme", "decode_f32", "decode_u16", "encode_f32", "encode_u16"]),
    ],
)
def test_submodules(name, members):
    sub = getattr(rust, name)
    assert sub.__name__ == f"_rust.{name}"
    assert sub.__doc__ == ""
    assert sub.__all__ == members
    assert {n for n in vars(sub) if not n.startswith("__")} == set(members)
    assert f"corvane._rust.{name}" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        __import__(f"corvane._rust.{name}")
    for fn in members:
        obj = getattr(sub, fn)
        if callable(obj) and not isinstance(obj, type):
            assert obj.__module__ == f"_rust.{name}"


def test_from_import_of_submodule():
    from corvane._rust import secded

    assert secded is rust.secded


CLASSES = [rust.Fault, rust.Picker, rust.secded.Encoding, rust.cep.Scheme]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_properties(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)
    # Not frozen: attributes can be set on the type.
    cls._probe = 1
    del cls._probe


@pytest.mark.parametrize("cls", [rust.Fault, rust.secded.Encoding, rust.cep.Scheme], ids=lambda c: c.__name__)
def test_classes_without_constructor(cls):
    assert cls.__doc__ is None
    with pytest.raises(TypeError):
        cls()


def test_fault_instances():
    f = rust.Fault.flip()
    with pytest.raises(AttributeError):
        f.__dict__
    with pytest.raises(TypeError):
        weakref.ref(f)
    assert repr(f).startswith("<builtins.Fault object at 0x")
    assert f != rust.Fault.flip()
    assert f == f
    assert type(f.flip()) is rust.Fault
    assert f.flip() is not f


def test_fault_cannot_be_copied_or_pickled():
    import copy
    import pickle

    with pytest.raises(TypeError):
        copy.copy(rust.Fault.flip())
    with pytest.raises(TypeError):
        pickle.dumps(rust.Fault.flip())


SIGNATURES = [
    (rust, "list_of_array_fault_f32", "(input, fault, target_bit)"),
    (rust, "list_of_array_fault_u8", "(input, fault, target_bit)"),
    (rust, "list_of_array_fault_u16", "(input, fault, target_bit)"),
    (rust, "list_of_array_faults_f32", "(input, faults)"),
    (rust, "list_of_array_faults_u8", "(input, faults)"),
    (rust, "list_of_array_faults_u16", "(input, faults)"),
    (rust.secded, "encode_f32", "(input, bits_per_chunk)"),
    (rust.secded, "encode_u16", "(input, bits_per_chunk)"),
    (rust.cep, "encode_f32", "(arr, scheme)"),
    (rust.cep, "encode_u16", "(arr, scheme)"),
    (rust.cep, "decode_f32", "(arr, scheme)"),
    (rust.cep, "decode_u16", "(arr, scheme)"),
    (rust.mset, "encode_f32", "(arr)"),
    (rust.mset, "encode_u16", "(arr)"),
    (rust.mset, "decode_f32", "(arr)"),
    (rust.mset, "decode_u16", "(arr)"),
    (rust.Fault, "stuck_at_0", "()"),
    (rust.Fault, "stuck_at_1", "()"),
    (rust.Fault, "flip", "()"),
]


@pytest.mark.parametrize("owner, name, sig", SIGNATURES, ids=lambda x: x if isinstance(x, str) else "")
def test_text_signatures(owner, name, sig):
    fn = getattr(owner, name)
    assert fn.__text_signature__ == sig
    assert str(inspect.signature(fn)) == sig


@pytest.mark.parametrize(
    "name", ["list_of_array_fault_f32", "list_of_array_faults_u8", "list_of_array_faults_u16"]
)
def test_functions_without_doc_body(name):
    assert getattr(rust, name).__doc__ is None


def _fault_u8(*args, **kwargs):
    return rust.list_of_array_fault_u8(*args, **kwargs)


A = np.zeros(4, np.uint8)
F = rust.Fault.flip()

BINDING_ERRORS = [
    ((), {}, "list_of_array_fault_u8() missing 3 required positional arguments: 'input', 'fault', and 'target_bit'"),
    (([A],), {}, "list_of_array_fault_u8() missing 2 required positional arguments: 'fault' and 'target_bit'"),
    (([A], F), {}, "list_of_array_fault_u8() missing 1 required positional argument: 'target_bit'"),
    (([A], F, 0, 1), {}, "list_of_array_fault_u8() takes 3 positional arguments but 4 were given"),
    (([A], F), {"target_bit": 0, "bogus": 1}, "list_of_array_fault_u8() got an unexpected keyword argument 'bogus'"),
    (([A], F, 0), {"fault": F}, "list_of_array_fault_u8() got multiple values for argument 'fault'"),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_argument_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _fault_u8(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_binding_singular_was_and_plural_arguments():
    with pytest.raises(TypeError) as info:
        rust.mset.encode_f32(A, 0)
    assert str(info.value) == "encode_f32() takes 1 positional arguments but 2 were given"


def test_keyword_binding():
    a = np.zeros(2, np.uint8)
    assert rust.list_of_array_fault_u8(input=[a], fault=rust.Fault.flip(), target_bit=0) is None
    assert a.tolist() == [1, 0]
    rust.list_of_array_fault_u8(target_bit=1, fault=rust.Fault.flip(), input=[a])
    assert a.tolist() == [3, 0]


def test_conversion_runs_in_parameter_order():
    # Both arguments are wrong; the first parameter's error wins.
    with pytest.raises(TypeError) as info:
        rust.list_of_array_fault_u8("x", None, -1)
    assert info.value.__notes__ == ["while processing 'input'"]


def test_internal_error_class(panic_exception):
    assert panic_exception.__qualname__ == "PanicException"
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    assert internal_error_again() is panic_exception


def internal_error_again():
    from elements import internal_error_type

    return internal_error_type()


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters" if sys.version_info < (3, 13) else "_interpreters")
    interp = interpreters.create()
    try:
        code = (
            "import sys\n"
            "try:\n"
            "    import corvane._rust\n"
            "except ImportError:\n"
            "    pass\n"
            "else:\n"
            "    raise SystemExit('imported in a second interpreter')\n"
        )
        if sys.version_info < (3, 13):
            interpreters.run_string(interp, code)
        else:
            assert interpreters.exec(interp, code) is None
    finally:
        interpreters.destroy(interp)
