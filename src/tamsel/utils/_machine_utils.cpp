/*
 * tamsel.utils._machine_utils: a stable identifier for the machine it runs on.
 *
 * Written as the Python it stands for (every `except` catches every exception
 * class, KeyboardInterrupt and SystemExit included, and leaves no trace):
 *
 *     import hashlib, platform, uuid, os
 *
 *     def get_machine_id() -> str:
 *         "Generate a unique machine identifier with hardware info."
 *         cached_id = _get_cached_machine_id()
 *         if cached_id:
 *             return cached_id
 *         try:
 *             system_info = _get_stable_system_info()
 *             machine_id = hashlib.sha256("".join(system_info).encode()).hexdigest()
 *             _save_machine_id(machine_id)
 *             return machine_id
 *         except:
 *             fallback_id = hashlib.sha256(str(uuid.getnode()).encode()).hexdigest()
 *             _save_machine_id(fallback_id)
 *             return fallback_id
 *
 *     def _get_cached_machine_id():
 *         try:
 *             cache_dir = os.path.expanduser("~/.tamsel/cache")
 *             path = os.path.join(cache_dir, ".machine_id")
 *             if os.path.exists(path):
 *                 with open(path, "r") as f:
 *                     return f.read().strip()
 *         except:
 *             pass
 *         return ""
 *
 *     def _save_machine_id(machine_id):
 *         try:
 *             cache_dir = os.path.expanduser("~/.tamsel/cache")
 *             os.makedirs(cache_dir, exist_ok=True)
 *             with open(os.path.join(cache_dir, ".machine_id"), "w") as f:
 *                 f.write(machine_id)
 *         except:
 *             pass
 *
 *     def _get_stable_system_info():
 *         info = []
 *         info.append(str(uuid.getnode()))
 *         if platform.system() == "Windows":
 *             info.extend(_get_windows_info())
 *         elif platform.system() == "Darwin":
 *             info.extend(_get_macos_info())
 *         else:
 *             info.extend(_get_linux_info())
 *         return info
 *
 *     def _get_windows_info():
 *         try:
 *             import win32api
 *             import win32security
 *             info = []
 *             try:
 *                 info.append(str(win32api.GetVolumeInformation("C:\\")[1]))
 *             except:
 *                 pass
 *             try:
 *                 import wmi
 *                 for bios in wmi.WMI().Win32_BIOS():
 *                     serial = bios.SerialNumber
 *                     if serial:
 *                         info.append(serial)
 *             except:
 *                 pass
 *             return info
 *         except:
 *             return []
 *
 *     def _get_macos_info():
 *         info = []
 *         try:
 *             import subprocess
 *             result = subprocess.run(["system_profiler", "SPHardwareDataType"],
 *                                     capture_output=True, text=True)
 *             for line in result.stdout.split("\n"):
 *                 if "Hardware UUID" in line:
 *                     info.append(line.split(":")[1].strip())
 *                 elif "Serial Number" in line:
 *                     info.append(line.split(":")[1].strip())
 *         except:
 *             pass
 *         return info
 *
 *     def _get_linux_info():
 *         info = []
 *         for path in ("/etc/machine-id", "/var/lib/dbus/machine-id"):
 *             try:
 *                 if os.path.exists(path):
 *                     with open(path, "r") as f:
 *                         value = f.read().strip()
 *                         if value:
 *                             info.append(value)
 *             except:
 *                 pass
 *         try:
 *             for path in ("/sys/class/dmi/id/product_uuid", "/sys/class/dmi/id/board_serial"):
 *                 if os.path.exists(path):
 *                     with open(path, "r") as f:
 *                         value = f.read().strip()
 *                         if value and value != "0000000000":
 *                             info.append(value)
 *         except:
 *             pass
 *         return info
 *
 * A probe that cannot even create its result list tries once more with a new
 * empty list; only running out of memory twice lets it fail.
 *
 * Module-level names are looked up at each use, in the namespace and then in
 * the dict of the builtins module taken at initialisation (a `__getattr__` of
 * that module is not consulted, as Python's own name lookup does not); `open`
 * is the builtin taken once at initialisation. On 3.9 a Python function
 * takes its builtins from its globals' `__builtins__` at every call; this
 * module, like Python from 3.10, keeps the builtins it started with, so
 * rebinding `__builtins__` in the namespace changes neither. A function that
 * fails adds one traceback entry "tamsel.utils._machine_utils.<name>" at the
 * line of this file where it failed.
 *
 * The published function is a built-in function in every other respect: a
 * call counts against the recursion limit like a call of a Python function
 * (so the function bound as one of the names it calls ends in RecursionError),
 * it is not bound when found on a class, and its code object, like those of
 * the traceback entries, raises AssertionError when run.
 *
 * Conventions: functions return a new reference or nullptr, or 0 / -1; a
 * failure always has an exception set. No C++ exception is ever thrown (the
 * build uses -fno-exceptions). What differs between the CPython versions the
 * module builds for lives in _machine_utils_compat.h.
 */

#include "_machine_utils.h"

#include <structmember.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

using tamsel::CatchAll;
using tamsel::new_ref;
using tamsel::Ref;

namespace {

constexpr int kBuiltForMajor = PY_MAJOR_VERSION;
constexpr int kBuiltForMinor = PY_MINOR_VERSION;
constexpr const char kQualifiedName[] = "tamsel.utils._machine_utils";
constexpr const char kFunctionName[] = "get_machine_id";

/* ------------------------------------------------------------------------ */
/* Process-wide state                                                        */
/* ------------------------------------------------------------------------ */

// All of the module's process-wide state is listed here, with why it is safe
// with the GIL, without it (free-threaded builds), across threads, and across
// an interpreter that is finalized and started again in the same process.
//
//   g_constants       texts, tuples and code objects every call uses. Made by
//                     the exec slot outside the lock and published under
//                     g_init_lock before any function object exists, and
//                     never changed afterwards: calls only read them, after
//                     the import that made them published the function. Forgotten (not released: the interpreter
//                     that owned them is gone) by forget_ended_interpreter().
//   g_module          the initialised module. Read and written only by the
//                     create and exec slots, under g_init_lock.
//   g_builtins, g_open  the builtins module and its `open`, taken by the
//                     first exec of an interpreter under g_init_lock and never
//                     replaced; each function object holds its own references
//                     to them, which is what calls use.
//   g_function_type   the type of the published function: made once outside
//                     the lock, published under g_init_lock, then only read.
//   g_owner_interpreter  the interpreter the module belongs to: an atomic,
//                     set once by the first create.
//   g_entry_codes     the code objects of traceback entries, made on first
//                     use: added under g_entry_lock, published by an atomic
//                     count, and read without a lock.
//   g_lookups, g_pending, g_unkept_dicts, g_keep_nothing, g_epoch: the kept
//                     lookups, read and written by calls and by the dict
//                     watcher only under g_lookup_lock, with no Python code
//                     run and no dict read while it is held (see "Kept
//                     lookups"); the watcher's id (_machine_utils_compat.h)
//                     is set once by initialisation.
//   g_enter, g_exit, g_hexdigest  `__enter__` and `__exit__` of the first
//                     file type seen and `hexdigest` of the first hash type,
//                     published once, atomically, and only read afterwards.
//   g_exit_hook_set, g_interpreter_ended  whether note_interpreter_ended()
//                     is registered for the running interpreter's end (under
//                     g_init_lock), and whether it has run (an atomic).
//   the C stack records of _machine_utils_compat.h: per thread.
//
// Nothing else is shared: a call's globals (the module's namespace) come
// from the function object called. With the GIL the three locks are nothing
// (the GIL serialises everything they guard: nothing inside them runs Python
// code); without it they are PyMutexes. None of the three is ever held while
// another is taken.
//
// When the interpreter is finalized, the objects of this state die with it
// (interned texts are freed whatever their counts). note_interpreter_ended(),
// registered with Py_AtExit, runs after that; the next create slot, in an
// interpreter started again in the same process, resets the state without
// touching any of those objects and initialises the module afresh, as if for
// the first time.

struct Constants {
    // The building blocks of code objects and the join separator.
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* raising_bytecode;    // the body of the module's code objects
    PyObject* raising_line_table;
    PyObject* empty_text;

    // Where traceback entries point.
    PyObject* qualified_name;  // "tamsel.utils._machine_utils"
    PyObject* source_file;     // "tamsel/utils/_machine_utils.cpp"
    PyObject* entry_init;
    PyObject* entry_get_machine_id;
    PyObject* entry_get_stable_system_info;
    PyObject* entry_get_windows_info;
    PyObject* entry_get_macos_info;
    PyObject* entry_get_linux_info;

    // Namespace names.
    PyObject* name_hashlib;
    PyObject* name_platform;
    PyObject* name_uuid;
    PyObject* name_os;
    PyObject* name_open;
    PyObject* name_get_machine_id;
    PyObject* name_test;

    // Attribute and method names.
    PyObject* attr_path;
    PyObject* attr_expanduser;
    PyObject* attr_join;
    PyObject* attr_exists;
    PyObject* attr_makedirs;
    PyObject* attr_exist_ok;
    PyObject* attr_enter;
    PyObject* attr_exit;
    PyObject* attr_read;
    PyObject* attr_write;
    PyObject* attr_strip;
    PyObject* attr_split;
    PyObject* attr_sha256;
    PyObject* attr_hexdigest;
    PyObject* attr_getnode;
    PyObject* attr_system;
    PyObject* attr_run;
    PyObject* attr_capture_output;
    PyObject* attr_text;
    PyObject* attr_stdout;
    PyObject* attr_get_volume_information;
    PyObject* attr_wmi_connect;  // "WMI"
    PyObject* attr_win32_bios;
    PyObject* attr_serial_number;

