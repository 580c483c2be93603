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
 * builtins; `open` is the builtin taken once at initialisation. A function
 * that fails adds one traceback entry "tamsel.utils._machine_utils.<name>" at
 * the line of this file where it failed.
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

#include <cstddef>
#include <cstdint>
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

// Everything a call uses that never changes, created by the exec slot and
// kept for the life of the process.
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
    PyObject* entry_get_cached_machine_id;
    PyObject* entry_save_machine_id;
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
};

Constants C;

// The initialised module, its namespace (the globals of every function here)
// and the builtins module. The namespace and builtins references outlive a
// failed initialisation on purpose: a function object left behind by it still
// finds a namespace instead of a null pointer.
PyObject* g_module;
PyObject* g_namespace;
PyObject* g_builtins;
PyObject* g_open;
int64_t g_owner_interpreter = -1;

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
    {&Constants::entry_get_cached_machine_id, "tamsel.utils._machine_utils._get_cached_machine_id"},
    {&Constants::entry_save_machine_id, "tamsel.utils._machine_utils._save_machine_id"},
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

// The empty code object of the traceback entry `function` at `line`. It
// depends only on the two, so each one is made once and kept: the fallback
// path of get_machine_id() adds two entries on every call. `function` is one
// of the module's texts, which live as long as the process, so its address
// identifies it.
PyCodeObject* entry_code(PyObject* function, int line) {
    struct Entry {
        PyObject* function;
        int line;
        PyCodeObject* code;
    };
    static Entry made[64];  // more than the module has failure sites
    static size_t count;
    for (size_t i = 0; i < count; ++i) {
        if (made[i].function == function && made[i].line == line) {
            Py_INCREF(made[i].code);
            return made[i].code;
        }
    }
    PyCodeObject* code = tamsel::compat::new_raising_code(
        C.source_file, function, line, C.empty_tuple, 0, C.raising_bytecode, C.raising_line_table,
        C.empty_tuple, C.empty_bytes);
    if (code != nullptr && count < sizeof made / sizeof made[0]) {
        Py_INCREF(code);
        made[count++] = Entry{function, line, code};
    }
    return code;
}

