// Small generic helpers for the hand-written extension in _machine_utils.cpp:
// an owning reference handle, the catch-all scope and the runtime version
// reader. Nothing here knows about machine identifiers.
#ifndef TAMSEL_MACHINE_UTILS_H
#define TAMSEL_MACHINE_UTILS_H

#include "_machine_utils_compat.h"

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
// Like the interpreter's own handler, it reads the thread's handled-exception
// slot (the one `sys.exc_info()` reads first) only when it starts handling an
// exception, and puts that slot back when the handling ends, whatever happened
// in between; a region that completes, or only discards its exception,
// touches no slot at all. It works on the thread's own slot rather than the
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
    CatchAll() noexcept = default;
    CatchAll(const CatchAll&) = delete;
    CatchAll& operator=(const CatchAll&) = delete;
    ~CatchAll() {
        if (handling_) {
            slot_.restore(saved_);
            compat::HandledSlot::release(saved_);
        }
    }

    void absorb() noexcept { PyErr_Clear(); }

    void handle() noexcept {
        if (!handling_) {
            slot_ = compat::HandledSlot::of_this_thread();
            saved_ = slot_.save();
            handling_ = true;
        }
        traceback_ = Ref();
        caught_ = Ref::steal(compat::take_raised());
        if (caught_) {
            traceback_ = Ref::steal(PyException_GetTraceback(caught_.get()));
            slot_.handle(caught_.get());
        }
    }

    void reraise() noexcept {
        slot_.restore(saved_);
        traceback_ = Ref();
        compat::set_raised(caught_.release());
    }

    // The exception being handled, as `__exit__` receives it (never NULL).
    PyObject* type() const noexcept {
        return caught_ ? reinterpret_cast<PyObject*>(Py_TYPE(caught_.get())) : Py_None;
    }
    PyObject* value() const noexcept { return caught_ ? caught_.get() : Py_None; }
    PyObject* traceback() const noexcept { return traceback_ ? traceback_.get() : Py_None; }

private:
    bool handling_ = false;
    compat::HandledSlot slot_;
    compat::HandledSlot::Saved saved_{};
    Ref caught_;
    Ref traceback_;
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
