// Small generic helpers for the hand-written extension in _machine_utils.cpp:
// an owning reference handle, the catch-all scope, the runtime version reader
// and the C stack check. Nothing here knows about machine identifiers.
#ifndef TAMSEL_MACHINE_UTILS_H
#define TAMSEL_MACHINE_UTILS_H

#include "_machine_utils_compat.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

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
        drop_caught();
    }

    void absorb() noexcept { PyErr_Clear(); }

    void handle() noexcept {
        if (!handling_) {
            slot_ = compat::HandledSlot::of_this_thread();
            saved_ = slot_.save();
            handling_ = true;
        }
        drop_caught();
        caught_ = compat::take_raised();
        if (caught_ != nullptr) {
            traceback_ = PyException_GetTraceback(caught_);
            slot_.handle(caught_);
        }
    }

    void reraise() noexcept {
        slot_.restore(saved_);
        Py_CLEAR(traceback_);
        compat::set_raised(caught_);
        caught_ = nullptr;
    }

    // The exception being handled, as `__exit__` receives it (never NULL).
    PyObject* type() const noexcept {
        return caught_ ? reinterpret_cast<PyObject*>(Py_TYPE(caught_)) : Py_None;
    }
    PyObject* value() const noexcept { return caught_ ? caught_ : Py_None; }
    PyObject* traceback() const noexcept { return traceback_ ? traceback_ : Py_None; }

private:
    void drop_caught() noexcept {
        Py_CLEAR(caught_);
        Py_CLEAR(traceback_);
    }

    bool handling_ = false;
    compat::HandledSlot slot_;
    compat::HandledSlot::Saved saved_{};
    PyObject* caught_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Whether the calling thread's C stack has room for one more nesting level
// of the module's function. The recursion limit bounds how deeply the
// function can nest, but it is a count that a program may raise beyond what
// the C stack holds (from 3.12 a Python frame takes no C stack, so large
// limits are safe for Python code and not for the C frames of this module).
// Below that, this check keeps a reserve of the stack free for the
// interpreter to raise and handle the error.
//
// Each thread measures its own stack, once, and keeps the bounds in
// thread-specific data: a thread never sees the bounds of another, not even
// of a dead thread whose stack memory it now uses. A frame outside the
// thread's own stack (a stack switched to with swapcontext, as coroutine
// libraries do, or a thread whose bounds cannot be read) is on a stack of
// unknown size: there the check is made afresh at every call, and nesting is
// limited to kForeignBudget bytes below the outermost such call of the
// thread, which any stack a coroutine library makes can hold.
//
//   enter() says where the call runs, or kRefused; a call that was not
//   refused ends with leave(where).
class StackReserve {
public:
    enum Where { kRefused,
                 kOwnStack,
                 kForeignStack };

    static Where enter() noexcept {
        const std::uintptr_t address = here();
        Bounds& own = bounds();
        if (address > own.low && address <= own.high) {
            return address - own.low >= own.reserve ? kOwnStack : kRefused;
        }
        return enter_elsewhere(address, own);
    }

    static void leave(Where where) noexcept {
        if (where == kForeignStack) {
            --bounds().foreign_depth;
        }
    }

private:
    struct Bounds {
        std::uintptr_t low;   // low == high == 0: not measured yet
        std::uintptr_t high;
        std::uintptr_t reserve;
        std::uintptr_t foreign_top;  // the outermost call on a foreign stack
        unsigned foreign_depth;      // calls on foreign stacks still running
    };

#if defined(_MSC_VER)
    __declspec(noinline) static std::uintptr_t here() noexcept {
        volatile char marker = 0;
        return reinterpret_cast<std::uintptr_t>(&marker);
    }
#else
    static std::uintptr_t here() noexcept {
        return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    }
#endif

    // Out of line: it runs once per thread (and at every call on a foreign
    // stack), and kept apart it leaves the common check a few instructions.
#if defined(_MSC_VER)
    __declspec(noinline)
#else
    __attribute__((noinline, cold))
#endif
    static Where enter_elsewhere(std::uintptr_t address, Bounds& b) noexcept {
        std::uintptr_t low = 0, high = 0;
        if (measure(&low, &high) && address > low && address <= high) {
            // An eighth of the stack, at least 16 KiB and at most 256 KiB:
            // room for raising, unwinding and the handlers of the frames above.
            const std::uintptr_t eighth = (high - low) / 8;
            const std::uintptr_t reserve = eighth < kMinReserve   ? kMinReserve
                                           : eighth > kMaxReserve ? kMaxReserve
                                                                  : eighth;
            if (&b != &unkept_) {
                b.low = low;
                b.high = high;
                b.reserve = reserve;
            }
            return address - low >= reserve ? kOwnStack : kRefused;
        }
        if (b.foreign_depth == 0 || address > b.foreign_top) {
            // The outermost call on this stack, or one on another stack above
            // it: the budget counts from here.
            if (b.foreign_depth == 0) {
                b.foreign_top = address;
            }
        } else if (b.foreign_top - address >= kForeignBudget) {
            return kRefused;
        }
        ++b.foreign_depth;
        return kForeignStack;
    }

    // The calling thread's stack, [*low, *high); false when it cannot be read.
    static bool measure(std::uintptr_t* low, std::uintptr_t* high) noexcept {
#if defined(_WIN32)
        ULONG_PTR lowest = 0, highest = 0;
        GetCurrentThreadStackLimits(&lowest, &highest);
        *low = lowest;
        *high = highest;
#elif defined(__APPLE__)
        pthread_t self = pthread_self();
        *high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
        *low = *high - pthread_get_stacksize_np(self);
#elif defined(__linux__)
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
            return false;
        }
        void* base = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
            *low = reinterpret_cast<std::uintptr_t>(base);
            *high = *low + size;
        }
        pthread_attr_destroy(&attributes);
#endif
        return *low != 0 && *high > *low;
    }

    static constexpr std::uintptr_t kMinReserve = 16 * 1024;
    static constexpr std::uintptr_t kMaxReserve = 256 * 1024;
    static constexpr std::uintptr_t kForeignBudget = 64 * 1024;
    // The calling thread's bounds. They live in thread-specific data (a
    // pthread key, whose destructor frees them when the thread ends) rather
    // than in a C++ thread_local: dynamic TLS in a module loaded with dlopen
    // makes the LeakSanitizer of GCC 12 crash while it scans the threads at
    // exit. When no block can be had for a thread, `unkept_` stands in: it
    // never keeps bounds, so that thread is measured at every call.
#if defined(__linux__) || defined(__APPLE__)
    static Bounds& bounds() noexcept {
        void* own = keyed_ ? pthread_getspecific(key_) : nullptr;
        return own != nullptr ? *static_cast<Bounds*>(own) : new_bounds();
    }

    __attribute__((noinline, cold)) static Bounds& new_bounds() noexcept {
        if (!keyed_) {  // the GIL serialises the first callers
            if (pthread_key_create(&key_, std::free) != 0) {
                return unkept_;
            }
            keyed_ = true;
        }
        void* own = std::calloc(1, sizeof(Bounds));
        if (own == nullptr || pthread_setspecific(key_, own) != 0) {
            std::free(own);
            return unkept_;
        }
        return *static_cast<Bounds*>(own);
    }

    static inline pthread_key_t key_{};
    static inline bool keyed_ = false;
#else
    static Bounds& bounds() noexcept {
        static thread_local Bounds own{};
        return own;
    }
#endif
    static inline Bounds unkept_{};  // the GIL serialises its users
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