    // Modules imported by the probes at call time.
    PyObject* module_subprocess;
    PyObject* module_win32api;
    PyObject* module_win32security;
    PyObject* module_wmi;

    // Literals.
    PyObject* cache_dir;        // "~/.tamsel/cache"
    PyObject* cache_file_name;  // ".machine_id"
    PyObject* mode_read;        // "r"
    PyObject* mode_write;       // "w"
    PyObject* system_windows;
    PyObject* system_darwin;
    PyObject* volume_c_root;    // "C:\\"
    PyObject* profiler_program;
    PyObject* profiler_data_type;
    PyObject* label_hardware_uuid;
    PyObject* label_serial_number;
    PyObject* line_feed;
    PyObject* colon;
    PyObject* dmi_placeholder;  // "0000000000"
    PyObject* doc;
    PyObject* annotation_return;
    PyObject* annotation_str;
    PyObject* local_cached_id;
    PyObject* local_system_info;
    PyObject* local_machine_id;
    PyObject* local_fallback_id;

    // Built after the texts.
    PyObject* one;                // the index 1
    PyObject* machine_id_paths;   // ("/etc/machine-id", "/var/lib/dbus/machine-id")
    PyObject* dmi_paths;          // ("/sys/class/dmi/id/product_uuid", ".../board_serial")
    PyObject* exit_no_exception;  // (None, None, None)
    PyObject* makedirs_kwnames;   // ("exist_ok",)
    PyObject* run_kwnames;        // ("capture_output", "text")
    PyObject* local_names;        // the locals of get_machine_id
    PyObject* code;               // get_machine_id.__code__
    PyObject* str_strip;          // str.strip
};

Constants g_constants;

tamsel::compat::ProcessLock g_init_lock;
PyObject* g_module;
PyObject* g_builtins;
PyObject* g_open;
PyTypeObject* g_function_type;
std::atomic<int64_t> g_owner_interpreter{-1};
bool g_exit_hook_set;

struct TextConstant {
    PyObject* Constants::* slot;
    const char* text;
};

// Every text the module uses. Names go through the interning table so that
// dictionary lookups compare pointers and reuse the cached hash.
constexpr TextConstant kTexts[] = {
    {&Constants::qualified_name, kQualifiedName},
    {&Constants::source_file, "tamsel/utils/_machine_utils.cpp"},
    {&Constants::entry_init, "init tamsel.utils._machine_utils"},
    {&Constants::entry_get_machine_id, "tamsel.utils._machine_utils.get_machine_id"},
    {&Constants::entry_get_stable_system_info,
     "tamsel.utils._machine_utils._get_stable_system_info"},
    {&Constants::entry_get_windows_info, "tamsel.utils._machine_utils._get_windows_info"},
    {&Constants::entry_get_macos_info, "tamsel.utils._machine_utils._get_macos_info"},
    {&Constants::entry_get_linux_info, "tamsel.utils._machine_utils._get_linux_info"},
    {&Constants::name_hashlib, "hashlib"},
    {&Constants::name_platform, "platform"},
    {&Constants::name_uuid, "uuid"},
    {&Constants::name_os, "os"},
    {&Constants::name_open, "open"},
    {&Constants::name_get_machine_id, kFunctionName},
    {&Constants::name_test, "__test__"},
    {&Constants::attr_path, "path"},
    {&Constants::attr_expanduser, "expanduser"},
    {&Constants::attr_join, "join"},
    {&Constants::attr_exists, "exists"},
    {&Constants::attr_makedirs, "makedirs"},
    {&Constants::attr_exist_ok, "exist_ok"},
    {&Constants::attr_enter, "__enter__"},
    {&Constants::attr_exit, "__exit__"},
    {&Constants::attr_read, "read"},
    {&Constants::attr_write, "write"},
    {&Constants::attr_strip, "strip"},
    {&Constants::attr_split, "split"},
    {&Constants::attr_sha256, "sha256"},
    {&Constants::attr_hexdigest, "hexdigest"},
    {&Constants::attr_getnode, "getnode"},
    {&Constants::attr_system, "system"},
    {&Constants::attr_run, "run"},
    {&Constants::attr_capture_output, "capture_output"},
    {&Constants::attr_text, "text"},
    {&Constants::attr_stdout, "stdout"},
    {&Constants::attr_get_volume_information, "GetVolumeInformation"},
    {&Constants::attr_wmi_connect, "WMI"},
    {&Constants::attr_win32_bios, "Win32_BIOS"},
    {&Constants::attr_serial_number, "SerialNumber"},
    {&Constants::module_subprocess, "subprocess"},
    {&Constants::module_win32api, "win32api"},
    {&Constants::module_win32security, "win32security"},
    {&Constants::module_wmi, "wmi"},
    {&Constants::cache_dir, "~/.tamsel/cache"},
    {&Constants::cache_file_name, ".machine_id"},
    {&Constants::mode_read, "r"},
    {&Constants::mode_write, "w"},
    {&Constants::system_windows, "Windows"},
    {&Constants::system_darwin, "Darwin"},
    {&Constants::volume_c_root, "C:\\"},
    {&Constants::profiler_program, "system_profiler"},
    {&Constants::profiler_data_type, "SPHardwareDataType"},
    {&Constants::label_hardware_uuid, "Hardware UUID"},
    {&Constants::label_serial_number, "Serial Number"},
    {&Constants::line_feed, "\n"},
    {&Constants::colon, ":"},
    {&Constants::dmi_placeholder, "0000000000"},
    {&Constants::doc, "Generate a unique machine identifier with hardware info."},
    {&Constants::annotation_return, "return"},
    {&Constants::annotation_str, "str"},
    {&Constants::local_cached_id, "cached_id"},
    {&Constants::local_system_info, "system_info"},
    {&Constants::local_machine_id, "machine_id"},
    {&Constants::local_fallback_id, "fallback_id"},
};

/* ------------------------------------------------------------------------ */
/* Helpers                                                                   */
/* ------------------------------------------------------------------------ */

// What a call of the published function works with, all held by the function
// object being called: its globals (the module's namespace), the dict of the
// builtins module and the `open` that initialisation took.
struct Scope {
    PyObject* globals;
    PyObject* builtins;  // the dict
    PyObject* open;
};

// The code objects of traceback entries, one per (function, line): the
// fallback path of get_machine_id() adds two entries on every call, so each is
// made once and kept. `function` is one of the module's texts, which live as
// long as the interpreter, so its address identifies it.
struct EntryCode {
    PyObject* function;
    int line;
    PyCodeObject* code;
};
EntryCode g_entry_codes[64];  // more than the module has failure sites
// Entries below the count are complete and never change while the
// interpreter lives: they are read without the lock; g_entry_lock guards
// adding one.
std::atomic<std::size_t> g_entry_count{0};
tamsel::compat::ProcessLock g_entry_lock;

// The code object kept for `function` at `line` among entries [from, to), as
// a new reference, or nullptr.
PyCodeObject* kept_entry_code(PyObject* function, int line, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (g_entry_codes[i].function == function && g_entry_codes[i].line == line) {
            return reinterpret_cast<PyCodeObject*>(new_ref(reinterpret_cast<PyObject*>(g_entry_codes[i].code)));
        }
    }
    return nullptr;
}

// The empty code object of the traceback entry `function` at `line`. It is
// made outside the lock (making or releasing one may run Python code: a
// collection, a code watcher), and kept unless another thread kept one first.
PyCodeObject* entry_code(PyObject* function, int line) {
    const std::size_t known = g_entry_count.load(std::memory_order_acquire);
    if (PyCodeObject* kept = kept_entry_code(function, line, 0, known)) {
        return kept;
    }
    PyCodeObject* code = tamsel::compat::new_raising_code(
        g_constants.source_file, function, line, g_constants.empty_tuple, 0,
        g_constants.raising_bytecode, g_constants.raising_line_table, g_constants.empty_tuple,
        g_constants.empty_bytes);
    if (code == nullptr) {
        return nullptr;
    }
    PyCodeObject* first = nullptr;
    {
        tamsel::compat::LockGuard guard(g_entry_lock);
        const std::size_t count = g_entry_count.load(std::memory_order_relaxed);
        first = kept_entry_code(function, line, known, count);
        if (first == nullptr && count < sizeof g_entry_codes / sizeof g_entry_codes[0]) {
            Py_INCREF(code);
            g_entry_codes[count] = EntryCode{function, line, code};
            g_entry_count.store(count + 1, std::memory_order_release);
        }
    }
    if (first != nullptr) {
        Py_DECREF(code);  // another thread kept one first
        return first;
    }
    return code;
}

// Adds the traceback entry `function` at `line` of this source file to the
// pending exception, the way the interpreter adds its own synthetic entries: a
// frame over an empty code object whose globals are the module's namespace.
// When the entry itself cannot be made, the original exception is kept
// unchanged rather than replaced by the failure to describe it.
void traceback_here(PyObject* globals, PyObject* function, int line) {
    if (!PyErr_Occurred()) {
        // A failure that said nothing: name it rather than describe nothing.
        PyErr_Format(PyExc_SystemError, "%U returned NULL without setting an exception", function);
    }
    PyObject* exception = tamsel::compat::take_raised();
    PyCodeObject* code = entry_code(function, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        Py_DECREF(code);
    }
    if (frame == nullptr) {
        PyErr_Clear();
        tamsel::compat::set_raised(exception);
        return;
    }
    Py_XINCREF(exception);  // kept in case the entry cannot be added
    tamsel::compat::set_raised(exception);
    if (PyTraceBack_Here(frame) < 0) {
        PyErr_Clear();
        tamsel::compat::set_raised(exception);
    } else {
        Py_XDECREF(exception);
    }
    Py_DECREF(frame);
}

