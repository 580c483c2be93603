// What differs between the CPython versions this module builds for (3.9 to
// 3.13), behind a few small helpers, so that _machine_utils.cpp reads the same
// for every version. Each helper says what changed and when; nothing else in
// the module tests PY_VERSION_HEX.
#ifndef TAMSEL_MACHINE_UTILS_COMPAT_H
#define TAMSEL_MACHINE_UTILS_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <opcode.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030E0000 || defined(PYPY_VERSION)
#error "tamsel.utils._machine_utils supports CPython 3.9 to 3.13 only."
#endif

namespace tamsel {
namespace compat {

/* ------------------------------------------------------------------------ */
/* The thread's handled exception (what `sys.exc_info()` reads first)        */
/* ------------------------------------------------------------------------ */

// Up to 3.10 the slot holds a (type, value, traceback) triple; from 3.11 it
// holds only the exception, whose type and traceback hang off the instance.
// HandledSlot reads and writes that slot in terms of the exception alone; the
// slot is the thread's own one, not the topmost handled exception, so that a
// generator's slot never receives its caller's exception.
class HandledSlot {
public:
    HandledSlot() noexcept : item_(PyThreadState_Get()->exc_info) {}

    // The slot's current content, as new references.
    struct Saved {
#if PY_VERSION_HEX >= 0x030B0000
        PyObject* value;
#else
        PyObject* type;
        PyObject* value;
        PyObject* traceback;
#endif
    };

    Saved save() const noexcept {
#if PY_VERSION_HEX >= 0x030B0000
        Py_XINCREF(item_->exc_value);
        return Saved{item_->exc_value};
#else
        Py_XINCREF(item_->exc_type);
        Py_XINCREF(item_->exc_value);
        Py_XINCREF(item_->exc_traceback);
        return Saved{item_->exc_type, item_->exc_value, item_->exc_traceback};
#endif
    }

    static void release(Saved& saved) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
        Py_CLEAR(saved.value);
#else
        Py_CLEAR(saved.type);
        Py_CLEAR(saved.value);
        Py_CLEAR(saved.traceback);
#endif
    }

    // Puts `saved` back unless the slot still holds exactly it.
    void restore(const Saved& saved) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
        if (item_->exc_value != saved.value) {
            put(saved.value);
        }
#else
        if (item_->exc_type != saved.type || item_->exc_value != saved.value ||
            item_->exc_traceback != saved.traceback) {
            put(saved.type, saved.value, saved.traceback);
        }
#endif
    }

    // Makes `exception` (an exception instance with its traceback attached)
    // the one being handled, as an `except` clause does.
    void handle(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
        put(exception);
#else
        PyObject* traceback = PyException_GetTraceback(exception);  // new or NULL
        put(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception, traceback);
        Py_XDECREF(traceback);
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030B0000
    void put(PyObject* value) noexcept {
        PyObject* old = item_->exc_value;
        Py_XINCREF(value);
        item_->exc_value = value;
        Py_XDECREF(old);  // last: a finaliser may run arbitrary code
    }
#else
    void put(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
        PyObject* old_type = item_->exc_type;
        PyObject* old_value = item_->exc_value;
        PyObject* old_traceback = item_->exc_traceback;
        Py_XINCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(traceback);
        item_->exc_type = type;
        item_->exc_value = value;
        item_->exc_traceback = traceback;
        Py_XDECREF(old_type);
        Py_XDECREF(old_value);
        Py_XDECREF(old_traceback);
    }
#endif

    _PyErr_StackItem* item_;
};

/* ------------------------------------------------------------------------ */
/* The pending (raised) exception                                            */
/* ------------------------------------------------------------------------ */

// Takes the pending exception as one normalised instance carrying its
// traceback (a new reference), leaving no error pending. From 3.12 that is the
// interpreter's own representation; before, the triple is normalised here.
inline PyObject* take_raised() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `exception` again (stealing the reference), with the traceback it
// carries.
inline void set_raised(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (exception == nullptr) {
        PyErr_Restore(nullptr, nullptr, nullptr);
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

/* ------------------------------------------------------------------------ */
/* Code objects that raise when run                                          */
/* ------------------------------------------------------------------------ */

// The body of the module's code objects: every instruction maps to the first
// line, and running it raises AssertionError, as the interpreter's own empty
// code objects do from 3.11 (running one must never run off the end of its
// bytecode). What changed with the versions:
//   3.9   LOAD_ASSERTION_ERROR; RAISE_VARARGS 1, and an empty line-number
//         table (every offset then maps to the first line)
//   3.10  the same bytecode; a line table of one 4-byte entry at delta 0
//   3.11+ RESUME first, then the two; a location table of one entry of three
//         code units without columns; the constructor also takes a qualified
//         name and an exception table, and is PyUnstable_Code_New from 3.12.
// The two functions below make the bytecode and the line table (new bytes
// objects, made once at initialisation); new_raising_code makes a code object
// of `name` in `file` at `first_line` from them, with `varnames` as its locals,
// `flags` as its code flags, and `empty` and `empty_bytes` the empty tuple and
// bytes.
inline PyObject* new_raising_bytecode() noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    static const unsigned char bytecode[] = {RESUME, 0, LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};
#else
    static const unsigned char bytecode[] = {LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};
#endif
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytecode), sizeof bytecode);
}

