// What differs between the CPython versions this module builds for (3.9 to
// 3.15), behind a few small helpers, so that _machine_utils.cpp reads the same
// for every version. Each helper says what changed and when; nothing else in
// the module tests PY_VERSION_HEX.
#ifndef TAMSEL_MACHINE_UTILS_COMPAT_H
#define TAMSEL_MACHINE_UTILS_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <opcode.h>

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x03100000 || defined(PYPY_VERSION) || \
    defined(Py_GIL_DISABLED)
#error "tamsel.utils._machine_utils supports CPython 3.9 to 3.15 (with the GIL) only."
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
    HandledSlot() noexcept = default;  // bound to no slot yet
    static HandledSlot of_this_thread() noexcept { return HandledSlot(PyThreadState_Get()->exc_info); }

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

    explicit HandledSlot(_PyErr_StackItem* item) noexcept : item_(item) {}

    _PyErr_StackItem* item_ = nullptr;
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
// bytecode). It is what the compiler makes of `assert False` as the whole body
// of a function, less the unreachable rest. What changed with the versions:
//   3.9   LOAD_ASSERTION_ERROR; RAISE_VARARGS 1, and an empty line-number
//         table (every offset then maps to the first line)
//   3.10  the same bytecode; a line table of one 4-byte entry at delta 0
//   3.11+ RESUME first; a location table of one entry without columns that
//         covers every code unit; the constructor also takes a qualified
//         name and an exception table, and is PyUnstable_Code_New from 3.12
//   3.14  LOAD_ASSERTION_ERROR is gone: LOAD_COMMON_CONSTANT loads the class
//         (its argument 0 is CONSTANT_ASSERTIONERROR, which only the
//         interpreter's internal headers name)
//   3.15  RESUME is followed by one inline cache entry; without it the
//         interpreter takes the next instruction for the cache and raises
//         from an empty stack
// The two functions below make the bytecode and the line table (new bytes
// objects, made once at initialisation); new_raising_code makes a code object
// of `name` in `file` at `first_line` from them, with `varnames` as its locals,
// `flags` as its code flags, and `empty` and `empty_bytes` the empty tuple and
// bytes.
#if PY_VERSION_HEX >= 0x030F0000
constexpr unsigned char kRaisingBytecode[] = {RESUME, 0, CACHE, 0, LOAD_COMMON_CONSTANT, 0,
                                              RAISE_VARARGS, 1};
#elif PY_VERSION_HEX >= 0x030E0000
constexpr unsigned char kRaisingBytecode[] = {RESUME, 0, LOAD_COMMON_CONSTANT, 0, RAISE_VARARGS, 1};
#elif PY_VERSION_HEX >= 0x030B0000
constexpr unsigned char kRaisingBytecode[] = {RESUME, 0, LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};
#else
constexpr unsigned char kRaisingBytecode[] = {LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};
#endif

inline PyObject* new_raising_bytecode() noexcept {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(kRaisingBytecode),
                                     sizeof kRaisingBytecode);
}

inline PyObject* new_raising_line_table() noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    // One entry: the start bit, code 13 (no columns) and the number of code
    // units less one, then the line delta 0 as a signed varint.
    constexpr unsigned units = sizeof kRaisingBytecode / 2;
    static_assert(units >= 1 && units <= 8, "one location entry covers 1 to 8 code units");
    constexpr char table[] = {static_cast<char>(0x80 | (13 << 3) | (units - 1)), 0};
    return PyBytes_FromStringAndSize(table, sizeof table);
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
/* Knowing when a dict has changed                                           */
/* ------------------------------------------------------------------------ */

// A version of a dict's contents that changes with every change of the dict,
// for the dicts passed to track_dict(): what the lookup cache of the module
// relies on, as the interpreter's own caches of global and attribute loads do.
//   3.9-3.11  the dict's own version tag (PEP 509), unique in the interpreter
//             and changed by every change of that dict; every dict has one, so
//             tracking needs nothing.
//   3.12+     the tag is deprecated (3.14 removes it) in favour of dict
//             watchers: tracked dicts are watched, and every event on any of
//             them (a change, a clear, its deallocation) advances one counter,
//             which serves as the version of all of them. A change of one
//             tracked dict thus also makes the others look changed, which
//             costs only a new lookup. Watchers are few (8 an interpreter,
//             shared with every other extension); when none is free, no dict
//             can be tracked and nothing is ever cached.
// start_tracking_dicts() is called once, at initialisation; it never fails.
#if PY_VERSION_HEX >= 0x030C0000
inline int g_dict_watcher = -1;
inline std::uint64_t g_dict_events = 0;

inline int count_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++g_dict_events;
    return 0;
}

inline void start_tracking_dicts() noexcept {
    if (g_dict_watcher < 0) {
        g_dict_watcher = PyDict_AddWatcher(count_dict_event);
        if (g_dict_watcher < 0) {
            PyErr_Clear();  // all taken: the module does without its cache
        }
    }
}

// Whether dict_version() now follows the changes of `dict`.
inline bool track_dict(PyObject* dict) noexcept {
    if (g_dict_watcher < 0) {
        return false;
    }
    if (PyDict_Watch(g_dict_watcher, dict) < 0) {
        PyErr_Clear();  // not a dict: then it is simply not tracked
        return false;
    }
    return true;
}

inline std::uint64_t dict_version(PyObject*) noexcept {
    return g_dict_events;
}

// Whether none of `dicts` has changed since their `versions` were read.
template <std::size_t N>
bool dicts_unchanged(PyObject* const (&)[N], const std::uint64_t (&versions)[N]) noexcept {
    const std::uint64_t now = g_dict_events;
    for (std::size_t i = 0; i < N; ++i) {
        if (versions[i] != now) {
            return false;
        }
    }
    return true;
}
#else
inline void start_tracking_dicts() noexcept {}

inline bool track_dict(PyObject*) noexcept {
    return true;
}

inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Whether none of `dicts` has changed since their `versions` were read. Each
// dict is read only once the ones before it are found unchanged, so an earlier
// dict may be what keeps a later one alive.
template <std::size_t N>
bool dicts_unchanged(PyObject* const (&dicts)[N], const std::uint64_t (&versions)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
        if (dict_version(dicts[i]) != versions[i]) {
            return false;
        }
    }
    return true;
}
#endif

/* ------------------------------------------------------------------------ */
/* Types and module slots                                                    */
/* ------------------------------------------------------------------------ */

// Whether Python code can change the attributes of `type`: from 3.10 a flag
// says so; on 3.9 exactly the static types cannot be changed.
inline bool is_immutable_type(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE);
#else
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
#endif
}

// A heap type that Python code can neither instantiate nor change, like the
// types of built-in functions: from 3.10 two flags say so. 3.9 has neither:
// clearing the constructor inherited from `object` does what the first does,
// but the type's attributes stay assignable there (`__new__` among them), so
// on 3.9 every slot of the type must also cope with an instance whose fields
// are all NULL.
inline PyObject* new_uninstantiable_type(PyType_Spec* spec) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    spec->flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
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
#define TAMSEL_COMPAT_MODULE_SLOTS                                          \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED}, \
        {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define TAMSEL_COMPAT_MODULE_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define TAMSEL_COMPAT_MODULE_SLOTS
#endif


#endif  // TAMSEL_MACHINE_UTILS_COMPAT_H
