/* pyconfig.h for macOS (arm64 and x86_64), for scripts/cross_compile.py only.
 * Made by scripts/cross/macos_pyconfig.py from the pyconfig.h of Debian's libpython3.14-dev 3.14.10-1 (sid), x86_64:
 * the macros that compiling an extension reads, with the values of macOS;
 * Include/pymacconfig.h then sets those that differ between architectures.
 */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H
#define ALIGNOF_LONG 8
/* ALIGNOF_MAX_ALIGN_T: max_align_t is a long double, so 8 on arm64 */
#if defined(__x86_64__)
#define ALIGNOF_MAX_ALIGN_T 16
#else
#define ALIGNOF_MAX_ALIGN_T 8
#endif
#define ALIGNOF_SIZE_T 8
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_FORK 1
#define HAVE_GCC_ASM_FOR_X64 1
#define HAVE_GCC_ASM_FOR_X87 1
#define HAVE_LANGINFO_H 1
#define HAVE_PTHREAD_H 1
#define HAVE_SSIZE_T 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_WCHAR_H 1
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
/* SIZEOF_FPOS_T: fpos_t is an off_t, not a struct as in glibc */
#define SIZEOF_FPOS_T 8
#define SIZEOF_INT 4
#define SIZEOF_LONG 8
/* SIZEOF_LONG_DOUBLE: long double is a double on arm64 (pymacconfig.h of 3.9 leaves it) */
#if defined(__x86_64__)
#define SIZEOF_LONG_DOUBLE 16
#else
#define SIZEOF_LONG_DOUBLE 8
#endif
#define SIZEOF_LONG_LONG 8
#define SIZEOF_OFF_T 8
#define SIZEOF_PID_T 4
/* SIZEOF_PTHREAD_KEY_T: pthread_key_t is an unsigned long, not an unsigned int */
#define SIZEOF_PTHREAD_KEY_T 8
#define SIZEOF_PTHREAD_T 8
#define SIZEOF_SHORT 2
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_VOID_P 8
#define SIZEOF_WCHAR_T 4
#define SIZEOF__BOOL 1
#ifndef _ALL_SOURCE
#define _ALL_SOURCE 1
#endif
#ifndef _DARWIN_C_SOURCE
#define _DARWIN_C_SOURCE 1
#endif
#ifndef __EXTENSIONS__
#define __EXTENSIONS__ 1
#endif
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#ifndef _HPUX_ALT_XOPEN_SOCKET_API
#define _HPUX_ALT_XOPEN_SOCKET_API 1
#endif
#ifndef _NETBSD_SOURCE
#define _NETBSD_SOURCE 1
#endif
#ifndef _OPENBSD_SOURCE
#define _OPENBSD_SOURCE 1
#endif
#ifndef _POSIX_PTHREAD_SEMANTICS
#define _POSIX_PTHREAD_SEMANTICS 1
#endif
#ifndef __STDC_WANT_IEC_60559_ATTRIBS_EXT__
#define __STDC_WANT_IEC_60559_ATTRIBS_EXT__ 1
#endif
#ifndef __STDC_WANT_IEC_60559_BFP_EXT__
#define __STDC_WANT_IEC_60559_BFP_EXT__ 1
#endif
#ifndef __STDC_WANT_IEC_60559_DFP_EXT__
#define __STDC_WANT_IEC_60559_DFP_EXT__ 1
#endif
#ifndef __STDC_WANT_IEC_60559_EXT__
#define __STDC_WANT_IEC_60559_EXT__ 1
#endif
#ifndef __STDC_WANT_IEC_60559_FUNCS_EXT__
#define __STDC_WANT_IEC_60559_FUNCS_EXT__ 1
#endif
#ifndef __STDC_WANT_IEC_60559_TYPES_EXT__
#define __STDC_WANT_IEC_60559_TYPES_EXT__ 1
#endif
#ifndef __STDC_WANT_LIB_EXT2__
#define __STDC_WANT_LIB_EXT2__ 1
#endif
#ifndef __STDC_WANT_MATH_SPEC_FUNCS__
#define __STDC_WANT_MATH_SPEC_FUNCS__ 1
#endif
#ifndef _TANDEM_SOURCE
#define _TANDEM_SOURCE 1
#endif
/* _XOPEN_SOURCE: configure defines no POSIX or X/Open level on macOS */
#define WITH_DOC_STRINGS 1
/* WITH_DTRACE: a choice of the Linux build; pydtrace.h would include a generated header */
#define WITH_MIMALLOC 1
#define WITH_PYMALLOC 1
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#ifndef _LARGEFILE_SOURCE
#define _LARGEFILE_SOURCE 1
#endif
/* _POSIX_C_SOURCE: configure defines no POSIX or X/Open level on macOS */
#define _Py_STACK_GROWS_DOWN 1
#ifndef _REENTRANT
#define _REENTRANT 1
#endif
/* _XOPEN_SOURCE_EXTENDED: configure defines no POSIX or X/Open level on macOS */
#ifndef __BSD_VISIBLE
#define __BSD_VISIBLE 1
#endif
#endif /* Py_PYCONFIG_H */