// The one way a function of the module fails: `return fail(s, entry, __LINE__);`
// adds the function's traceback entry at that line and returns nullptr.
PyObject* fail(const Scope& s, PyObject* entry, int line) {
    traceback_here(s.globals, entry, line);
    return nullptr;
}

// A module-level name at the moment of use: the namespace, then the dict of
// builtins, as Python's own name lookup finds it. `*in_namespace` says where.
PyObject* lookup_global(const Scope& s, PyObject* name, bool* in_namespace) {
    PyObject* value;
    int found = tamsel::compat::dict_get_ref(s.globals, name, &value);
    *in_namespace = found != 0;
    if (found == 0) {
        found = tamsel::compat::dict_get_ref(s.builtins, name, &value);
        if (found == 0) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return found > 0 ? value : nullptr;
}

// `obj.name` where obj is normally a module. A plain module's attribute is
// the entry of its dict (the module type defines none of the names looked up
// here, and no type can be added to it), so the entry is taken from there;
// anything else, or a name missing from the dict (a module `__getattr__` may
// supply it), goes through attribute access. `*in_dict` says which.
PyObject* module_attr(PyObject* obj, PyObject* name, bool* in_dict) {
    *in_dict = false;
    if (Py_IS_TYPE(obj, &PyModule_Type)) {
        PyObject* value;
        const int found = tamsel::compat::dict_get_ref(PyModule_GetDict(obj), name, &value);
        if (found != 0) {
            *in_dict = found > 0;
            return value;  // found, or the lookup failed
        }
    }
    return PyObject_GetAttr(obj, name);
}

/* ------------------------------------------------------------------------ */
/* Kept lookups                                                              */
/* ------------------------------------------------------------------------ */

// The dotted module-level names a call uses, such as `os.path.join` or
// `uuid.getnode`, are looked up as Python code looks them up, at each use.
// Where dicts can be watched (see _machine_utils_compat.h), what a lookup
// found through the namespace and plain modules' dicts is kept, and used
// instead of a new lookup while no key it went through has changed in those
// dicts: the interpreter's own caches of global and module attribute loads
// work the same way.
//
// The watcher is told of every change before it is made, and Python code that
// another watcher of the same dict runs may call the module in between. So
//   - the watcher marks every kept lookup through the changing key stale, and
//     notes the change as pending, with the value the key is about to get;
//   - a lookup is kept only when a later call finds the same objects again
//     (the first finding watches the dicts, so that every change after it is
//     told), no pending change of a key it went through is still to be made,
//     and the dicts have only `str` keys (then a lookup is a matter of their
//     contents alone, with no `__eq__` of Python code taking part);
//   - a change of a whole dict (cleared, updated from another) or of a key
//     that is not a `str` stops keeping anything found through that dict.
// All of this state is touched only under g_lookup_lock (nothing with the
// GIL, a PyMutex without it), which is never held while a dict is read or
// Python code runs; the watcher takes it too, inside the changing dict's
// critical section. A finding is kept only when no change was noted between
// its reading of the dicts and its keeping.

constexpr int kMaxHops = 3;

struct Lookup {
    PyObject* Constants::* names[kMaxHops];  // the global name, then attributes
    int hops;
    // What the last finding through watched dicts found, as strong references:
    PyObject* globals;               // the namespace it started in
    PyObject* found[kMaxHops];       // each hop's object: modules, then the value
    bool watched;                    // a finding to confirm
    bool kept;                       // confirmed: used instead of a lookup
};

enum LookupId { kExpanduser,
                kJoin,
                kExists,
                kMakedirs,
                kSha256,
                kGetnode,
                kSystem,
                kLookupCount };

Lookup g_lookups[kLookupCount] = {
    {{&Constants::name_os, &Constants::attr_path, &Constants::attr_expanduser}, 3, nullptr, {}, false, false},
    {{&Constants::name_os, &Constants::attr_path, &Constants::attr_join}, 3, nullptr, {}, false, false},
    {{&Constants::name_os, &Constants::attr_path, &Constants::attr_exists}, 3, nullptr, {}, false, false},
    {{&Constants::name_os, &Constants::attr_makedirs, nullptr}, 2, nullptr, {}, false, false},
    {{&Constants::name_hashlib, &Constants::attr_sha256, nullptr}, 2, nullptr, {}, false, false},
    {{&Constants::name_uuid, &Constants::attr_getnode, nullptr}, 2, nullptr, {}, false, false},
    {{&Constants::name_platform, &Constants::attr_system, nullptr}, 2, nullptr, {}, false, false},
};

// A change noted by the watcher whose key may not hold its new value yet.
struct PendingChange {
    PyObject* dict;
    PyObject* Constants::* name;
    PyObject* value;  // nullptr: the key is being deleted
};
constexpr int kMaxPending = 8;
PendingChange g_pending[kMaxPending];
int g_pending_count;
constexpr int kMaxUnkept = 8;
PyObject* g_unkept_dicts[kMaxUnkept];  // nothing found through them is kept
int g_unkept_count;
bool g_keep_nothing;  // more changes than could be noted
std::uint64_t g_epoch;  // changes noted so far
tamsel::compat::ProcessLock g_lookup_lock;  // guards all of the above

// The dict that hop `i` of `l` went through.
PyObject* hop_dict(const Lookup& l, int i) {
    return i == 0 ? l.globals : PyModule_GetDict(l.found[i - 1]);
}

// Which looked-up name `key` (a `str`) is, or nullptr. The key is compared
// with the names' C texts, not with the name objects: the watcher may run
// late in a finalization, when the interpreter has freed interned texts.
PyObject* Constants::* name_of(PyObject* key) {
    static const struct {
        PyObject* Constants::* name;
        const char* text;
    } names[] = {
        {&Constants::name_os, "os"},
        {&Constants::attr_path, "path"},
        {&Constants::attr_expanduser, "expanduser"},
        {&Constants::attr_join, "join"},
        {&Constants::attr_exists, "exists"},
        {&Constants::attr_makedirs, "makedirs"},
        {&Constants::name_hashlib, "hashlib"},
        {&Constants::attr_sha256, "sha256"},
        {&Constants::name_uuid, "uuid"},
        {&Constants::attr_getnode, "getnode"},
        {&Constants::name_platform, "platform"},
        {&Constants::attr_system, "system"},
    };
    for (const auto& n : names) {
        if (PyUnicode_CompareWithASCIIString(key, n.text) == 0) {
            return n.name;
        }
    }
    return nullptr;
}

// The watcher, called before `dict` changes. It runs no Python code and
// releases nothing (a release could run a finaliser): stale lookups release
// what they hold when they are next used.
void on_dict_change(tamsel::compat::DictChange change, PyObject* dict, PyObject* key, PyObject* value) {
    using tamsel::compat::DictChange;
    if (g_constants.name_os == nullptr) {
        return;  // the interpreter is being finalized
    }
    if (change == DictChange::kDeallocated) {
        tamsel::compat::LockGuard guard(g_lookup_lock);
        for (int i = g_pending_count - 1; i >= 0; --i) {
            if (g_pending[i].dict == dict) {
                g_pending[i] = g_pending[--g_pending_count];
            }
        }
        for (int i = g_unkept_count - 1; i >= 0; --i) {
            if (g_unkept_dicts[i] == dict) {
                g_unkept_dicts[i] = g_unkept_dicts[--g_unkept_count];
            }
        }
        return;
    }
    tamsel::compat::LockGuard guard(g_lookup_lock);
    PyObject* Constants::* name = nullptr;
    if (change != DictChange::kWhole && PyUnicode_CheckExact(key)) {
        name = name_of(key);
        if (name == nullptr) {
            return;  // no lookup goes through that key
        }
    }
    ++g_epoch;
    for (Lookup& l : g_lookups) {
        for (int i = 0; (l.watched || l.kept) && i < l.hops; ++i) {
            if (hop_dict(l, i) == dict && (name == nullptr || l.names[i] == name)) {
                l.watched = l.kept = false;
            }
        }
    }
    if (name == nullptr) {  // a whole dict, or a key that is not a `str`
        if (g_unkept_count < kMaxUnkept) {
            g_unkept_dicts[g_unkept_count++] = dict;
        } else {
            g_keep_nothing = true;
        }
        return;
    }
    for (int i = 0; i < g_pending_count; ++i) {
        if (g_pending[i].dict == dict && g_pending[i].name == name) {
            g_pending[i].value = change == DictChange::kSet ? value : nullptr;
            return;
        }
    }
    if (g_pending_count < kMaxPending) {
        g_pending[g_pending_count++] = PendingChange{dict, name, change == DictChange::kSet ? value : nullptr};
    } else {
        g_keep_nothing = true;
    }
}

// Whether the dicts of `found` (hop i went through dict i) had no change of
// a key `l` goes through still to be made; resolves the changes that have
// been made. Under g_lookup_lock.
bool no_change_pending(const Lookup& l, PyObject* const* dicts, PyObject* const* found) {
    for (int i = 0; i < l.hops; ++i) {
        for (int u = 0; u < g_unkept_count; ++u) {
            if (g_unkept_dicts[u] == dicts[i]) {
                return false;
            }
        }
        for (int p = g_pending_count - 1; p >= 0; --p) {
            const PendingChange& change = g_pending[p];
            if (change.dict == dicts[i] && change.name == l.names[i]) {
                if (change.value != found[i]) {
                    return false;  // still to be made
                }
                g_pending[p] = g_pending[--g_pending_count];  // made
            }
        }
    }
    return true;
}

// After a lookup through the namespace and plain modules' dicts found
// `found`: watches the dicts and notes the finding, or keeps it when it
// confirms the one noted before. The dicts are read and watched outside
// g_lookup_lock; what they told is relied on only when no change of a
// watched dict was noted meanwhile (g_epoch).
void consider_keeping(const Scope& s, Lookup& l, PyObject* const* found) {
    PyObject* dicts[kMaxHops] = {s.globals, PyModule_GetDict(found[0]),
                                 l.hops == 3 ? PyModule_GetDict(found[1]) : nullptr};
    std::uint64_t epoch;
    bool same;
    {
        tamsel::compat::LockGuard guard(g_lookup_lock);
        if (g_keep_nothing) {
            return;
        }
        epoch = g_epoch;
        same = l.watched && l.globals == s.globals;
        for (int i = 0; same && i < l.hops; ++i) {
            same = l.found[i] == found[i];
        }
    }
    if (same) {
        for (int i = 0; i < l.hops; ++i) {
            if (!tamsel::compat::only_str_keys(dicts[i])) {
                return;
            }
        }
        tamsel::compat::LockGuard guard(g_lookup_lock);
        same = g_epoch == epoch && l.watched && l.globals == s.globals;  // not replaced meanwhile
        for (int i = 0; same && i < l.hops; ++i) {
            same = l.found[i] == found[i];
        }
        l.kept = same && no_change_pending(l, dicts, found);
        return;
    }
    for (int i = 0; i < l.hops; ++i) {
        if (!tamsel::compat::watch_dict(dicts[i])) {
            return;
        }
    }
    PyObject* old[kMaxHops + 1] = {};
    {
        tamsel::compat::LockGuard guard(g_lookup_lock);
        old[0] = l.globals;
        l.globals = new_ref(s.globals);
        for (int i = 0; i < l.hops; ++i) {
            old[i + 1] = l.found[i];
            l.found[i] = new_ref(found[i]);
        }
        l.watched = true;
        l.kept = false;
    }
    for (PyObject* o : old) {
        Py_XDECREF(o);  // outside the lock, and last: a finaliser may run arbitrary code
    }
}

// The lookup `l` made afresh; see look_up().
TAMSEL_LOOKUP_AFRESH PyObject* look_up_afresh(const Scope& s, Lookup& l) {
    bool plain, in_dict = true;
    PyObject* module = lookup_global(s, g_constants.*(l.names[0]), &plain);  // new
    if (module == nullptr) {
        return nullptr;
    }
    PyObject* owner = module;  // `os.path` of `os.path.join`: new when not the module
    if (l.hops == 3) {
        owner = module_attr(module, g_constants.*(l.names[1]), &in_dict);
        plain = plain && in_dict;
    }
    PyObject* value = owner != nullptr ? module_attr(owner, g_constants.*(l.names[l.hops - 1]), &in_dict) : nullptr;
    if (tamsel::compat::kDictsCanBeWatched && value != nullptr && plain && in_dict) {
        PyObject* found[kMaxHops] = {module, l.hops == 3 ? owner : value, value};
        consider_keeping(s, l, found);
    }
    if (owner != module) {
        Py_XDECREF(owner);
    }
    Py_DECREF(module);
    return value;
}

// The object the dotted name `id` names now, as a new reference: what a kept
// lookup found, while it may be relied on, or a lookup made afresh.
inline PyObject* look_up(const Scope& s, LookupId id) {
    Lookup& l = g_lookups[id];
    if (tamsel::compat::kDictsCanBeWatched) {
        tamsel::compat::LockGuard guard(g_lookup_lock);
        if (l.kept && l.globals == s.globals && Py_IS_TYPE(l.found[0], &PyModule_Type) &&
            (l.hops < 3 || Py_IS_TYPE(l.found[1], &PyModule_Type))) {
            return new_ref(l.found[l.hops - 1]);
        }
    }
    return look_up_afresh(s, l);
}

// Forgets every kept lookup (the interpreter that owned them is gone).
void forget_lookups() {
    for (Lookup& l : g_lookups) {
        l.globals = nullptr;
        l.found[0] = l.found[1] = l.found[2] = nullptr;
        l.watched = l.kept = false;
    }
    g_pending_count = g_unkept_count = 0;
    g_keep_nothing = false;
    g_epoch = 0;
    tamsel::compat::forget_dict_watcher();
}

// `callable(*args)`.
template <typename... Args>
PyObject* call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
}

