/* Starts the interpreter three times in one process, running argv[1] each time. */
#include <Python.h>
int main(int argc, char** argv) {
    (void)argc;
    for (int round = 0; round < 3; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) return 10 + round;
        if (Py_FinalizeEx() < 0) return 20 + round;
    }
    return 0;
}
