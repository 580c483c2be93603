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
    (defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000)
#error "tamsel.utils._machine_utils supports CPython 3.9 to 3.15, and free-threaded 3.14 and 3.15, only."
#endif

#include <atomic>
#if PY_VERSION_HEX < 0x030E0000
#include <climits>
#include <cstdlib>
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif
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
/* References from dicts, modules and types                                  */
/* ------------------------------------------------------------------------ */

// `dict[key]` as a new reference: 1 found, 0 missing (*result NULL), -1 with
// the error set. From 3.13 the interpreter hands out a strong reference, which
// stays valid while another thread (without the GIL) changes the dict; before,
// the borrowed entry is taken over at once, with nothing run in between.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);  // borrowed
    Py_XINCREF(value);
    *result = value;
    return value != nullptr ? 1 : PyErr_Occurred() ? -1
                                                   : 0;
#endif
}

// The module `name` of the interpreter's module registry, as a new reference
// (PyImport_AddModuleRef from 3.13; before, the borrowed one taken over).
inline PyObject* add_module_ref(const char* name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    PyObject* module = PyImport_AddModule(name);  // borrowed
    Py_XINCREF(module);
    return module;
#endif
}

// What `name` is on `type` as the type's own attribute lookup finds it (its
// MRO, not its metaclass, and not bound), as a new reference, or nullptr with
// no error set. That is how `with` finds `__enter__` and `__exit__`. No public
// function searches the MRO alone: the private _PyType_Lookup is in the headers
// of every version from 3.9 to 3.15 with that meaning (and the type cache
// behind it); from 3.14 _PyType_LookupRef returns a strong reference, which
// stays valid without the GIL while another thread changes the type.
inline PyObject* type_lookup_ref(PyTypeObject* type, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return _PyType_LookupRef(type, name);
#else
    PyObject* found = _PyType_Lookup(type, name);  // borrowed
    Py_XINCREF(found);
    return found;
#endif
}

/* ------------------------------------------------------------------------ */
/* Being told that a dict changes                                            */
/* ------------------------------------------------------------------------ */

// From 3.12 a dict watcher (PyDict_AddWatcher, PyDict_Watch) is called before
// every change of a watched dict: what the module's kept lookups rely on.
// Before 3.12 the interpreter has no public way to tell: there
// start_watching_dicts() says no, and every lookup is made afresh. Without
// the GIL the watcher runs on the thread that changes the dict, inside the
// dict's critical section.
//
// The watcher's callback gets what changes: a key set (added or replaced) or
// deleted, with the new value, or the whole dict (cleared, filled from
// another, deallocated).
enum class DictChange { kSet,
                        kDeleted,
                        kWhole,
                        kDeallocated };
using DictWatch = void (*)(DictChange change, PyObject* dict, PyObject* key, PyObject* new_value);

// How the module's lookup made afresh is compiled. Where dicts can be
// watched, most lookups use what an earlier one found, and the lookup made
// afresh stays out of line so that the common case stays small; where they
// cannot, every lookup is made afresh, and inlining it into its few callers
// spares a call per lookup.
#if PY_VERSION_HEX >= 0x030C0000
#if defined(_MSC_VER) && !defined(__clang__)
#define TAMSEL_LOOKUP_AFRESH __declspec(noinline)
#else
#define TAMSEL_LOOKUP_AFRESH __attribute__((noinline))
#endif
#elif defined(_MSC_VER) && !defined(__clang__)
#define TAMSEL_LOOKUP_AFRESH __forceinline
#else
#define TAMSEL_LOOKUP_AFRESH __attribute__((always_inline)) inline
#endif

#if PY_VERSION_HEX >= 0x030C0000
constexpr bool kDictsCanBeWatched = true;
inline int g_dict_watcher = -1;
inline DictWatch g_dict_watch = nullptr;

inline int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) noexcept {
    const DictChange change = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ? DictChange::kSet
                              : event == PyDict_EVENT_DELETED                               ? DictChange::kDeleted
                              : event == PyDict_EVENT_DEALLOCATED                           ? DictChange::kDeallocated
                                                                                            : DictChange::kWhole;
    g_dict_watch(change, dict, key, new_value);
    return 0;
}