// `self.name(*args)`, looked up like a method call in Python code.
template <typename... Args>
PyObject* call_method(PyObject* self, PyObject* name, Args... args) {
    PyObject* stack[] = {self, args...};
    return PyObject_VectorcallMethod(name, stack, 1 + sizeof...(Args), nullptr);
}

// `text.strip()`: for a `str`, its method taken at initialisation is called
// directly (the type of `str` cannot change, and a `str` has no attributes of
// its own).
PyObject* strip(PyObject* text) {
    if (PyUnicode_CheckExact(text)) {
        PyObject* stack[] = {text};
        return PyObject_Vectorcall(g_constants.str_strip, stack, 1, nullptr);
    }
    return call_method(text, g_constants.attr_strip);
}

// `os.path.join(*args)`, `uuid.getnode()`, ...: the dotted name `id` called.
template <typename... Args>
PyObject* call_looked_up(const Scope& s, LookupId id, Args... args) {
    Ref function = Ref::steal(look_up(s, id));
    return function ? call(function.get(), args...) : nullptr;
}

// `import <name>` inside a function of this module.
PyObject* import_module(const Scope& s, PyObject* name) {
    return PyImport_ImportModuleLevelObject(name, s.globals, nullptr, nullptr, 0);
}

// `bool(o)`: 1, 0 or -1, with no call for the two booleans and a `str`.
int truth(PyObject* o) {
    return o == Py_True ? 1 : o == Py_False ? 0
                                            : PyObject_IsTrue(o);
}

// `a == b` (or `!=`) with Python's semantics: 1, 0 or -1. Unlike
// PyObject_RichCompareBool there is no shortcut for identical objects.
int compare(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return result ? truth(result.get()) : -1;
}

// A special method of a type that cannot change, kept with the type: the
// first type with fixed attributes that is asked about (in practice the file
// type that `open` returns), so that its `__enter__` and `__exit__` need no
// type lookup afterwards. An entry is published once, atomically, and never
// replaced while the interpreter lives; it keeps the type and the method.
class KeptSpecial {
public:
    explicit constexpr KeptSpecial(PyObject* Constants::* name) noexcept : name_(name) {}

    PyObject* name() const noexcept { return g_constants.*name_; }

    // The method kept for `type`, borrowed (the entry keeps it), or nullptr.
    PyObject* kept(PyTypeObject* type) const noexcept {
        const Entry* entry = entry_.load(std::memory_order_acquire);
        return entry != nullptr && entry->type == type ? entry->method : nullptr;
    }

    // `name` on `type` as the type's own lookup finds it, as a new reference,
    // or nullptr with no error set.
    PyObject* find(PyTypeObject* type) {
        const Entry* entry = entry_.load(std::memory_order_acquire);
        if (entry != nullptr && entry->type == type) {
            return new_ref(entry->method);
        }
        PyObject* found = tamsel::compat::type_lookup_ref(type, name());
        if (entry == nullptr && found != nullptr && fixed(type)) {
            keep(type, found);
        }
        return found;
    }

    // The interpreter that owned the entry is gone: only its memory is freed.
    void forget() noexcept { std::free(const_cast<Entry*>(entry_.exchange(nullptr))); }

private:
    struct Entry {
        PyTypeObject* type;
        PyObject* method;
    };

    // Whether neither the type nor any class on its MRO can change.
    static bool fixed(PyTypeObject* type) {
        PyObject* mro = type->tp_mro;
        if (mro == nullptr || !PyTuple_CheckExact(mro)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            PyObject* base = PyTuple_GET_ITEM(mro, i);
            if (!PyType_Check(base) || !tamsel::compat::is_immutable_type(reinterpret_cast<PyTypeObject*>(base))) {
                return false;
            }
        }
        return true;
    }

    // (The entries are plain C memory: the module links no C++ library.)
    void keep(PyTypeObject* type, PyObject* method) {
        auto* entry = static_cast<Entry*>(std::malloc(sizeof(Entry)));
        if (entry == nullptr) {
            return;
        }
        *entry = Entry{type, method};
        Py_INCREF(type);
        Py_INCREF(method);
        const Entry* none = nullptr;
        if (!entry_.compare_exchange_strong(none, entry, std::memory_order_acq_rel)) {
            Py_DECREF(method);  // another thread kept one first
            Py_DECREF(type);
            std::free(entry);
        }
    }

    PyObject* Constants::* name_;
    std::atomic<const Entry*> entry_{nullptr};
};

KeptSpecial g_enter{&Constants::attr_enter};
KeptSpecial g_exit{&Constants::attr_exit};
KeptSpecial g_hexdigest{&Constants::attr_hexdigest};

// `self.<name>()` for a method that `kept` keeps: when the object's type has
// no instance dict and the generic attribute lookup, `self.name` is the
// type's own attribute, so a kept method descriptor is called directly;
// anything else is an ordinary method call.
PyObject* call_kept_method(KeptSpecial& kept, PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_dictoffset == 0 && type->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* method = kept.kept(type);
        if (method != nullptr && PyType_HasFeature(Py_TYPE(method), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            PyObject* stack[] = {self};
            return PyObject_Vectorcall(method, stack, 1, nullptr);
        }
        Py_XDECREF(kept.find(type));  // keeps it when the type cannot change
    }
    PyObject* stack[] = {self};
    return PyObject_VectorcallMethod(kept.name(), stack, 1, nullptr);
}

