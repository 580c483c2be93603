/* The benchmark's marker: every measured call, and nothing else, runs inside
 * tamsel_bench_marker(), so that callgrind can count exactly those
 * instructions (--toggle-collect). It is compiled by bench/run.py for the
 * interpreter under test, which need not carry symbols of its own (Debian's
 * interpreters are stripped). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

__attribute__((noinline, visibility("default"))) PyObject* tamsel_bench_marker(PyObject* f) {
    return PyObject_CallNoArgs(f);
}

/* call(f): f() through the marker. */
static PyObject* call(PyObject* self, PyObject* f) {
    (void)self;
    return tamsel_bench_marker(f);
}

static PyMethodDef methods[] = {{"call", call, METH_O, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_marker", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__marker(void) {
    PyObject* m = PyModule_Create(&module);
#ifdef Py_GIL_DISABLED
    /* Importing it must not turn the GIL on in a free-threaded build. */
    if (m != NULL && PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(m);
        return NULL;
    }
#endif
    return m;
}
