// Small generic helpers for the hand-written extension in _machine_utils.cpp:
// an owning reference handle, the catch-all scope, and the runtime version
// reader. Nothing here knows about machine identifiers.
#ifndef TAMSEL_MACHINE_UTILS_H
#define TAMSEL_MACHINE_UTILS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <climits>

namespace tamsel {

inline PyObject* new_ref(PyObject* o) noexcept {
    Py_INCREF(o);
    return o;
}

// An owned reference. Where one is made, the code says whether it takes over
// a new reference (steal) or adds one to a borrowed reference (borrow).
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);  // last: a finaliser may run arbitrary code
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// The scope of one catch-all region, the native counterpart of
// `try: ... except BaseException: ...`.
//
// On entry it remembers the thread's own handled-exception slot (the one
// `sys.exc_info()` reads first), and on exit it puts that slot back exactly,
// whatever happened in between. It remembers the slot itself rather than the
// topmost handled exception: inside a generator those differ, and writing the
// topmost one back into the generator's slot would leak the outer exception
// into it.
//
//   absorb()  discards the pending exception and leaves no trace of it.
//   handle()  takes the pending exception and makes it the handled one, as an
//             `except` block does, so that anything raised while handling gets
//             it as its context.
//   reraise() raises the handled exception again and ends the handling.
class CatchAll {
public:
    CatchAll() noexcept : slot_(PyThreadState_Get()->exc_info) {
        saved_type_ = slot_->exc_type;
        saved_value_ = slot_->exc_value;
        saved_tb_ = slot_->exc_traceback;
        Py_XINCREF(saved_type_);
        Py_XINCREF(saved_value_);
        Py_XINCREF(saved_tb_);
    }
    CatchAll(const CatchAll&) = delete;
    CatchAll& operator=(const CatchAll&) = delete;
    ~CatchAll() {
        restore_slot();
        Py_XDECREF(saved_type_);
        Py_XDECREF(saved_value_);
        Py_XDECREF(saved_tb_);
        drop_caught();
    }

    void absorb() noexcept {
        PyErr_Clear();
        restore_slot();
    }

    void handle() noexcept {
        drop_caught();
        PyErr_Fetch(&type_, &value_, &tb_);
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ != nullptr && value_ != nullptr && PyExceptionInstance_Check(value_)) {
            PyException_SetTraceback(value_, tb_);
        }
        set_slot(type_, value_, tb_);
    }

    void reraise() noexcept {
        restore_slot();
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }

    // The exception being handled, as `__exit__` receives it (never NULL).
    PyObject* type() const noexcept { return type_ ? type_ : Py_None; }
    PyObject* value() const noexcept { return value_ ? value_ : Py_None; }
    PyObject* traceback() const noexcept { return tb_ ? tb_ : Py_None; }

private:
    void restore_slot() noexcept {
        if (slot_->exc_type != saved_type_ || slot_->exc_value != saved_value_ ||
            slot_->exc_traceback != saved_tb_) {
            set_slot(saved_type_, saved_value_, saved_tb_);
        }
    }
    void set_slot(PyObject* type, PyObject* value, PyObject* tb) noexcept {
        PyObject* old_type = slot_->exc_type;
        PyObject* old_value = slot_->exc_value;
        PyObject* old_tb = slot_->exc_traceback;
        Py_XINCREF(type);
        Py_XINCREF(value);
        Py_XINCREF(tb);
        slot_->exc_type = type;
        slot_->exc_value = value;
        slot_->exc_traceback = tb;
        Py_XDECREF(old_type);
        Py_XDECREF(old_value);
        Py_XDECREF(old_tb);
    }
    void drop_caught() noexcept {
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(tb_);
    }

    _PyErr_StackItem* slot_;
    PyObject* saved_type_;
    PyObject* saved_value_;
    PyObject* saved_tb_;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

struct MajorMinor {
    int major;
    int minor;
};

// Reads "major.minor" from the front of a version text such as
// "3.9.18 (main, ...)": runs of digits separated by single dots, an empty run
// counting as 0, stopping at the first number not followed by a dot. Numbers
// too large for an int saturate instead of overflowing.
inline MajorMinor read_major_minor(const char* text) noexcept {
    int numbers[2] = {0, 0};
    const char* p = text;
    for (int i = 0; i < 2; ++i) {
        long value = 0;
        while (*p >= '0' && *p <= '9') {
            if (value <= INT_MAX) {
                value = value * 10 + (*p - '0');
            }
            ++p;
        }
        numbers[i] = value > INT_MAX ? INT_MAX : static_cast<int>(value);
        if (*p != '.') {
            break;
        }
        ++p;
    }
    return MajorMinor{numbers[0], numbers[1]};
}

}  // namespace tamsel

#endif  // TAMSEL_MACHINE_UTILS_H