// A special method found on the type, as `with` finds `__enter__` and
// `__exit__`. A plain method descriptor is kept unbound and called with the
// object in front, which spares the bound-method object per call.
class SpecialMethod {
public:
    int lookup(PyObject* obj, KeptSpecial& special) {
        PyObject* kept = special.kept(Py_TYPE(obj));
        if (kept != nullptr && PyType_HasFeature(Py_TYPE(kept), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            method_ = kept;
            self_ = obj;
            return 0;
        }
        Ref attr = Ref::steal(special.find(Py_TYPE(obj)));
        if (!attr) {
            PyErr_SetObject(PyExc_AttributeError, special.name());
            return -1;
        }
        if (PyType_HasFeature(Py_TYPE(attr.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            owned_ = std::move(attr);
            self_ = obj;
        } else {
            descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
            owned_ = get == nullptr ? std::move(attr)
                                    : Ref::steal(get(attr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
            self_ = nullptr;
        }
        method_ = owned_.get();
        return method_ != nullptr ? 0 : -1;
    }

    // Calls it with no arguments.
    PyObject* operator()() const {
        PyObject* stack[2] = {nullptr, self_};
        return self_ != nullptr ? PyObject_Vectorcall(method_, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
                                : PyObject_Vectorcall(method_, nullptr, 0, nullptr);
    }

    // Calls it with the three arguments of `__exit__`.
    PyObject* operator()(PyObject* const* args) const {
        PyObject* stack[5] = {nullptr, self_, args[0], args[1], args[2]};
        PyObject* const* first = self_ != nullptr ? stack + 1 : stack + 2;
        const size_t count = self_ != nullptr ? 4 : 3;
        return PyObject_Vectorcall(method_, first, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }

private:
    Ref owned_;                 // what keeps method_ alive, unless a kept entry does
    PyObject* method_ = nullptr;
    PyObject* self_ = nullptr;  // borrowed from the caller of lookup(); null: bound already
};

// Outcome of a `with` block.
enum WithOutcome { kWithFailed = -1,
                   kWithSuppressed = 0,
                   kWithCompleted = 1 };

// `with manager as entered: body(entered)`. The body returns 0, or -1 with an
// exception set; that exception goes to `__exit__` with its type, value and
// traceback while it is the handled exception, and is raised again unless
// `__exit__` returns a true value.
template <typename Body>
WithOutcome with_block(PyObject* manager, Body&& body) {
    SpecialMethod enter, exit;
    if (enter.lookup(manager, g_enter) < 0 || exit.lookup(manager, g_exit) < 0) {
        return kWithFailed;
    }
    Ref entered = Ref::steal(enter());
    if (!entered) {
        return kWithFailed;
    }
    if (body(entered.get()) == 0) {
        Ref result = Ref::steal(exit(&PyTuple_GET_ITEM(g_constants.exit_no_exception, 0)));
        return result ? kWithCompleted : kWithFailed;
    }
    CatchAll handler;
    handler.handle();
    PyObject* const exc_info[3] = {handler.type(), handler.value(), handler.traceback()};
    Ref result = Ref::steal(exit(exc_info));
    if (!result) {
        return kWithFailed;
    }
    int suppress = truth(result.get());
    if (suppress < 0) {
        return kWithFailed;
    }
    if (suppress) {
        return kWithSuppressed;
    }
    handler.reraise();
    return kWithFailed;
}

// The result list of a probe. When it cannot be made, one more empty list is
// tried; only when that fails too does the probe fail.
PyObject* new_result_list(const Scope& s, PyObject* entry) {
    PyObject* list = PyList_New(0);
    if (list != nullptr) {
        return list;
    }
    CatchAll().absorb();
    list = PyList_New(0);
    return list != nullptr ? list : fail(s, entry, __LINE__);
}

/* ------------------------------------------------------------------------ */
/* The identifier cache file                                                 */
/* ------------------------------------------------------------------------ */

// os.path.expanduser("~/.tamsel/cache")
PyObject* cache_directory(const Scope& s) {
    return call_looked_up(s, kExpanduser, g_constants.cache_dir);
}

// os.path.join(cache_dir, ".machine_id")
PyObject* cache_file_path(const Scope& s, PyObject* cache_dir) {
    return call_looked_up(s, kJoin, cache_dir, g_constants.cache_file_name);
}

// The stripped text of the cache file into *stored (a new reference), or
// nothing when the file does not exist. Returns 0, or -1 with the error set.
int read_cache_file(const Scope& s, Ref* stored) {
    Ref cache_dir = Ref::steal(cache_directory(s));
    if (!cache_dir) {
        return -1;
    }
    Ref path = Ref::steal(cache_file_path(s, cache_dir.get()));
    if (!path) {
        return -1;
    }
    Ref exists = Ref::steal(call_looked_up(s, kExists, path.get()));
    if (!exists) {
        return -1;
    }
    int found = truth(exists.get());
    if (found <= 0) {
        return found;
    }
    Ref file = Ref::steal(call(s.open, path.get(), g_constants.mode_read));
    if (!file) {
        return -1;
    }
    WithOutcome outcome = with_block(file.get(), [stored](PyObject* f) -> int {
        Ref content = Ref::steal(call_method(f, g_constants.attr_read));
        if (!content) {
            return -1;
        }
        *stored = Ref::steal(strip(content.get()));
        return *stored ? 0 : -1;
    });
    return outcome == kWithFailed ? -1 : 0;
}

// The file's text, stripped, or the empty text when there is none or it
// cannot be read. Never fails.
PyObject* get_cached_machine_id(const Scope& s) {
    CatchAll region;
    Ref stored;
    if (read_cache_file(s, &stored) < 0) {
        stored = Ref();
        region.absorb();
    }
    return stored ? stored.release() : new_ref(g_constants.empty_text);
}

// Writes the identifier to the cache file. Returns 0, or -1 with the error set.
int write_cache_file(const Scope& s, PyObject* machine_id) {
    Ref cache_dir = Ref::steal(cache_directory(s));
    if (!cache_dir) {
        return -1;
    }
    Ref makedirs = Ref::steal(look_up(s, kMakedirs));
    if (!makedirs) {
        return -1;
    }
    PyObject* args[] = {cache_dir.get(), Py_True};
    Ref made = Ref::steal(PyObject_Vectorcall(makedirs.get(), args, 1, g_constants.makedirs_kwnames));
    if (!made) {
        return -1;
    }
    Ref path = Ref::steal(cache_file_path(s, cache_dir.get()));
    if (!path) {
        return -1;
    }
    Ref file = Ref::steal(call(s.open, path.get(), g_constants.mode_write));
    if (!file) {
        return -1;
    }
    WithOutcome outcome = with_block(file.get(), [machine_id](PyObject* f) -> int {
        Ref written = Ref::steal(call_method(f, g_constants.attr_write, machine_id));
        return written ? 0 : -1;
    });
    return outcome == kWithFailed ? -1 : 0;
}

// Stores the identifier in the cache file; failures leave no trace and are
// not reported: the next call simply finds nothing stored.
void save_machine_id(const Scope& s, PyObject* machine_id) {
    CatchAll region;
    if (write_cache_file(s, machine_id) < 0) {
        region.absorb();
    }
}

/* ------------------------------------------------------------------------ */
/* Hardware probes                                                           */
/* ------------------------------------------------------------------------ */

// Windows: the serial number of volume C: and every BIOS serial number.
int append_volume_serial(PyObject* info, PyObject* win32api) {
    Ref volume = Ref::steal(
        call_method(win32api, g_constants.attr_get_volume_information, g_constants.volume_c_root));
    if (!volume) {
        return -1;
    }
    Ref serial = Ref::steal(PyObject_GetItem(volume.get(), g_constants.one));
    if (!serial) {
        return -1;
    }
    Ref piece = Ref::steal(PyObject_Str(serial.get()));
    if (!piece) {
        return -1;
    }
    return PyList_Append(info, piece.get());
}

int append_bios_serials(const Scope& s, PyObject* info) {
    Ref wmi = Ref::steal(import_module(s, g_constants.module_wmi));
    if (!wmi) {
        return -1;
    }
    Ref connection = Ref::steal(call_method(wmi.get(), g_constants.attr_wmi_connect));
    if (!connection) {
        return -1;
    }
    Ref bioses = Ref::steal(call_method(connection.get(), g_constants.attr_win32_bios));
    if (!bioses) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(bioses.get()));
    if (!iterator) {
        return -1;
    }
    while (Ref bios = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref serial = Ref::steal(PyObject_GetAttr(bios.get(), g_constants.attr_serial_number));
        if (!serial) {
            return -1;
        }
        int present = truth(serial.get());
        if (present < 0 || (present && PyList_Append(info, serial.get()) < 0)) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The volume and BIOS pieces, each group in a catch-all of its own, after
// the imports that decide whether there are any. Returns the list, or
// nullptr with the error set.
PyObject* collect_windows_pieces(const Scope& s) {
    Ref win32api = Ref::steal(import_module(s, g_constants.module_win32api));
    if (!win32api) {
        return nullptr;
    }
    Ref win32security = Ref::steal(import_module(s, g_constants.module_win32security));
    if (!win32security) {
        return nullptr;
    }
    Ref info = Ref::steal(PyList_New(0));
    if (!info) {
        return nullptr;
    }
    {
        CatchAll volume_region;
        if (append_volume_serial(info.get(), win32api.get()) < 0) {
            volume_region.absorb();
        }
    }
    {
        CatchAll bios_region;
        if (append_bios_serials(s, info.get()) < 0) {
            bios_region.absorb();
        }
    }
    return info.release();
}

PyObject* get_windows_info(const Scope& s) {
    CatchAll outer;
    PyObject* info = collect_windows_pieces(s);
    if (info != nullptr) {
        return info;
    }
    outer.absorb();
    PyObject* empty = PyList_New(0);
    return empty != nullptr ? empty : fail(s, g_constants.entry_get_windows_info, __LINE__);
}

// macOS: the hardware UUID and serial number lines of system_profiler.
int collect_profiler_pieces(const Scope& s, PyObject* info) {
    Ref subprocess = Ref::steal(import_module(s, g_constants.module_subprocess));
    if (!subprocess) {
        return -1;
    }
    Ref run = Ref::steal(PyObject_GetAttr(subprocess.get(), g_constants.attr_run));
    if (!run) {
        return -1;
    }
    Ref argv = Ref::steal(PyList_New(2));
    if (!argv) {
        return -1;
    }
    PyList_SET_ITEM(argv.get(), 0, new_ref(g_constants.profiler_program));
    PyList_SET_ITEM(argv.get(), 1, new_ref(g_constants.profiler_data_type));
    PyObject* args[] = {argv.get(), Py_True, Py_True};
    Ref result = Ref::steal(PyObject_Vectorcall(run.get(), args, 1, g_constants.run_kwnames));
    if (!result) {
        return -1;
    }
    Ref stdout_text = Ref::steal(PyObject_GetAttr(result.get(), g_constants.attr_stdout));
    if (!stdout_text) {
        return -1;
    }
    Ref lines = Ref::steal(call_method(stdout_text.get(), g_constants.attr_split, g_constants.line_feed));
    if (!lines) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(lines.get()));
    if (!iterator) {
        return -1;
    }
    while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
        int matches = PySequence_Contains(line.get(), g_constants.label_hardware_uuid);
        if (matches == 0) {
            matches = PySequence_Contains(line.get(), g_constants.label_serial_number);
        }
        if (matches < 0) {
            return -1;
        }
        if (matches == 0) {
            continue;
        }
        Ref fields = Ref::steal(call_method(line.get(), g_constants.attr_split, g_constants.colon));
        if (!fields) {
            return -1;
        }
        Ref field = Ref::steal(PyObject_GetItem(fields.get(), g_constants.one));
        if (!field) {
            return -1;
        }
        Ref piece = Ref::steal(strip(field.get()));
        if (!piece || PyList_Append(info, piece.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* get_macos_info(const Scope& s) {
    Ref info = Ref::steal(new_result_list(s, g_constants.entry_get_macos_info));
    if (!info) {
        return nullptr;
    }
    CatchAll region;
    if (collect_profiler_pieces(s, info.get()) < 0) {
        region.absorb();
    }
    return info.release();
}

// Linux: one source file of a group; a text that passes the group's test is
// appended. Returns 0, or -1 with the exception set.
int append_file_text(const Scope& s, PyObject* info, PyObject* path, bool skip_placeholder) {
    Ref exists = Ref::steal(call_looked_up(s, kExists, path));
    if (!exists) {
        return -1;
    }
    int found = truth(exists.get());
    if (found <= 0) {
        return found;
    }
    Ref file = Ref::steal(call(s.open, path, g_constants.mode_read));
    if (!file) {
        return -1;
    }
    WithOutcome outcome = with_block(file.get(), [info, skip_placeholder](PyObject* f) -> int {
        Ref content = Ref::steal(call_method(f, g_constants.attr_read));
        if (!content) {
            return -1;
        }
        Ref value = Ref::steal(strip(content.get()));
        if (!value) {
            return -1;
        }
        int keep = truth(value.get());
        if (keep > 0 && skip_placeholder) {
            keep = compare(value.get(), g_constants.dmi_placeholder, Py_NE);
        }
        if (keep <= 0) {
            return keep;
        }
        return PyList_Append(info, value.get());
    });
    return outcome == kWithFailed ? -1 : 0;
}

PyObject* get_linux_info(const Scope& s) {
    Ref info = Ref::steal(new_result_list(s, g_constants.entry_get_linux_info));
    if (!info) {
        return nullptr;
    }
    // Every machine-id file is tried, whatever happened to the one before.
    PyObject* const machine_id_paths = g_constants.machine_id_paths;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(machine_id_paths); ++i) {
        CatchAll region;
        if (append_file_text(s, info.get(), PyTuple_GET_ITEM(machine_id_paths, i), false) < 0) {
            region.absorb();
        }
    }
    // A failing firmware file ends the firmware group.
    CatchAll region;
    PyObject* const dmi_paths = g_constants.dmi_paths;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(dmi_paths); ++i) {
        if (append_file_text(s, info.get(), PyTuple_GET_ITEM(dmi_paths, i), true) < 0) {
            region.absorb();
            break;
        }
    }
    return info.release();
}

/* ------------------------------------------------------------------------ */
/* The identifier                                                            */
/* ------------------------------------------------------------------------ */

// str(uuid.getnode()): the hardware address as decimal text, the first piece
// of every identifier and the whole of the fallback one.
PyObject* node_piece(const Scope& s) {
    Ref node = Ref::steal(call_looked_up(s, kGetnode));
    return node ? PyObject_Str(node.get()) : nullptr;
}

// platform.system() == name: 1, 0 or -1. Asked afresh for each test.
int system_is(const Scope& s, PyObject* name) {
    Ref system = Ref::steal(call_looked_up(s, kSystem));
    return system ? compare(system.get(), name, Py_EQ) : -1;
}

// The pieces of the one probe the system selects, or nullptr with the error
// set.
PyObject* probe_pieces(const Scope& s) {
    int windows = system_is(s, g_constants.system_windows);
    if (windows != 0) {
        return windows > 0 ? get_windows_info(s) : nullptr;
    }
    int darwin = system_is(s, g_constants.system_darwin);
    if (darwin != 0) {
        return darwin > 0 ? get_macos_info(s) : nullptr;
    }
    return get_linux_info(s);
}

// The node piece first, then the items of the one probe the system selects.
PyObject* get_stable_system_info(const Scope& s) {
    PyObject* const entry = g_constants.entry_get_stable_system_info;
    Ref info = Ref::steal(PyList_New(0));
    if (!info) {
        return fail(s, entry, __LINE__);
    }
    Ref node = Ref::steal(node_piece(s));
    if (!node) {
        return fail(s, entry, __LINE__);
    }
    if (PyList_Append(info.get(), node.get()) < 0) {
        return fail(s, entry, __LINE__);
    }
    Ref pieces = Ref::steal(probe_pieces(s));
    if (!pieces) {
        return fail(s, entry, __LINE__);
    }
    if (PyList_SetSlice(info.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, pieces.get()) < 0) {
        return fail(s, entry, __LINE__);
    }
    return info.release();
}

// hashlib.sha256(text.encode()).hexdigest(), with `sha256` already looked up.
PyObject* hexdigest_of(PyObject* sha256, PyObject* text) {
    Ref data = Ref::steal(PyUnicode_AsUTF8String(text));
    if (!data) {
        return nullptr;
    }
    Ref hash = Ref::steal(call(sha256, data.get()));
    if (!hash) {
        return nullptr;
    }
    return call_kept_method(g_hexdigest, hash.get());
}

// The regular derivation: the digest of the system information, stored and
// returned. On failure returns nullptr with the error set and `*failed_line`
// the line of the failing statement.
PyObject* derive_machine_id(const Scope& s, int* failed_line) {
    Ref system_info = Ref::steal(get_stable_system_info(s));
    if (!system_info) {
        *failed_line = __LINE__;
        return nullptr;
    }
    Ref sha256 = Ref::steal(look_up(s, kSha256));
    if (!sha256) {
        *failed_line = __LINE__;
        return nullptr;
    }
    Ref joined = Ref::steal(PyUnicode_Join(g_constants.empty_text, system_info.get()));
    if (!joined) {
        *failed_line = __LINE__;
        return nullptr;
    }
    PyObject* machine_id = hexdigest_of(sha256.get(), joined.get());
    if (machine_id == nullptr) {
        *failed_line = __LINE__;
        return nullptr;
    }
    save_machine_id(s, machine_id);
    return machine_id;
}

PyObject* get_machine_id(const Scope& s) {
    PyObject* const entry = g_constants.entry_get_machine_id;
    Ref cached_id = Ref::steal(get_cached_machine_id(s));
    if (!cached_id) {
        return fail(s, entry, __LINE__);
    }
    int stored = truth(cached_id.get());
    if (stored < 0) {
        return fail(s, entry, __LINE__);
    }
    if (stored) {
        return cached_id.release();
    }

    CatchAll handler;
    int failed_line = 0;
    PyObject* machine_id = derive_machine_id(s, &failed_line);
    if (machine_id != nullptr) {
        return machine_id;
    }

    // Like an `except:` clause: the failure is discarded, but while the
    // fallback runs it is the exception being handled, so anything raised
    // now names it as its context.
    traceback_here(s.globals, entry, failed_line);
    handler.handle();
    Ref sha256 = Ref::steal(look_up(s, kSha256));
    if (!sha256) {
        return fail(s, entry, __LINE__);
    }
    Ref node = Ref::steal(node_piece(s));
    if (!node) {
        return fail(s, entry, __LINE__);
    }
    Ref fallback_id = Ref::steal(hexdigest_of(sha256.get(), node.get()));
    if (!fallback_id) {
        return fail(s, entry, __LINE__);
    }
    save_machine_id(s, fallback_id.get());
    return fallback_id.release();
}

/* ------------------------------------------------------------------------ */
/* The published function object                                             */
/* ------------------------------------------------------------------------ */

// A built-in function taking no arguments that also carries what Python
// functions carry (`__code__`, `__globals__`, `__annotations__`), so that
// tracebacks, `inspect` and documentation tools see a proper function. Like a
// built-in function it is not bound when found on a class (its `__get__`
// returns itself), which also makes `inspect.isroutine` recognise it.
//
// The type is a heap type made once from a spec: a static type whose
// readying failed half-way (out of memory during an import) cannot be readied
// again safely on every interpreter, while a spec either makes a whole type or
// none. Its `__module__` comes from the dotted name.
struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* (*implementation)(const Scope&);
    const char* c_name;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* code;
    PyObject* globals;
    PyObject* annotations;
    PyObject* builtins;  // the dict of the builtins module
    PyObject* open;
    PyObject* weakrefs;
};

// One nesting level of the published function: it counts against the
// recursion limit, and the C stack keeps its reserve, so that the function
// bound (directly or through C wrappers) as one of the names it calls ends in
// RecursionError instead of exhausting the stack.
PyObject* native_function_vectorcall(PyObject* self, PyObject* const*, size_t nargsf,
                                     PyObject* kwnames) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", f->c_name);
        return nullptr;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", f->c_name, nargs);
        return nullptr;
    }
    const int stack = tamsel::compat::enter_c_stack();
    if (stack == tamsel::compat::kStackRefused) {
        return nullptr;
    }
    PyThreadState* thread = tamsel::compat::enter_recursive_call();
    PyObject* result = nullptr;
    if (thread != nullptr) {
        result = f->implementation(Scope{f->globals, f->builtins, f->open});
        tamsel::compat::leave_recursive_call(thread);
    }
    tamsel::compat::leave_c_stack(stack);
    return result;
}

int native_function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    Py_VISIT(f->builtins);
    Py_VISIT(f->open);
    return 0;
}

// What a call uses (its globals, builtins and `open`) stays until the function
// is freed, so that a function cleared by the collector can still be called
// from a finaliser; a cycle through the namespace is broken by the dict's own
// clear.
int native_function_clear(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_CLEAR(f->code);
    Py_CLEAR(f->annotations);
    return 0;
}

void native_function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    native_function_clear(self);
    Py_XDECREF(f->globals);
    Py_XDECREF(f->builtins);
    Py_XDECREF(f->open);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->doc);
    PyObject_GC_Del(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// Every slot below also copes with an instance whose fields are all NULL,
// which Python code can make on 3.9 (see new_uninstantiable_type).
PyObject* native_function_repr(PyObject* self) {
    PyObject* name = reinterpret_cast<NativeFunction*>(self)->name;
    if (name == nullptr) {
        return PyUnicode_FromFormat("<%s object at %p>", Py_TYPE(self)->tp_name, self);
    }
    return PyUnicode_FromFormat("<built-in function %U>", name);
}

// Found on a class or an instance, it stays the plain function.
PyObject* native_function_descr_get(PyObject* self, PyObject*, PyObject*) {
    return new_ref(self);
}

// Pickled by reference, like any module-level function.
PyObject* native_function_reduce(PyObject* self, PyObject*) {
    PyObject* qualname = reinterpret_cast<NativeFunction*>(self)->qualname;
    if (qualname == nullptr) {
        PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return new_ref(qualname);
}

template <PyObject* NativeFunction::* Field>
PyObject* native_function_get(PyObject* self, void*) {
    PyObject* value = reinterpret_cast<NativeFunction*>(self)->*Field;
    return new_ref(value != nullptr ? value : Py_None);
}

PyObject* native_function_get_none(PyObject*, void*) {
    Py_RETURN_NONE;
}

PyMethodDef native_function_methods[] = {
    {"__reduce__", native_function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef native_function_getset[] = {
    {"__name__", native_function_get<&NativeFunction::name>, nullptr, nullptr, nullptr},
    {"__qualname__", native_function_get<&NativeFunction::qualname>, nullptr, nullptr, nullptr},
    {"__doc__", native_function_get<&NativeFunction::doc>, nullptr, nullptr, nullptr},
    {"__code__", native_function_get<&NativeFunction::code>, nullptr, nullptr, nullptr},
    {"__globals__", native_function_get<&NativeFunction::globals>, nullptr, nullptr, nullptr},
    {"__annotations__", native_function_get<&NativeFunction::annotations>, nullptr, nullptr, nullptr},
    // What inspect.signature() needs besides __code__ to read the signature.
    {"__defaults__", native_function_get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", native_function_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef native_function_members[] = {
    {const_cast<char*>("__vectorcalloffset__"), T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(NativeFunction, vectorcall)), READONLY, nullptr},
    {const_cast<char*>("__weaklistoffset__"), T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(NativeFunction, weakrefs)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot native_function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(native_function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(native_function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(native_function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(native_function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(native_function_descr_get)},
    {Py_tp_methods, native_function_methods},
    {Py_tp_members, native_function_members},
    {Py_tp_getset, native_function_getset},
    {0, nullptr},
};

PyType_Spec native_function_spec = {
    "tamsel.utils._machine_utils.native_function",
    static_cast<int>(sizeof(NativeFunction)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    native_function_slots,
};

// The type of the published function: made by the first initialisation that
// gets that far, and kept.
PyTypeObject* published_function_type() {
    {
        tamsel::compat::LockGuard guard(g_init_lock);
        if (g_function_type != nullptr) {
            return g_function_type;
        }
    }
    // Made outside the lock: making it may run a collection, and with it
    // finalisers of Python code.
    PyObject* made = tamsel::compat::new_uninstantiable_type(&native_function_spec);
    if (made == nullptr) {
        // Out of memory, PyType_FromSpec of 3.12 and 3.13 can fail without
        // saying why; report it as the interpreter reports a function that
        // does so.
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "PyType_FromSpec returned NULL without setting an exception");
        }
        return nullptr;
    }
    PyTypeObject* type;
    {
        tamsel::compat::LockGuard guard(g_init_lock);
        if (g_function_type == nullptr) {
            g_function_type = reinterpret_cast<PyTypeObject*>(made);
            made = nullptr;
        }
        type = g_function_type;
    }
    Py_XDECREF(made);  // another thread's initialisation was first
    return type;
}

PyObject* new_native_function(PyObject* globals, PyObject* annotations) {
    PyTypeObject* type = published_function_type();
    if (type == nullptr) {
        return nullptr;
    }
    NativeFunction* f = PyObject_GC_New(NativeFunction, type);
    if (f == nullptr) {
        return nullptr;
    }
    f->vectorcall = native_function_vectorcall;
    f->implementation = get_machine_id;
    f->c_name = kFunctionName;
    f->name = new_ref(g_constants.name_get_machine_id);
    f->qualname = new_ref(g_constants.name_get_machine_id);
    f->doc = new_ref(g_constants.doc);
    f->code = new_ref(g_constants.code);
    f->globals = new_ref(globals);
    f->annotations = new_ref(annotations);
    f->builtins = new_ref(PyModule_GetDict(g_builtins));
    f->open = new_ref(g_open);
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

/* ------------------------------------------------------------------------ */
/* Initialisation                                                            */
/* ------------------------------------------------------------------------ */

// The line of the traceback entry "init tamsel.utils._machine_utils" that a
// failing step of the exec slot adds.
enum InitLine : int {
    kNoInitEntry = 0,  // the constant texts do not exist yet
    kInitSetUp = 1,
    kInitImportHashlib = 4,
    kInitImportPlatform = 5,
    kInitImportUuid = 6,
    kInitImportOs = 7,
    kInitFunction = 10,
};

// Warns when the running interpreter is not the one the module was built
// for. Returns -1 when the warning is turned into an error.
int check_runtime_version() {
    tamsel::MajorMinor runtime = tamsel::read_major_minor(Py_GetVersion());
    if (runtime.major == kBuiltForMajor && runtime.minor == kBuiltForMinor) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  kBuiltForMajor, kBuiltForMinor, kQualifiedName, "does not match", runtime.major,
                  runtime.minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

// Fills the empty slots of `c` with the texts.
int make_texts(Constants& c) {
    if (c.empty_tuple == nullptr && (c.empty_tuple = PyTuple_New(0)) == nullptr) {
        return -1;
    }
    if (c.empty_bytes == nullptr && (c.empty_bytes = PyBytes_FromStringAndSize("", 0)) == nullptr) {
        return -1;
    }
    if (c.raising_bytecode == nullptr &&
        (c.raising_bytecode = tamsel::compat::new_raising_bytecode()) == nullptr) {
        return -1;
    }
    if (c.raising_line_table == nullptr &&
        (c.raising_line_table = tamsel::compat::new_raising_line_table()) == nullptr) {
        return -1;
    }
    if (c.empty_text == nullptr && (c.empty_text = PyUnicode_FromStringAndSize("", 0)) == nullptr) {
        return -1;
    }
    for (const TextConstant& t : kTexts) {
        PyObject*& slot = c.*(t.slot);
        if (slot == nullptr && (slot = PyUnicode_InternFromString(t.text)) == nullptr) {
            return -1;
        }
    }
    return 0;
}

PyObject* tuple_of(PyObject* a, PyObject* b = nullptr, PyObject* c = nullptr, PyObject* d = nullptr) {
    return b == nullptr   ? PyTuple_Pack(1, a)
           : c == nullptr ? PyTuple_Pack(2, a, b)
           : d == nullptr ? PyTuple_Pack(3, a, b, c)
                          : PyTuple_Pack(4, a, b, c, d);
}

// A tuple of two interned path texts.
PyObject* path_pair(const char* first, const char* second) {
    Ref a = Ref::steal(PyUnicode_InternFromString(first));
    Ref b = Ref::steal(PyUnicode_InternFromString(second));
    return a && b ? tuple_of(a.get(), b.get()) : nullptr;
}

// Fills the empty slots of `c` with the tuples and the code object (the
// texts are there already).
int make_tuples_and_code(Constants& c) {
    if (c.one == nullptr && (c.one = PyLong_FromLong(1)) == nullptr) {
        return -1;
    }
    if (c.machine_id_paths == nullptr &&
        (c.machine_id_paths = path_pair("/etc/machine-id", "/var/lib/dbus/machine-id")) == nullptr) {
        return -1;
    }
    if (c.dmi_paths == nullptr &&
        (c.dmi_paths = path_pair("/sys/class/dmi/id/product_uuid", "/sys/class/dmi/id/board_serial")) ==
            nullptr) {
        return -1;
    }
    if (c.exit_no_exception == nullptr &&
        (c.exit_no_exception = tuple_of(Py_None, Py_None, Py_None)) == nullptr) {
        return -1;
    }
    if (c.makedirs_kwnames == nullptr && (c.makedirs_kwnames = tuple_of(c.attr_exist_ok)) == nullptr) {
        return -1;
    }
    if (c.run_kwnames == nullptr && (c.run_kwnames = tuple_of(c.attr_capture_output, c.attr_text)) == nullptr) {
        return -1;
    }
    if (c.local_names == nullptr &&
        (c.local_names = tuple_of(c.local_cached_id, c.local_system_info, c.local_machine_id,
                                  c.local_fallback_id)) == nullptr) {
        return -1;
    }
    if (c.str_strip == nullptr) {
        c.str_strip = tamsel::compat::type_lookup_ref(&PyUnicode_Type, c.attr_strip);
        if (c.str_strip == nullptr) {
            PyErr_SetObject(PyExc_AttributeError, c.attr_strip);
            return -1;
        }
    }
    if (c.code == nullptr) {
        constexpr int kFirstLine = 10;
        c.code = reinterpret_cast<PyObject*>(tamsel::compat::new_raising_code(
            c.source_file, c.name_get_machine_id, kFirstLine, c.local_names, CO_OPTIMIZED | CO_NEWLOCALS,
            c.raising_bytecode, c.raising_line_table, c.empty_tuple, c.empty_bytes));
        if (c.code == nullptr) {
            return -1;
        }
    }
    return 0;
}

// Constants is a plain list of object pointers; these view it as an array.
static_assert(sizeof(Constants) % sizeof(PyObject*) == 0, "Constants holds object pointers only");
constexpr std::size_t kConstantCount = sizeof(Constants) / sizeof(PyObject*);
PyObject** constant_slots(Constants& c) {
    return reinterpret_cast<PyObject**>(&c);
}

// Runs `make` on a copy of the constants and publishes into g_constants every
// slot it filled that is still empty there; a slot another thread's
// initialisation filled first keeps that one. Objects are made outside the
// lock: making one may run a collection, and with it finalisers of Python
// code. What `make` made before failing is kept for the next attempt.
int make_constants(int (*make)(Constants&)) {
    Constants made;
    {
        tamsel::compat::LockGuard guard(g_init_lock);
        made = g_constants;
    }
    const int status = make(made);
    Constants spare{};
    {
        tamsel::compat::LockGuard guard(g_init_lock);
        PyObject** mine = constant_slots(made);
        PyObject** kept = constant_slots(g_constants);
        PyObject** unused = constant_slots(spare);
        for (std::size_t i = 0; i < kConstantCount; ++i) {
            if (mine[i] != kept[i]) {
                (kept[i] == nullptr ? kept[i] : unused[i]) = mine[i];
            }
        }
    }
    PyObject** unused = constant_slots(spare);
    for (std::size_t i = 0; i < kConstantCount; ++i) {
        Py_XDECREF(unused[i]);
    }
    return status;
}

// Takes the builtins module and its `open` for this interpreter, unless an
// earlier initialisation did. The lookups are made outside the lock.
int take_builtins() {
    Ref builtins = Ref::steal(tamsel::compat::add_module_ref("builtins"));
    if (!builtins) {
        return -1;
    }
    tamsel::compat::LockGuard guard(g_init_lock);
    if (g_builtins == nullptr) {
        g_builtins = builtins.release();
    }
    return 0;
}

int take_open() {
    Ref open;
    {
        tamsel::compat::LockGuard guard(g_init_lock);
        if (g_open != nullptr) {
            return 0;
        }
    }
    PyObject* value;
    int found = tamsel::compat::dict_get_ref(PyModule_GetDict(g_builtins), g_constants.name_open, &value);
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_constants.name_open);
    }
    if (found <= 0) {
        return -1;
    }
    open = Ref::steal(value);
    tamsel::compat::LockGuard guard(g_init_lock);
    if (g_open == nullptr) {
        g_open = open.release();
    }
    return 0;
}

// Binds `import <name>` in the namespace.
int import_into_namespace(PyObject* globals, PyObject* name) {
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
    return module ? PyDict_SetItem(globals, name, module.get()) : -1;
}

// Steps of the exec slot after the module is stored. On failure, `*line`
// says which traceback line the step carries.
int initialise(PyObject* module, PyObject* globals, InitLine* line) {
    *line = kNoInitEntry;
    if (take_builtins() < 0 || PyObject_SetAttrString(module, "__builtins__", g_builtins) < 0) {
        return -1;
    }
    if (check_runtime_version() < 0 || make_constants(make_texts) < 0) {
        return -1;
    }

    *line = kInitSetUp;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (PyDict_SetDefault(modules, g_constants.qualified_name, module) == nullptr) {
        return -1;
    }
    if (take_open() < 0 || make_constants(make_tuples_and_code) < 0) {
        return -1;
    }
    tamsel::compat::start_watching_dicts(on_dict_change);  // without a watcher, nothing is kept

    const struct {
        PyObject* name;
        InitLine line;
    } imports[] = {
        {g_constants.name_hashlib, kInitImportHashlib},
        {g_constants.name_platform, kInitImportPlatform},
        {g_constants.name_uuid, kInitImportUuid},
        {g_constants.name_os, kInitImportOs},
    };
    for (const auto& import : imports) {
        *line = import.line;
        if (import_into_namespace(globals, import.name) < 0) {
            return -1;
        }
    }

    *line = kInitFunction;
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations ||
        PyDict_SetItem(annotations.get(), g_constants.annotation_return, g_constants.annotation_str) < 0) {
        return -1;
    }
    Ref function = Ref::steal(new_native_function(globals, annotations.get()));
    if (!function || PyDict_SetItem(globals, g_constants.name_get_machine_id, function.get()) < 0) {
        return -1;
    }

    *line = kInitSetUp;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(globals, g_constants.name_test, test.get()) < 0) {
        return -1;
    }
    return 0;
}

// Registered with Py_AtExit: runs once the interpreter has been finalized.
// The objects of the process-wide state died with it, or are no longer ours
// to release; they are left as they are (at the end of the process they are
// simply still there), and the next create slot, in an interpreter started
// again in this process, forgets them all without touching any and
// initialises the module afresh.
std::atomic<bool> g_interpreter_ended{false};

void note_interpreter_ended() {
    g_interpreter_ended.store(true);
}

void forget_ended_interpreter() {
    g_constants = Constants{};
    g_module = nullptr;
    g_builtins = nullptr;
    g_open = nullptr;
    g_function_type = nullptr;
    for (EntryCode& e : g_entry_codes) {
        e = EntryCode{};
    }
    g_entry_count.store(0);
    forget_lookups();
    g_enter.forget();
    g_exit.forget();
    g_hexdigest.forget();
    g_owner_interpreter.store(-1);
    g_exit_hook_set = false;
    g_interpreter_ended.store(false);
}

/* ------------------------------------------------------------------------ */
/* Module slots and entry point                                              */
/* ------------------------------------------------------------------------ */

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (g_interpreter_ended.load()) {
        forget_ended_interpreter();  // no other thread runs yet in the new one
    }
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return nullptr;  // the query's own error is pending
    }
    int64_t owner = -1;
    if (!g_owner_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    {
        tamsel::compat::LockGuard guard(g_init_lock);
        if (!g_exit_hook_set) {
            // When no slot is free (32 in all), a restarted interpreter
            // would be refused as a second one; nothing else changes.
            g_exit_hook_set = Py_AtExit(note_interpreter_ended) == 0;
        }
        if (g_module != nullptr) {
            // The interpreter gives a module made by this slot a fresh,
            // empty state pointer, and the exec that follows allocates a
            // new (zero-size) state block, without freeing the one the
            // first exec allocated. Releasing it here keeps re-imports from
            // leaking a block each.
            PyMem_Free(PyModule_GetState(g_module));
            return new_ref(g_module);
        }
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    const struct {
        const char* from;
        const char* to;
        bool keep_none;
    } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    for (const auto& copy : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, copy.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if (!copy.keep_none && value.get() == Py_None) {
            continue;
        }
        if (PyDict_SetItemString(dict, copy.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

int module_exec(PyObject* module) {
    {
        tamsel::compat::LockGuard guard(g_init_lock);
        if (g_module == module) {
            return 0;
        }
        if (g_module == nullptr) {
            g_module = new_ref(module);
            module = nullptr;
        }
    }
    if (module != nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_machine_utils' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    module = g_module;  // only this exec changes it until it returns
    PyObject* globals = PyModule_GetDict(module);  // borrowed: the module keeps it
    InitLine line = kNoInitEntry;
    if (initialise(module, globals, &line) == 0) {
        return 0;
    }
    if (line != kNoInitEntry) {
        traceback_here(globals, g_constants.entry_init, line);
    }
    {
        tamsel::compat::LockGuard guard(g_init_lock);
        g_module = nullptr;
    }
    Py_DECREF(module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    // Several interpreters may load it, with a shared GIL: its own create slot
    // then refuses a second one with its own message (one with a GIL of its
    // own is refused by the import system before the slot runs).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, tamsel::compat::kModGil},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_machine_utils",  // m_name
    nullptr,           // m_doc
    0,                 // m_size: no per-module state, everything is process-wide
    nullptr,           // m_methods: get_machine_id is bound by the exec slot
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__machine_utils(void) {
    return PyModuleDef_Init(&module_def);
}