inline PyObject* new_raising_line_table() noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyBytes_FromStringAndSize("\xea\x00", 2);
#elif PY_VERSION_HEX >= 0x030A0000
    return PyBytes_FromStringAndSize("\x04\x00", 2);
#else
    return PyBytes_FromStringAndSize("", 0);
#endif
}

inline PyCodeObject* new_raising_code(PyObject* file, PyObject* name, int first_line,
                                      PyObject* varnames, int flags, PyObject* bytecode,
                                      PyObject* line_table, PyObject* empty,
                                      PyObject* empty_bytes) noexcept {
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    const int stack_size = 1;
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_New(0, 0, nlocals, stack_size, flags, bytecode, empty, empty, varnames,
                               empty, empty, file, name, name, first_line, line_table,
                               empty_bytes);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_New(0, 0, nlocals, stack_size, flags, bytecode, empty, empty, varnames, empty,
                      empty, file, name, name, first_line, line_table, empty_bytes);
#else
    (void)empty_bytes;
    return PyCode_New(0, 0, nlocals, stack_size, flags, bytecode, empty, empty, varnames, empty,
                      empty, file, name, first_line, line_table);
#endif
}

/* ------------------------------------------------------------------------ */
/* The recursion limit                                                       */
/* ------------------------------------------------------------------------ */

// Counts one call against the interpreter's recursion limit
// (`sys.setrecursionlimit`), the way a call of a Python function counts, and
// refuses it with RecursionError once the limit is reached. Unlike
// Py_EnterRecursiveCall it never lends the extra headroom the interpreter
// gives for handling the error (on 3.9 that headroom, once lent, lets
// recursion go 50 levels further and then aborts the process), and from 3.12
// it counts against the Python limit, not the fixed C one. The counter moved:
//   3.9, 3.10  recursion_depth up to the interpreter's limit
//   3.11       recursion_remaining down to 0
//   3.12+      py_recursion_remaining down to 0 (Python frames; C calls have
//              a separate, fixed budget)
//
// Returns the calling thread's state, to be handed to leave_recursive_call
// (the thread state is read once per call), or nullptr with the error set.
inline PyThreadState* enter_recursive_call() noexcept {
    PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    int& remaining = thread->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    int& remaining = thread->recursion_remaining;
#else
    int remaining = Py_GetRecursionLimit() - thread->recursion_depth;
#endif
    if (remaining <= 0) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030B0000
    --remaining;
#else
    ++thread->recursion_depth;
#endif
    return thread;
}

inline void leave_recursive_call(PyThreadState* thread) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    ++thread->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    ++thread->recursion_remaining;
#else
    --thread->recursion_depth;
#endif
}

/* ------------------------------------------------------------------------ */
/* Dictionary versions                                                       */
/* ------------------------------------------------------------------------ */

// The version of a dict's contents (PEP 509): every change of the dict gives
// it a new value, never used by another dict of the interpreter, which is
// what the interpreter's own caches of global and attribute loads rely on.
// The field is deprecated for extensions from 3.12 (3.14 drops it) but still
// maintained up to 3.13; from 3.12 its low bits also carry the dict's
// watchers, so watching a dict changes it too, which only costs a lookup.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif
}

/* ------------------------------------------------------------------------ */
/* Types and module slots                                                    */
/* ------------------------------------------------------------------------ */

// A heap type that Python code cannot instantiate: 3.10 has a flag for it; on
// 3.9 the same is reached by clearing the constructor inherited from `object`
// (which is what the flag does).
inline PyObject* new_uninstantiable_type(PyType_Spec* spec) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    spec->flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    return PyType_FromSpec(spec);
#else
    PyObject* type = PyType_FromSpec(spec);
    if (type != nullptr) {
        reinterpret_cast<PyTypeObject*>(type)->tp_new = nullptr;
    }
    return type;
#endif
}

}  // namespace compat
}  // namespace tamsel

// Module slots that later interpreters ask about: 3.12 whether the module may
// be loaded into several interpreters (yes, with a shared GIL: its own create
// slot then refuses a second interpreter with its own message; an interpreter
// with its own GIL is refused by the import system before the slot runs), and
// 3.13 whether it needs the GIL (yes: its process-wide state relies on it).
#if PY_VERSION_HEX >= 0x030D0000
#define TAMSEL_COMPAT_MODULE_SLOTS                                                   \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},          \
        {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define TAMSEL_COMPAT_MODULE_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define TAMSEL_COMPAT_MODULE_SLOTS
#endif


#endif  // TAMSEL_MACHINE_UTILS_COMPAT_H