// Registers `watch`; false when no watcher is free (8 an interpreter, shared
// with every other extension).
inline bool start_watching_dicts(DictWatch watch) noexcept {
    if (g_dict_watcher < 0) {
        g_dict_watch = watch;
        g_dict_watcher = PyDict_AddWatcher(on_dict_event);
        if (g_dict_watcher < 0) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// Whether `dict` is watched now (it must be a dict).
inline bool watch_dict(PyObject* dict) noexcept {
    if (g_dict_watcher < 0) {
        return false;
    }
    if (PyDict_Watch(g_dict_watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The interpreter that had the watcher has been finalized.
inline void forget_dict_watcher() noexcept {
    g_dict_watcher = -1;
}
#else
constexpr bool kDictsCanBeWatched = false;

inline bool start_watching_dicts(DictWatch) noexcept {
    return false;
}

inline bool watch_dict(PyObject*) noexcept {
    return false;
}

inline void forget_dict_watcher() noexcept {}
#endif

// Whether every key of `dict` is an exact `str`. Without the GIL the dict is
// read inside its critical section (from 3.13; before, the GIL holds).
inline bool only_str_keys(PyObject* dict) noexcept {
    bool only = true;
#if PY_VERSION_HEX >= 0x030D0000
    Py_BEGIN_CRITICAL_SECTION(dict);
#endif
    Py_ssize_t position = 0;
    PyObject* key;
    while (only && PyDict_Next(dict, &position, &key, nullptr)) {
        only = PyUnicode_CheckExact(key);
    }
#if PY_VERSION_HEX >= 0x030D0000
    Py_END_CRITICAL_SECTION();
#endif
    return only;
}

// Whether Python code can change the attributes of `type`: from 3.10 a flag
// says so; on 3.9 exactly the static types cannot be changed.
inline bool is_immutable_type(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030A0000
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE);
#else
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
#endif
}

/* ------------------------------------------------------------------------ */
/* A lock for process-wide state                                             */
/* ------------------------------------------------------------------------ */

// Guards process-wide state that a call may fill. With the GIL the GIL does
// (nothing inside a locked region runs Python code or releases it), so the
// lock is nothing; without the GIL it is a PyMutex, which detaches the thread
// state while it waits, so that a waiting thread never blocks the interpreter.
class ProcessLock {
public:
#ifdef Py_GIL_DISABLED
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

class LockGuard {
public:
    explicit LockGuard(ProcessLock& lock) noexcept : lock_(lock) { lock_.lock(); }
    ~LockGuard() { lock_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    ProcessLock& lock_;
};

/* ------------------------------------------------------------------------ */
/* The C stack                                                               */
/* ------------------------------------------------------------------------ */

// Whether the calling thread's C stack has room for one more nesting level
// of the module's function. The recursion limit bounds how deeply the
// function can nest, but it is a count that a program may raise beyond what
// the C stack holds (from 3.12 a Python frame takes no C stack, so large
// limits are safe for Python code and not for the C frames of this module).
//   3.14+      the interpreter checks the thread's real C stack in
//              Py_EnterRecursiveCall, and 3.15 also honours stacks that
//              coroutine libraries declare: that check is the module's check.
//   3.9-3.13   the interpreter has none, so StackReserve below keeps a
//              reserve of the stack free for raising and handling the error.
// enter_c_stack() returns a token for leave_c_stack(), or kStackRefused with
// RecursionError set.
constexpr int kStackRefused = -1;

#if PY_VERSION_HEX >= 0x030E0000
inline int enter_c_stack() noexcept {
    return Py_EnterRecursiveCall(" while calling a Python object") == 0 ? 0 : kStackRefused;
}

inline void leave_c_stack(int) noexcept {
    Py_LeaveRecursiveCall();
}
#else
// Each thread measures its own stack once, at its first call, and keeps the
// bounds in thread-specific data: a thread never sees the bounds of another,
// not even of a dead thread whose stack memory it now uses, and no call after
// the first asks the C library again (for the main thread glibc reads
// /proc/self/maps, which is slow and takes several KiB of stack).
//
// A frame outside the thread's own stack is on a stack of unknown size: one
// switched to with swapcontext, as coroutine libraries do. There nesting is
// limited per stack: the first call on a stack opens a segment there, and a
// call is counted in the segment whose window (kWindow below its outermost
// call) holds it, and refused when it lies kForeignBudget or more below that
// outermost call. kForeignBudget is small enough that the smallest stacks
// coroutine libraries make (64 KiB) keep room for the frames above the first
// call and for raising and handling the error. Segments close when their last
// call returns; calls on other stacks in between, above or below, open
// segments of their own.
class StackReserve {
public:
    static int enter() noexcept {
        const std::uintptr_t address = here();
        Thread& t = this_thread();
        if (address > t.low && address <= t.high) {
            return address - t.low >= t.reserve ? 0 : kStackRefused;
        }
        return enter_foreign(address, t);
    }

    static void leave(int token) noexcept {
        if (token > 0) {
            Segment& s = this_thread().segments[token - 1];
            if (--s.depth == 0) {
                s.top = 0;
            }
        }
    }

private:
    struct Segment {
        std::uintptr_t top;  // the outermost call on that stack
        unsigned depth;      // calls in it still running; 0: free
    };

    static constexpr int kSegments = 16;
    struct Thread {
        std::uintptr_t low;  // low == high == 0: bounds unknown
        std::uintptr_t high;
        std::uintptr_t reserve;
        Segment segments[kSegments];
    };

    static constexpr std::uintptr_t kMinReserve = 16 * 1024;
    static constexpr std::uintptr_t kMaxReserve = 256 * 1024;
    static constexpr std::uintptr_t kForeignBudget = 16 * 1024;
    static constexpr std::uintptr_t kWindow = kForeignBudget + 64 * 1024;

#if defined(_MSC_VER) && !defined(__clang__)
    static std::uintptr_t here() noexcept {
        return reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
    }
#else
    static std::uintptr_t here() noexcept {
        return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    }
#endif

#if defined(_MSC_VER) && !defined(__clang__)
    __declspec(noinline)
#else
    __attribute__((noinline, cold))
#endif
    static int enter_foreign(std::uintptr_t address, Thread& t) noexcept {
        Segment* found = nullptr;
        Segment* free = nullptr;
        for (Segment& s : t.segments) {
            if (s.depth == 0) {
                free = free != nullptr ? free : &s;
            } else if (address <= s.top && s.top - address < kWindow &&
                       (found == nullptr || s.top < found->top)) {
                found = &s;
            }
        }
        if (found == nullptr) {
            if (free == nullptr) {
                return kStackRefused;  // more stacks than any program switches between
            }
            found = free;
            found->top = address;
        } else if (found->top - address >= kForeignBudget) {
            return kStackRefused;
        }
        ++found->depth;
        return static_cast<int>(found - t.segments) + 1;
    }

    // The calling thread's stack into t; false when it cannot be read.
    static void measure(Thread& t) noexcept {
        std::uintptr_t low = 0, high = 0;
#if defined(_WIN32)
        ULONG_PTR lowest = 0, highest = 0;
        GetCurrentThreadStackLimits(&lowest, &highest);
        low = lowest;
        high = highest;
#elif defined(__APPLE__)
        pthread_t self = pthread_self();
        high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
        low = high - pthread_get_stacksize_np(self);
#elif defined(__linux__)
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* base = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
                low = reinterpret_cast<std::uintptr_t>(base);
                high = low + size;
            }
            pthread_attr_destroy(&attributes);
        }
#endif
        if (low != 0 && high > low) {
            // An eighth of the stack, at least 16 KiB and at most 256 KiB:
            // room for raising, unwinding and the handlers of the frames above.
            const std::uintptr_t eighth = (high - low) / 8;
            t.low = low;
            t.high = high;
            t.reserve = eighth < kMinReserve ? kMinReserve : eighth > kMaxReserve ? kMaxReserve
                                                                                  : eighth;
        }
    }

    // The calling thread's record. It lives in thread-specific data (a pthread
    // key, whose destructor frees it when the thread ends) rather than in a
    // C++ thread_local: dynamic TLS in a module loaded with dlopen makes the
    // LeakSanitizer of GCC 12 crash while it scans the threads at exit. When
    // no block can be had for a thread, `unkept_` stands in: its bounds stay
    // unknown, so every call of such a thread counts as one on a foreign
    // stack. These versions always have the GIL, which serialises the first
    // callers and the users of `unkept_`.
#if defined(__linux__) || defined(__APPLE__)
    static Thread& this_thread() noexcept {
        void* own = keyed_ ? pthread_getspecific(key_) : nullptr;
        return own != nullptr ? *static_cast<Thread*>(own) : new_thread();
    }

    __attribute__((noinline, cold)) static Thread& new_thread() noexcept {
        if (!keyed_) {
            if (pthread_key_create(&key_, std::free) != 0) {
                return unkept_;
            }
            keyed_ = true;
        }
        void* own = std::calloc(1, sizeof(Thread));
        if (own == nullptr || pthread_setspecific(key_, own) != 0) {
            std::free(own);
            return unkept_;
        }
        measure(*static_cast<Thread*>(own));
        return *static_cast<Thread*>(own);
    }

    static inline pthread_key_t key_{};
    static inline bool keyed_ = false;
#else
    static Thread& this_thread() noexcept {
        static thread_local Thread own{};
        static thread_local bool measured = false;
        if (!measured) {
            measure(own);
            measured = true;
        }
        return own;
    }
#endif
    static inline Thread unkept_{};
};

inline int enter_c_stack() noexcept {
    const int token = StackReserve::enter();
    if (token == kStackRefused) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
    }
    return token;
}

inline void leave_c_stack(int token) noexcept {
    StackReserve::leave(token);
}
#endif

/* ------------------------------------------------------------------------ */
/* Module slots                                                              */
/* ------------------------------------------------------------------------ */

// From 3.13 a module says whether it needs the GIL. Without the GIL every
// piece of the module's process-wide state is safe (see the list in
// _machine_utils.cpp), so a free-threaded build keeps the GIL off; a build
// with the GIL says it uses it, as before.
#ifdef Py_mod_gil
#ifdef Py_GIL_DISABLED
inline void* const kModGil = Py_MOD_GIL_NOT_USED;
#else
inline void* const kModGil = Py_MOD_GIL_USED;
#endif
#endif

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

#endif  // TAMSEL_MACHINE_UTILS_COMPAT_H
