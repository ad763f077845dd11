// corvane._engine: bulk kernels for fault campaigns beside corvane._rust.
//
// Sites travel as one uint64 array, never as a Python object per fault, and
// the SEC-DED functions work on _rust's Encoding objects in place, so that a
// trial costs what its faults cost. Built from the same core and binding
// helpers as _rust, whose table it leaves alone.
#define CORVANE_NUMPY_IMPORT
#include "bindings/numpy_api.hpp"
// numpy_api.hpp must come first: it defines this module's NumPy API table.

#include <utility>

#include "bindings/engine/convert.hpp"
#include "bindings/engine/functions.hpp"
#include "bindings/errors.hpp"
#include "bindings/registry.hpp"
#include "memory/fault.hpp"

namespace corvane::bindings::engine {
namespace {

constexpr unsigned kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"draw_sites", fastcall(draw_sites), kFlags,
     "draw_sites(size, seed, count)\n--\n\n"
     "The first `count` values that `Picker(size, seed=seed)` yields, in order,\n"
     "as a uint64 array."},
    {"inject", fastcall(inject), kFlags,
     "inject(arrays, kind, sites)\n--\n\n"
     "Apply the fault `kind` at every site of a list of writeable 1-D contiguous\n"
     "arrays of one dtype (float32, uint16 or uint8), in place, in order.\n\n"
     "Site g is bit g % w of element g // w, array after array. Nothing is\n"
     "written unless every site is in bounds."},
    {"encoding_inject", fastcall(encoding_inject), kFlags,
     "encoding_inject(encoding, kind, sites)\n--\n\n"
     "Apply the fault `kind` at every encoded bit index of `sites` to a SEC-DED\n"
     "Encoding, in place, in order: Encoding.apply_faults without the pairs."},
    {"encoding_bits", fastcall(encoding_bits), kFlags,
     "encoding_bits(encoding, sites)\n--\n\n"
     "The stored bit (0 or 1) at each encoded bit index, as a uint8 array."},
    {"encoding_trial", fastcall(encoding_trial), kFlags,
     "encoding_trial(encoding, kind, sites, element_bits, correct_parity=False)\n--\n\n"
     "What applying `kind` at `sites` and decoding would change, computed from\n"
     "the hit chunks alone; the encoding is neither copied nor changed.\n\n"
     "Returns (indices, values, chunks_corrected, chunks_flagged,\n"
     "chunks_miscorrected, chunks_flagged_intact, chunks_multi_hit): the sorted\n"
     "indices of the elements of `element_bits` (16 or 32) bits whose decoded\n"
     "bits change, their new bit patterns (uint16 or uint32), the counts of hit\n"
     "chunks corrected, flagged (uncorrectable) and miscorrected, the flagged\n"
     "chunks whose stored data the faults left intact, and the chunks with two\n"
     "or more distinct sites. With `correct_parity` true the decoder passes a\n"
     "zero syndrome with odd parity as a lone parity-bit error instead of\n"
     "flagging it, as memory controllers do."},
    {"changed", fastcall(changed), kFlags,
     "changed(a, b)\n--\n\n"
     "The indices where two equally long 1-D contiguous arrays of one dtype\n"
     "(float32, uint16 or uint8) differ bitwise, as a uint64 array."},
    {"false_at", fastcall(false_at), kFlags,
     "false_at(flags, indices)\n--\n\n"
     "The entries of the uint64 array `indices` whose item in the list of bools\n"
     "`flags` is False, in order, as a uint64 array: the chunks among `indices`\n"
     "that a decode flagged."},
    {"code_values", fastcall(code_values), kFlags,
     "code_values(arr, code, encode)\n--\n\n"
     "Encode (`encode` true) or decode a writeable float32 or uint16 array in\n"
     "place with an in-place code, on the calling thread: `code` 0, 1, 2 for the\n"
     "embedded-parity schemes D3P1, D7P1, D15P1, 3 for the majority vote. The\n"
     "values are those of the whole-array functions of _rust.cep and _rust.mset."},
    {nullptr, nullptr, 0, nullptr},
};

void add_to_all(PyObject* all, const char* name) {
  Ref text = Ref::check(PyUnicode_FromString(name));
  check_status(PyList_Append(all, text.get()));
}

// The module keeps process-wide state (the Encoding type, the pool), so it
// serves the first interpreter that imports it and refuses any other.
void require_first_interpreter() {
  static PyInterpreterState* first = nullptr;
  PyInterpreterState* current = PyInterpreterState_Get();
  if (first == nullptr) first = current;
  if (first != current) {
    raise(PyExc_ImportError, "corvane._engine can be imported by one interpreter per process only");
  }
}

int exec_engine(PyObject* module) {
  return guard_status(-1, [&] {
    require_first_interpreter();
    if (_import_array() < 0) throw_python();
    init_encoding_type(module);
    Ref all = Ref::check(PyList_New(0));
    constexpr std::pair<const char*, memory::FaultKind> kinds[] = {
        {"STUCK_AT_0", memory::FaultKind::StuckAt0},
        {"STUCK_AT_1", memory::FaultKind::StuckAt1},
        {"FLIP", memory::FaultKind::Flip},
    };
    for (const auto& [name, kind] : kinds) {
      check_status(PyModule_AddIntConstant(module, name, static_cast<long>(kind)));
      add_to_all(all.get(), name);
    }
    check_status(PyModule_AddFunctions(module, functions));
    for (const PyMethodDef* def = functions; def->ml_name != nullptr; ++def) add_to_all(all.get(), def->ml_name);
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    return 0;
  });
}

#ifdef Py_mod_gil
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_engine)}, {Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, nullptr}};
#else
PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_engine)}, {0, nullptr}};
#endif

PyModuleDef engine_def = {PyModuleDef_HEAD_INIT, "_engine", "Bulk kernels for fault campaigns.", 0, nullptr, slots};

}  // namespace
}  // namespace corvane::bindings::engine

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&corvane::bindings::engine::engine_def); }
