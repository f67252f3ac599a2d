/* libvexakov: questions about a target accelerator architecture, over a C ABI.
 *
 * The architecture is given as YAML text (what Python's yaml.safe_dump writes):
 * either a build configuration whose "arch" entry names a built-in
 * architecture, or an inline description (optionally starting from a built-in
 * "base"). A description's "operators" is a list or one comma-separated
 * string; a built-in flag parameter (has_kov2) takes any of 1/0, true/false,
 * yes/no, on/off (any case, quoted or not) or ''. Both calls are safe to
 * make from several threads at once. */
#ifndef VEXAKOV_H
#define VEXAKOV_H

#include <stddef.h>

#if defined(__GNUC__) || defined(__clang__)
#define VEXAKOV_API __attribute__((visibility("default")))
#else
#define VEXAKOV_API
#endif

/* Statuses of ArchqueryParameter_Py. All errors are positive. */
#define VEXAKOV_OK 0
/* arch, name or out is NULL, or out_size is 0 (no room to answer at all). */
#define VEXAKOV_E_NULL_ARG 1
/* arch is longer than VEXAKOV_MAX_ARCH_BYTES; rejected before parsing. */
#define VEXAKOV_E_TOO_LARGE 2
/* Not YAML, not exactly one document, nested deeper than VEXAKOV_MAX_DEPTH,
 * or YAML of the wrong shape (root not a mapping, non-scalar parameter, a
 * flag that is neither true nor false, ...). */
#define VEXAKOV_E_MALFORMED 3
/* "arch" or "base" names no built-in architecture. */
#define VEXAKOV_E_UNKNOWN_ARCH 4
/* The resolved architecture does not define the parameter. */
#define VEXAKOV_E_UNKNOWN_PARAM 5
/* The value plus its NUL does not fit in out_size bytes. */
#define VEXAKOV_E_NO_ROOM 6
/* Unexpected failure inside the library (e.g. out of memory). */
#define VEXAKOV_E_INTERNAL 7

/* Limits applied before and during parsing. */
#define VEXAKOV_MAX_ARCH_BYTES 65536
#define VEXAKOV_MAX_DEPTH 64

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the value of parameter `name` as NUL-terminated text into `out`.
 * Integers read in decimal, a true flag reads "1" and a false flag reads "".
 * The names "parameters", "operators" and "builtin_architectures" are
 * answered with comma-separated lists. Returns VEXAKOV_OK or an error status;
 * on error out[0] is set to '\0' (when out != NULL and out_size > 0) and
 * nothing else is written. Never writes past out_size. */
VEXAKOV_API int ArchqueryParameter_Py(const char* arch, const char* name,
                                      char* out, size_t out_size);

/* 1 if the architecture supports `operator_id` (exact, case-sensitive match),
 * otherwise 0 -- including on every error. */
VEXAKOV_API int ArchSupportsOperator_Py(const char* arch,
                                        const char* operator_id);

#ifdef __cplusplus
}
#endif

#endif /* VEXAKOV_H */
