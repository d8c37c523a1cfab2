/* Configuration of the CPython 3.12 or 3.13 headers for a module cross-built
 * with mingw-w64 against the 64-bit Windows interpreter (python312.dll or
 * python313.dll). The other
 * headers are the same on every platform; this one states the facts of the
 * target: the LLP64 data model, the Windows platform macros, and an API
 * imported from the interpreter's DLL. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this configuration is for 64-bit Windows (x86_64-w64-mingw32) only"
#endif

/* The platform. */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The interpreter is a DLL; its API is imported with __declspec(dllimport)
 * and PyInit_<name> is exported with __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long is 4 bytes, pointers and size_t 8, wchar_t is UTF-16. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
/* The interpreter is built with MSVC, where long double is a double. */
#define ALIGNOF_MAX_ALIGN_T 8

/* Py_ssize_t is the signed type of the pointer width (mingw-w64 spells
 * __int64 in <stdint.h>'s own header). */
#include <stdint.h>
typedef __int64 Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX INT64_MAX

#define HAVE_WCHAR_H 1
#define HAVE_STDARG_PROTOTYPES
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1


#endif /* Py_CONFIG_H */