// Adds the traceback entry `function` at `line` of this source file to the
// pending exception, the way the interpreter adds its own synthetic entries: a
// frame over an empty code object whose globals are the module's namespace.
// When the entry itself cannot be made, the original exception is kept
// unchanged rather than replaced by the failure to describe it.
void traceback_here(PyObject* function, int line) {
    if (!PyErr_Occurred()) {
        // A failure that said nothing: name it rather than describe nothing.
        PyErr_Format(PyExc_SystemError, "%U returned NULL without setting an exception", function);
    }
    PyObject* exception = tamsel::compat::take_raised();
    PyCodeObject* code = entry_code(function, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, g_namespace, nullptr);
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

#define FAIL(entry)                        \
    do {                                   \
        traceback_here((entry), __LINE__); \
        return nullptr;                    \
    } while (0)

// A builtin by name, as the interpreter resolves a name missing from globals.
PyObject* lookup_builtin(PyObject* name) {
    PyObject* value = PyObject_GetAttr(g_builtins, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

// A module-level name at the moment of use: the namespace, then builtins.
PyObject* lookup_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(g_namespace, name);
    if (value != nullptr) {
        return new_ref(value);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return lookup_builtin(name);
}

// `name.attr`, where name is module-level: `os.path`, `hashlib.sha256`.
PyObject* global_attr(PyObject* name, PyObject* attr) {
    Ref module = Ref::steal(lookup_global(name));
    if (!module) {
        return nullptr;
    }
    return PyObject_GetAttr(module.get(), attr);
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

// What the lookups of `os.path.<name>` found last time, with the versions of
// the three dicts they read: the namespace (`os`), the dict of the module `os`
// (`path`) and the dict of the module `os.path` (<name>). Only lookups that
// found both names and the function in those dicts are kept, and only when
// every key of the three dicts is an exact `str`: then a lookup of a name is a
// function of the dict's contents alone (no `__eq__` or `__getattr__` of
// Python code takes part), and every change of the contents changes the
// dict's version. So while the three versions are unchanged and both modules
// are still plain modules, the same lookups would find the same objects,
// which those dicts keep alive, and every use still sees what a lookup at
// that moment finds. The interpreter's own caches of global and module
// attribute loads work the same way.
struct OsPathLookup {
    PyObject* Constants::* name;  // the function's name
    PyObject* os;                // borrowed, held by the namespace
    PyObject* path;              // borrowed, held by the dict of `os`
    PyObject* function;          // borrowed, held by the dict of `os.path`; null: nothing kept
    PyObject* dicts[3];          // the namespace, os.__dict__, os.path.__dict__
    std::uint64_t versions[3];
};

// One per function call_os_path is used with.
OsPathLookup g_expanduser{&Constants::attr_expanduser, nullptr, nullptr, nullptr, {}, {}};
OsPathLookup g_join{&Constants::attr_join, nullptr, nullptr, nullptr, {}, {}};
OsPathLookup g_exists{&Constants::attr_exists, nullptr, nullptr, nullptr, {}, {}};

// Whether `l` still holds what the lookups would find now: the dicts are
// unchanged (each kept alive by the one before it: the namespace holds `os`,
// whose dict holds `os.path`) and both modules are still plain modules.
bool still_found(const OsPathLookup& l) {
    return l.function != nullptr && tamsel::compat::dicts_unchanged(l.dicts, l.versions) &&
           Py_TYPE(l.os) == &PyModule_Type && Py_TYPE(l.path) == &PyModule_Type;
}

// `module.name` for a plain module when the name is in its dict: the value
// found there, borrowed; otherwise nullptr, with an exception set only when
// the dict lookup failed. The type of plain modules is immutable and defines
// only dunder names, none of those looked up this way, so attribute access
// finds them in the dict first.
PyObject* plain_module_entry(PyObject* module, PyObject* name) {
    if (Py_TYPE(module) != &PyModule_Type) {
        return nullptr;
    }
    return PyDict_GetItemWithError(PyModule_GetDict(module), name);
}

// Whether every key of `dict` is an exact `str` (its lookups then run no code).
bool only_str_keys(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject* key;
    while (PyDict_Next(dict, &position, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

// Finds `os.path.<l.name>` as attribute access does and keeps it in `l` when
// the lookups went through the namespace and two plain modules' dicts, all
// with `str` keys only, and changed nothing on the way. Returns a new
// reference to the function, or nullptr with `*path_out` set to `os.path`
// (new reference) when `os.path` is not a plain module, or nullptr with an
// exception set.
PyObject* find_os_path_function(OsPathLookup& l, Ref* path_out) {
    using tamsel::compat::dict_version;
    using tamsel::compat::track_dict;
    l.function = nullptr;
    // Each dict is tracked before it is read, so that whatever a lookup runs
    // cannot change an earlier dict unseen.
    bool tracked = track_dict(g_namespace);
    const std::uint64_t namespace_version = dict_version(g_namespace);
    PyObject* os = PyDict_GetItemWithError(g_namespace, C.name_os);  // borrowed
    if (os == nullptr) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        Ref builtin = Ref::steal(lookup_builtin(C.name_os));
        if (builtin) {
            *path_out = Ref::steal(PyObject_GetAttr(builtin.get(), C.attr_path));
        }
        return nullptr;
    }
    Ref os_ref = Ref::borrow(os);
    const bool os_plain = Py_TYPE(os) == &PyModule_Type;
    tracked = tracked && os_plain && track_dict(PyModule_GetDict(os));
    const std::uint64_t os_version = os_plain ? dict_version(PyModule_GetDict(os)) : 0;
    PyObject* path = plain_module_entry(os, C.attr_path);  // borrowed
    if (path == nullptr && PyErr_Occurred()) {
        return nullptr;
    }
    // A `path` from the module's `__getattr__` (or any attribute machinery
    // beyond the dict) may differ at the next access: it is used, never kept.
    tracked = tracked && path != nullptr;
    Ref path_ref = path != nullptr ? Ref::borrow(path) : Ref::steal(PyObject_GetAttr(os, C.attr_path));
    if (!path_ref) {
        return nullptr;
    }
    path = path_ref.get();
    if (Py_TYPE(path) != &PyModule_Type) {
        *path_out = std::move(path_ref);
        return nullptr;
    }
    tracked = tracked && track_dict(PyModule_GetDict(path));
    const std::uint64_t path_version = dict_version(PyModule_GetDict(path));
    PyObject* const name = C.*(l.name);
    PyObject* function = plain_module_entry(path, name);  // borrowed
    if (function == nullptr) {
        return PyErr_Occurred() ? nullptr : PyObject_GetAttr(path, name);
    }
    if (tracked && dict_version(g_namespace) == namespace_version &&
        dict_version(PyModule_GetDict(os)) == os_version &&
        dict_version(PyModule_GetDict(path)) == path_version && only_str_keys(g_namespace) &&
        only_str_keys(PyModule_GetDict(os)) && only_str_keys(PyModule_GetDict(path))) {
        l = OsPathLookup{l.name,
                         os,
                         path,
                         function,
                         {g_namespace, PyModule_GetDict(os), PyModule_GetDict(path)},
                         {namespace_version, os_version, path_version}};
    }
    return new_ref(function);
}

// `os.path.<function>(*args)`, with `os`, `os.path` and the function looked
// up at each use; `l` is the function's lookup.
template <typename... Args>
PyObject* call_os_path(OsPathLookup& l, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    Ref callable;
    if (still_found(l)) {
        if (Py_IS_TYPE(l.function, &PyFunction_Type)) {
            // A Python function needs no reference of ours while it runs: the
            // interpreter takes what it uses from it (its code, globals and
            // builtins; from 3.11 the function itself) into the new frame
            // before running any of its code, and never reads it afterwards.
            return PyObject_Vectorcall(l.function, stack + 1,
                                       sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }
        callable = Ref::borrow(l.function);
    } else {
        Ref path;
        callable = Ref::steal(find_os_path_function(l, &path));
        if (!callable) {
            // `os.path` is not a plain module: a method call on it, as Python
            // code makes one.
            return path ? call_method(path.get(), C.*(l.name), args...) : nullptr;
        }
    }
    return PyObject_Vectorcall(callable.get(), stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
}

// `import <name>` inside a function of this module.
PyObject* import_module(PyObject* name) {
    return PyImport_ImportModuleLevelObject(name, g_namespace, nullptr, nullptr, 0);
}

// `bool(o)`: 1, 0 or -1, with no call for the two booleans.
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

// What `name` is on a type, as the type's attribute lookup (its MRO, not its
// metaclass) finds it, kept for the last type that was asked about when that
// type and every class on its MRO are immutable: then neither the MRO nor the
// dicts on it can change, and the entry keeps the type (so its address is
// never another type's) and the attribute alive. Files and texts, whose
// methods the module calls on every call, have such types.
//
// The lookup is _PyType_Lookup, private but in the headers of every version
// from 3.9 to 3.15 with the same meaning: no public function searches a
// type's MRO without also consulting its metaclass and binding what it finds,
// which is not what `with` and method calls do. (3.14 adds _PyType_LookupRef,
// which matters only without the GIL.)
class TypeAttribute {
public:
    explicit constexpr TypeAttribute(PyObject* Constants::* name) noexcept : name_(name) {}

    PyObject* name() const noexcept { return C.*name_; }

    // Whether `type` is the one the entry keeps.
    bool kept_for(PyTypeObject* type) const noexcept { return type == type_; }

    // The attribute on `type`, borrowed, or nullptr (no exception is set).
    PyObject* find(PyTypeObject* type) {
        if (type == type_) {
            return attribute_;
        }
        PyObject* attribute = _PyType_Lookup(type, name());  // borrowed
        if (attribute != nullptr && fixed(type)) {
            PyObject* old_type = reinterpret_cast<PyObject*>(type_);
            PyObject* old_attribute = attribute_;
            type_ = reinterpret_cast<PyTypeObject*>(new_ref(reinterpret_cast<PyObject*>(type)));
            attribute_ = new_ref(attribute);
            Py_XDECREF(old_attribute);  // last: a finaliser may run arbitrary code
            Py_XDECREF(old_type);
        }
        return attribute;
    }

private:
    static bool fixed(PyTypeObject* type) {
        PyObject* mro = type->tp_mro;
        if (mro == nullptr || !PyTuple_Check(mro)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            PyObject* base = PyTuple_GET_ITEM(mro, i);
            if (!PyType_Check(base) ||
                !tamsel::compat::is_immutable_type(reinterpret_cast<PyTypeObject*>(base))) {
                return false;
            }
        }
        return true;
    }

    PyObject* Constants::* name_;
    PyTypeObject* type_ = nullptr;  // strong
    PyObject* attribute_ = nullptr;  // strong
};

TypeAttribute g_enter{&Constants::attr_enter};
TypeAttribute g_exit{&Constants::attr_exit};
TypeAttribute g_read{&Constants::attr_read};
TypeAttribute g_strip{&Constants::attr_strip};

// `self.<method>(*args)`, as Python code calls a method. A method descriptor
// of a kept type is called directly, unless the object's own dict could hold
// a value of that name; anything else goes through the generic method call.
// (The descriptor needs no reference of its own: `self` keeps its type alive,
// and the type, being immutable, its attributes.)
template <typename... Args>
PyObject* call_method(TypeAttribute& method, PyObject* self, Args... args) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* descriptor = nullptr;
    if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset >= 0) {
        descriptor = method.find(type);
    }
    if (descriptor == nullptr || !method.kept_for(type) ||
        !PyType_HasFeature(Py_TYPE(descriptor), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
        (type->tp_dictoffset != 0 &&
         *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + type->tp_dictoffset) != nullptr)) {
        return call_method(self, method.name(), args...);
    }
    PyObject* stack[] = {self, args...};
    return PyObject_Vectorcall(descriptor, stack, 1 + sizeof...(Args), nullptr);
}

// A special method found on the type, as `with` finds `__enter__` and
// `__exit__`. A plain method descriptor is kept unbound and called with the
// object in front, which spares the bound-method object per call.
class SpecialMethod {
public:
    int lookup(PyObject* obj, TypeAttribute& special) {
        PyObject* attr = special.find(Py_TYPE(obj));  // borrowed
        if (attr == nullptr) {
            PyErr_SetObject(PyExc_AttributeError, special.name());
            return -1;
        }
        if (PyType_HasFeature(Py_TYPE(attr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            // Kept on an immutable type, it lives as long as `obj` does.
            function_ = special.kept_for(Py_TYPE(obj)) ? Ref() : Ref::borrow(attr);
            method_ = attr;
            self_ = obj;
            return 0;
        }
        descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
        if (get == nullptr) {
            function_ = Ref::borrow(attr);
        } else {
            function_ = Ref::steal(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
        }
        method_ = function_.get();
        self_ = nullptr;
        return function_ ? 0 : -1;
    }

    // Calls it with up to three arguments.
    PyObject* operator()(PyObject* const* args, Py_ssize_t nargs) const {
        PyObject* stack[5] = {nullptr, self_, nullptr, nullptr, nullptr};
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            stack[2 + i] = args[i];
        }
        if (self_ != nullptr) {
            return PyObject_Vectorcall(method_, stack + 1,
                                       static_cast<size_t>(nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       nullptr);
        }
        return PyObject_Vectorcall(method_, stack + 2,
                                   static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
    }

private:
    Ref function_;                // what keeps method_ alive, unless its type does
    PyObject* method_ = nullptr;  // what is called
    PyObject* self_ = nullptr;    // borrowed from the caller of lookup()
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
    Ref entered = Ref::steal(enter(nullptr, 0));
    if (!entered) {
        return kWithFailed;
    }
    if (body(entered.get()) == 0) {
        Ref result = Ref::steal(exit(&PyTuple_GET_ITEM(C.exit_no_exception, 0), 3));
        return result ? kWithCompleted : kWithFailed;
    }
    CatchAll handler;
    handler.handle();
    PyObject* exc_info[3] = {handler.type(), handler.value(), handler.traceback()};
    Ref result = Ref::steal(exit(exc_info, 3));
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

// `open(path, mode)` with the builtin taken at initialisation.
PyObject* open_file(PyObject* path, PyObject* mode) {
    return call(g_open, path, mode);
}

// The result list of a probe. When it cannot be made, one more empty list is
// tried; only when that fails too does the probe fail.
PyObject* new_result_list(PyObject* entry) {
    PyObject* list = PyList_New(0);
    if (list != nullptr) {
        return list;
    }
    CatchAll().absorb();
    list = PyList_New(0);
    if (list == nullptr) {
        FAIL(entry);
    }
    return list;
}

/* ------------------------------------------------------------------------ */
/* The identifier cache file                                                 */
/* ------------------------------------------------------------------------ */

// The file's text, stripped, or the empty text when there is none or it
// cannot be read. Never fails.
PyObject* get_cached_machine_id() {
    CatchAll region;
    PyObject* stored = nullptr;
    int status = [&stored]() -> int {
        Ref cache_dir = Ref::steal(call_os_path(g_expanduser, C.cache_dir));
        if (!cache_dir) {
            return -1;
        }
        Ref path = Ref::steal(call_os_path(g_join, cache_dir.get(), C.cache_file_name));
        if (!path) {
            return -1;
        }
        Ref exists = Ref::steal(call_os_path(g_exists, path.get()));
        if (!exists) {
            return -1;
        }
        int found = truth(exists.get());
        if (found <= 0) {
            return found;
        }
        Ref file = Ref::steal(open_file(path.get(), C.mode_read));
        if (!file) {
            return -1;
        }
        WithOutcome outcome = with_block(file.get(), [&stored](PyObject* f) -> int {
            Ref content = Ref::steal(call_method(g_read, f));
            if (!content) {
                return -1;
            }
            stored = call_method(g_strip, content.get());
            return stored ? 0 : -1;
        });
        return outcome == kWithFailed ? -1 : 0;
    }();
    if (status < 0) {
        Py_CLEAR(stored);
        region.absorb();
    }
    return stored != nullptr ? stored : new_ref(C.empty_text);
}

// Stores the identifier in the cache file; failures leave no trace and are
// not reported: the next call simply finds nothing stored.
void save_machine_id(PyObject* machine_id) {
    CatchAll region;
    int status = [machine_id]() -> int {
        Ref cache_dir = Ref::steal(call_os_path(g_expanduser, C.cache_dir));
        if (!cache_dir) {
            return -1;
        }
        Ref makedirs = Ref::steal(global_attr(C.name_os, C.attr_makedirs));
        if (!makedirs) {
            return -1;
        }
        PyObject* args[] = {cache_dir.get(), Py_True};
        Ref made = Ref::steal(PyObject_Vectorcall(makedirs.get(), args, 1, C.makedirs_kwnames));
        if (!made) {
            return -1;
        }
        Ref path = Ref::steal(call_os_path(g_join, cache_dir.get(), C.cache_file_name));
        if (!path) {
            return -1;
        }
        Ref file = Ref::steal(open_file(path.get(), C.mode_write));
        if (!file) {
            return -1;
        }
        WithOutcome outcome = with_block(file.get(), [machine_id](PyObject* f) -> int {
            Ref written = Ref::steal(call_method(f, C.attr_write, machine_id));
            return written ? 0 : -1;
        });
        return outcome == kWithFailed ? -1 : 0;
    }();
    if (status < 0) {
        region.absorb();
    }
}

/* ------------------------------------------------------------------------ */
/* Hardware probes                                                           */
/* ------------------------------------------------------------------------ */

// Windows: the serial number of volume C: and every BIOS serial number.
int append_volume_serial(PyObject* info, PyObject* win32api) {
    Ref volume = Ref::steal(call_method(win32api, C.attr_get_volume_information, C.volume_c_root));
    if (!volume) {
        return -1;
    }
    Ref serial = Ref::steal(PyObject_GetItem(volume.get(), C.one));
    if (!serial) {
        return -1;
    }
    Ref piece = Ref::steal(PyObject_Str(serial.get()));
    if (!piece) {
        return -1;
    }
    return PyList_Append(info, piece.get());
}

int append_bios_serials(PyObject* info) {
    Ref wmi = Ref::steal(import_module(C.module_wmi));
    if (!wmi) {
        return -1;
    }
    Ref connection = Ref::steal(call_method(wmi.get(), C.attr_wmi_connect));
    if (!connection) {
        return -1;
    }
    Ref bioses = Ref::steal(call_method(connection.get(), C.attr_win32_bios));
    if (!bioses) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(bioses.get()));
    if (!iterator) {
        return -1;
    }
    while (Ref bios = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref serial = Ref::steal(PyObject_GetAttr(bios.get(), C.attr_serial_number));
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

PyObject* get_windows_info() {
    CatchAll outer;
    Ref info = [] {
        Ref win32api = Ref::steal(import_module(C.module_win32api));
        if (!win32api) {
            return Ref();
        }
        Ref win32security = Ref::steal(import_module(C.module_win32security));
        if (!win32security) {
            return Ref();
        }
        Ref list = Ref::steal(PyList_New(0));
        if (!list) {
            return Ref();
        }
        {
            CatchAll volume_region;
            if (append_volume_serial(list.get(), win32api.get()) < 0) {
                volume_region.absorb();
            }
        }
        {
            CatchAll bios_region;
            if (append_bios_serials(list.get()) < 0) {
                bios_region.absorb();
            }
        }
        return list;
    }();
    if (info) {
        return info.release();
    }
    outer.absorb();
    PyObject* empty = PyList_New(0);
    if (empty == nullptr) {
        FAIL(C.entry_get_windows_info);
    }
    return empty;
}

// macOS: the hardware UUID and serial number lines of system_profiler.
int collect_profiler_pieces(PyObject* info) {
    Ref subprocess = Ref::steal(import_module(C.module_subprocess));
    if (!subprocess) {
        return -1;
    }
    Ref run = Ref::steal(PyObject_GetAttr(subprocess.get(), C.attr_run));
    if (!run) {
        return -1;
    }
    Ref argv = Ref::steal(PyList_New(2));
    if (!argv) {
        return -1;
    }
    PyList_SET_ITEM(argv.get(), 0, new_ref(C.profiler_program));
    PyList_SET_ITEM(argv.get(), 1, new_ref(C.profiler_data_type));
    PyObject* args[] = {argv.get(), Py_True, Py_True};
    Ref result = Ref::steal(PyObject_Vectorcall(run.get(), args, 1, C.run_kwnames));
    if (!result) {
        return -1;
    }
    Ref stdout_text = Ref::steal(PyObject_GetAttr(result.get(), C.attr_stdout));
    if (!stdout_text) {
        return -1;
    }
    Ref lines = Ref::steal(call_method(stdout_text.get(), C.attr_split, C.line_feed));
    if (!lines) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(lines.get()));
    if (!iterator) {
        return -1;
    }
    while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
        int matches = PySequence_Contains(line.get(), C.label_hardware_uuid);
        if (matches == 0) {
            matches = PySequence_Contains(line.get(), C.label_serial_number);
        }
        if (matches < 0) {
            return -1;
        }
        if (matches == 0) {
            continue;
        }
        Ref fields = Ref::steal(call_method(line.get(), C.attr_split, C.colon));
        if (!fields) {
            return -1;
        }
        Ref field = Ref::steal(PyObject_GetItem(fields.get(), C.one));
        if (!field) {
            return -1;
        }
        Ref piece = Ref::steal(call_method(g_strip, field.get()));
        if (!piece || PyList_Append(info, piece.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* get_macos_info() {
    Ref info = Ref::steal(new_result_list(C.entry_get_macos_info));
    if (!info) {
        return nullptr;
    }
    CatchAll region;
    if (collect_profiler_pieces(info.get()) < 0) {
        region.absorb();
    }
    return info.release();
}

// Linux: one source file of a group; a text that passes the group's test is
// appended. Returns 0, or -1 with the exception set.
int append_file_text(PyObject* info, PyObject* path, bool skip_placeholder) {
    Ref exists = Ref::steal(call_os_path(g_exists, path));
    if (!exists) {
        return -1;
    }
    int found = truth(exists.get());
    if (found <= 0) {
        return found;
    }
    Ref file = Ref::steal(open_file(path, C.mode_read));
    if (!file) {
        return -1;
    }
    WithOutcome outcome = with_block(file.get(), [info, skip_placeholder](PyObject* f) -> int {
        Ref content = Ref::steal(call_method(g_read, f));
        if (!content) {
            return -1;
        }
        Ref value = Ref::steal(call_method(g_strip, content.get()));
        if (!value) {
            return -1;
        }
        int keep = truth(value.get());
        if (keep > 0 && skip_placeholder) {
            keep = compare(value.get(), C.dmi_placeholder, Py_NE);
        }
        if (keep <= 0) {
            return keep;
        }
        return PyList_Append(info, value.get());
    });
    return outcome == kWithFailed ? -1 : 0;
}

PyObject* get_linux_info() {
    Ref info = Ref::steal(new_result_list(C.entry_get_linux_info));
    if (!info) {
        return nullptr;
    }
    // Every machine-id file is tried, whatever happened to the one before.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(C.machine_id_paths); ++i) {
        CatchAll region;
        if (append_file_text(info.get(), PyTuple_GET_ITEM(C.machine_id_paths, i), false) < 0) {
            region.absorb();
        }
    }
    // A failing firmware file ends the firmware group.
    CatchAll region;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(C.dmi_paths); ++i) {
        if (append_file_text(info.get(), PyTuple_GET_ITEM(C.dmi_paths, i), true) < 0) {
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
PyObject* node_piece() {
    Ref uuid = Ref::steal(lookup_global(C.name_uuid));
    if (!uuid) {
        return nullptr;
    }
    Ref node = Ref::steal(call_method(uuid.get(), C.attr_getnode));
    return node ? PyObject_Str(node.get()) : nullptr;
}

// The node piece first, then the items of the one probe the system selects.
PyObject* get_stable_system_info() {
    PyObject* const entry = C.entry_get_stable_system_info;
    Ref info = Ref::steal(PyList_New(0));
    if (!info) {
        FAIL(entry);
    }
    Ref node = Ref::steal(node_piece());
    if (!node) {
        FAIL(entry);
    }
    if (PyList_Append(info.get(), node.get()) < 0) {
        FAIL(entry);
    }
    // platform.system() is asked again for the second test, not remembered.
    auto system_is = [](PyObject* name) -> int {
        Ref platform = Ref::steal(lookup_global(C.name_platform));
        if (!platform) {
            return -1;
        }
        Ref system = Ref::steal(call_method(platform.get(), C.attr_system));
        return system ? compare(system.get(), name, Py_EQ) : -1;
    };
    Ref pieces;
    int windows = system_is(C.system_windows);
    if (windows < 0) {
        FAIL(entry);
    }
    if (windows) {
        pieces = Ref::steal(get_windows_info());
    } else {
        int darwin = system_is(C.system_darwin);
        if (darwin < 0) {
            FAIL(entry);
        }
        pieces = Ref::steal(darwin ? get_macos_info() : get_linux_info());
    }
    if (!pieces) {
        FAIL(entry);
    }
    if (PyList_SetSlice(info.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, pieces.get()) < 0) {
        FAIL(entry);
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
    return call_method(hash.get(), C.attr_hexdigest);
}

PyObject* get_machine_id() {
    PyObject* const entry = C.entry_get_machine_id;
    Ref cached_id = Ref::steal(get_cached_machine_id());
    if (!cached_id) {
        FAIL(entry);
    }
    int stored = truth(cached_id.get());
    if (stored < 0) {
        FAIL(entry);
    }
    if (stored) {
        return cached_id.release();
    }

    CatchAll handler;
    int failed_at = 0;
    auto failure_at = [&failed_at](int line) -> PyObject* {
        failed_at = line;
        return nullptr;
    };
    Ref machine_id = Ref::steal([&failure_at]() -> PyObject* {
        Ref system_info = Ref::steal(get_stable_system_info());
        if (!system_info) {
            return failure_at(__LINE__);
        }
        Ref sha256 = Ref::steal(global_attr(C.name_hashlib, C.attr_sha256));
        if (!sha256) {
            return failure_at(__LINE__);
        }
        Ref joined = Ref::steal(PyUnicode_Join(C.empty_text, system_info.get()));
        if (!joined) {
            return failure_at(__LINE__);
        }
        PyObject* digest = hexdigest_of(sha256.get(), joined.get());
        if (digest == nullptr) {
            return failure_at(__LINE__);
        }
        save_machine_id(digest);
        return digest;
    }());
    if (machine_id) {
        return machine_id.release();
    }

    // Like an `except:` clause: the failure is discarded, but while the
    // fallback runs it is the exception being handled, so anything raised
    // now names it as its context.
    traceback_here(entry, failed_at);
    handler.handle();
    Ref sha256 = Ref::steal(global_attr(C.name_hashlib, C.attr_sha256));
    if (!sha256) {
        FAIL(entry);
    }
    Ref node = Ref::steal(node_piece());
    if (!node) {
        FAIL(entry);
    }
    Ref fallback_id = Ref::steal(hexdigest_of(sha256.get(), node.get()));
    if (!fallback_id) {
        FAIL(entry);
    }
    save_machine_id(fallback_id.get());
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
    PyObject* (*implementation)();
    const char* c_name;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* code;
    PyObject* globals;
    PyObject* annotations;
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
    const tamsel::StackReserve::Where stack = tamsel::StackReserve::enter();
    if (stack == tamsel::StackReserve::kRefused) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
    PyThreadState* thread = tamsel::compat::enter_recursive_call();
    PyObject* result = nullptr;
    if (thread != nullptr) {
        result = f->implementation();
        tamsel::compat::leave_recursive_call(thread);
    }
    tamsel::StackReserve::leave(stack);
    return result;
}

int native_function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    return 0;
}

int native_function_clear(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
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

// The type, made by the first initialisation that gets that far and kept.
PyTypeObject* g_function_type;

PyObject* new_native_function(PyObject* annotations) {
    if (g_function_type == nullptr) {
        g_function_type = reinterpret_cast<PyTypeObject*>(
            tamsel::compat::new_uninstantiable_type(&native_function_spec));
        if (g_function_type == nullptr) {
            // Out of memory, PyType_FromSpec of 3.12 and 3.13 can fail
            // without saying why; report it as the interpreter reports a
            // function that does so.
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError,
                                "PyType_FromSpec returned NULL without setting an exception");
            }
            return nullptr;
        }
    }
    NativeFunction* f = PyObject_GC_New(NativeFunction, g_function_type);
    if (f == nullptr) {
        return nullptr;
    }
    f->vectorcall = native_function_vectorcall;
    f->implementation = get_machine_id;
    f->c_name = kFunctionName;
    f->name = new_ref(C.name_get_machine_id);
    f->qualname = new_ref(C.name_get_machine_id);
    f->doc = new_ref(C.doc);
    f->code = new_ref(C.code);
    f->globals = new_ref(g_namespace);
    f->annotations = new_ref(annotations);
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

/* ------------------------------------------------------------------------ */
/* Initialisation                                                            */
/* ------------------------------------------------------------------------ */

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

// Builds whatever texts are still missing; a retried initialisation keeps
// those an earlier attempt made.
int create_texts() {
    if (C.empty_tuple == nullptr && (C.empty_tuple = PyTuple_New(0)) == nullptr) {
        return -1;
    }
    if (C.empty_bytes == nullptr && (C.empty_bytes = PyBytes_FromStringAndSize("", 0)) == nullptr) {
        return -1;
    }
    if (C.raising_bytecode == nullptr &&
        (C.raising_bytecode = tamsel::compat::new_raising_bytecode()) == nullptr) {
        return -1;
    }
    if (C.raising_line_table == nullptr &&
        (C.raising_line_table = tamsel::compat::new_raising_line_table()) == nullptr) {
        return -1;
    }
    if (C.empty_text == nullptr && (C.empty_text = PyUnicode_FromStringAndSize("", 0)) == nullptr) {
        return -1;
    }
    for (const TextConstant& t : kTexts) {
        PyObject*& slot = C.*(t.slot);
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

int create_tuples_and_code() {
    if (C.one == nullptr && (C.one = PyLong_FromLong(1)) == nullptr) {
        return -1;
    }
    if (C.machine_id_paths == nullptr) {
        Ref first = Ref::steal(PyUnicode_InternFromString("/etc/machine-id"));
        Ref second = Ref::steal(PyUnicode_InternFromString("/var/lib/dbus/machine-id"));
        if (!first || !second || (C.machine_id_paths = tuple_of(first.get(), second.get())) == nullptr) {
            return -1;
        }
    }
    if (C.dmi_paths == nullptr) {
        Ref first = Ref::steal(PyUnicode_InternFromString("/sys/class/dmi/id/product_uuid"));
        Ref second = Ref::steal(PyUnicode_InternFromString("/sys/class/dmi/id/board_serial"));
        if (!first || !second || (C.dmi_paths = tuple_of(first.get(), second.get())) == nullptr) {
            return -1;
        }
    }
    if (C.exit_no_exception == nullptr &&
        (C.exit_no_exception = tuple_of(Py_None, Py_None, Py_None)) == nullptr) {
        return -1;
    }
    if (C.makedirs_kwnames == nullptr && (C.makedirs_kwnames = tuple_of(C.attr_exist_ok)) == nullptr) {
        return -1;
    }
    if (C.run_kwnames == nullptr &&
        (C.run_kwnames = tuple_of(C.attr_capture_output, C.attr_text)) == nullptr) {
        return -1;
    }
    if (C.local_names == nullptr &&
        (C.local_names = tuple_of(C.local_cached_id, C.local_system_info, C.local_machine_id,
                                  C.local_fallback_id)) == nullptr) {
        return -1;
    }
    if (C.code == nullptr) {
        constexpr int kFirstLine = 10;
        C.code = reinterpret_cast<PyObject*>(tamsel::compat::new_raising_code(
            C.source_file, C.name_get_machine_id, kFirstLine, C.local_names,
            CO_OPTIMIZED | CO_NEWLOCALS, C.raising_bytecode, C.raising_line_table, C.empty_tuple,
            C.empty_bytes));
        if (C.code == nullptr) {
            return -1;
        }
    }
    return 0;
}

// Binds `import <name>` in the namespace.
int import_into_namespace(PyObject* name) {
    Ref module = Ref::steal(import_module(name));
    return module ? PyDict_SetItem(g_namespace, name, module.get()) : -1;
}

// Steps of the exec slot after the module is stored. On failure, `*line`
// says which traceback line the step carries (0: none).
int initialise(PyObject* module, int* line) {
    *line = 0;
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) {
        return -1;
    }
    Py_INCREF(builtins);
    Py_XSETREF(g_builtins, builtins);
    if (PyObject_SetAttrString(module, "__builtins__", g_builtins) < 0) {
        return -1;
    }
    if (check_runtime_version() < 0 || create_texts() < 0) {
        return -1;
    }

    *line = 1;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (PyDict_SetDefault(modules, C.qualified_name, module) == nullptr) {
        return -1;
    }
    PyObject* open = lookup_builtin(C.name_open);
    if (open == nullptr) {
        return -1;
    }
    Py_XSETREF(g_open, open);
    if (create_tuples_and_code() < 0) {
        return -1;
    }
    tamsel::compat::start_tracking_dicts();

    const struct {
        PyObject* name;
        int line;
    } imports[] = {{C.name_hashlib, 4}, {C.name_platform, 5}, {C.name_uuid, 6}, {C.name_os, 7}};
    for (const auto& import : imports) {
        *line = import.line;
        if (import_into_namespace(import.name) < 0) {
            return -1;
        }
    }

    *line = 10;
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations ||
        PyDict_SetItem(annotations.get(), C.annotation_return, C.annotation_str) < 0) {
        return -1;
    }
    Ref function = Ref::steal(new_native_function(annotations.get()));
    if (!function || PyDict_SetItem(g_namespace, C.name_get_machine_id, function.get()) < 0) {
        return -1;
    }

    *line = 1;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(g_namespace, C.name_test, test.get()) < 0) {
        return -1;
    }
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Module slots and entry point                                              */
/* ------------------------------------------------------------------------ */

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return nullptr;  // the query's own error is pending
    }
    if (g_owner_interpreter == -1) {
        g_owner_interpreter = interpreter;
    } else if (interpreter != g_owner_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) {
        // The interpreter gives a module made by this slot a fresh, empty
        // state pointer, and the exec that follows allocates a new (zero-size)
        // state block, without freeing the one the first exec allocated.
        // Releasing it here keeps re-imports from leaking a block each.
        PyMem_Free(PyModule_GetState(g_module));
        return new_ref(g_module);
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
    if (g_module != nullptr) {
        if (g_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_machine_utils' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    g_module = new_ref(module);
    Py_XSETREF(g_namespace, new_ref(PyModule_GetDict(module)));

    int line = 0;
    if (initialise(module, &line) == 0) {
        return 0;
    }
    if (line != 0) {
        traceback_here(C.entry_init, line);
    }
    Py_CLEAR(g_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    TAMSEL_COMPAT_MODULE_SLOTS
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
