// Every dependence of the modules on the interpreter's version, as named
// gates: code elsewhere tests a gate, never a version number. A new CPython
// series is one file to read.
//
// Three kinds of gate:
// - API gates follow what a series offers or does (public functions, the
//   wording of its errors); they hold in every build.
// - Exactness gates read an interpreter structure where no public call
//   gives what a statement the module stands in for uses. They hold in
//   every build, for the series verified (3.9 to 3.15); a newer series
//   takes the public calls, inexact where each gate says.
// - Shortcut gates allow reading an interpreter internal or skipping a
//   generic protocol. They are on only for the series they were verified
//   and measured on (3.9 to 3.15) and never in the generic build
//   (MERROW_GENERIC_STATE), which reads state through PyObject_GetAttr and
//   PyObject_SetAttr and uses the lock as a with statement does.
#pragma once

#include <Python.h>

#define MERROW_SERIES_AT_LEAST(minor) (PY_VERSION_HEX >= (0x03000000 | ((minor) << 16)))
#define MERROW_SERIES_BEFORE(minor) (PY_VERSION_HEX < (0x03000000 | ((minor) << 16)))

// ---------------------------------------------------------------------------
// API gates

// PyType_GetDict: static builtin types keep their dictionary per
// interpreter, tp_dict may be null (gh-105227).
#define MERROW_API_TYPE_GET_DICT MERROW_SERIES_AT_LEAST(12)

// Py_TPFLAGS_IMMUTABLETYPE (bpo-43908); before, static types are the
// immutable ones.
#define MERROW_API_IMMUTABLE_FLAG MERROW_SERIES_AT_LEAST(10)

// Text in the legacy representation exists until PEP 623 removed it (3.12):
// it must be made ready before its length, kind or data are read.
#define MERROW_API_LEGACY_TEXT MERROW_SERIES_BEFORE(12)

// The handled exception is one object (bpo-45711), set with
// PyErr_SetHandledException; before, the (type, value, traceback) triple.
#define MERROW_API_HANDLED_EXCEPTION MERROW_SERIES_AT_LEAST(11)

// A with statement re-raises a failure its __exit__ did not suppress as
// the exception object, with the class and traceback it has by then
// (3.11's RERAISE, bpo-45711); before, as the triple it saved.
#define MERROW_API_WITH_RERAISES_OBJECT MERROW_SERIES_AT_LEAST(11)

// The generic attribute error carries `name` and `obj` for its suggestions
// (bpo-38530).
#define MERROW_API_ATTRIBUTE_ERROR_FIELDS MERROW_SERIES_AT_LEAST(10)

// The generic attribute error quotes the type name up to 100 characters,
// not 50 (3.12's object.c).
#define MERROW_API_ATTRIBUTE_ERROR_WIDE_NAME MERROW_SERIES_AT_LEAST(12)

// The generic attribute error names the object's type at the moment it is
// raised; before 3.14 it names the type the lookup started with, even when
// a key's __eq__ has reassigned __class__ meanwhile (3.14's object.c).
#define MERROW_API_ATTRIBUTE_ERROR_TYPE_AT_RAISE MERROW_SERIES_AT_LEAST(14)

// A compact int's value read without a call (PyUnstable_Long_IsCompact,
// gh-101291); the unstable tier is public API, so every build uses it.
#define MERROW_API_COMPACT_INT MERROW_SERIES_AT_LEAST(12)

// Dictionary watchers (gh-91052).
#define MERROW_API_DICT_WATCHERS MERROW_SERIES_AT_LEAST(12)

// Instances may keep their values inline, without a dictionary, and
// PyObject_GenericGetDict makes one that then holds the very values the
// interpreter reads and writes (bpo-45340, 3.11).
#define MERROW_API_INLINE_VALUES MERROW_SERIES_AT_LEAST(11)

// ---------------------------------------------------------------------------
// Exactness gates

// The running frame's own handled-exception slot, tstate->exc_info (one
// per running generator or coroutine, bpo-25612). The public calls read
// the topmost handled exception of the whole stack: saved and restored
// through them, a failure handled in a generator's lock section would
// leave its driver's exception as the generator's own.
#define MERROW_FRAME_EXCEPTION_SLOT (MERROW_SERIES_AT_LEAST(9) && MERROW_SERIES_BEFORE(16))

// ---------------------------------------------------------------------------
// Shortcut gates

#if defined(MERROW_GENERIC_STATE) && MERROW_GENERIC_STATE
#define MERROW_SHORTCUTS 0
#else
// Verified and measured on 3.9 to 3.15; a newer series takes the generic
// path until it is.
#define MERROW_SHORTCUTS (MERROW_SERIES_AT_LEAST(9) && MERROW_SERIES_BEFORE(16))
#endif

// MERROW_WITHOUT_<NAME>=1 (CMake's MERROW_SHORTCUTS_OFF) leaves one out, to
// measure what it saves.
#ifndef MERROW_WITHOUT_STATE_CACHE
#define MERROW_WITHOUT_STATE_CACHE 0
#endif
#ifndef MERROW_WITHOUT_GLOBAL_CACHE
#define MERROW_WITHOUT_GLOBAL_CACHE 0
#endif
#ifndef MERROW_WITHOUT_DIRECT_SETATTR
#define MERROW_WITHOUT_DIRECT_SETATTR 0
#endif
#ifndef MERROW_WITHOUT_INLINE_VALUES
#define MERROW_WITHOUT_INLINE_VALUES 0
#endif
#ifndef MERROW_WITHOUT_LOCK_DIRECT_CALLS
#define MERROW_WITHOUT_LOCK_DIRECT_CALLS 0
#endif

// The state cache: per-instance state values (type layouts, snapshots,
// direct dictionary access).
#define MERROW_STATE_CACHE (MERROW_SHORTCUTS && !MERROW_WITHOUT_STATE_CACHE)

// Type version tags are never given out twice from 3.11 on (bpo-44914);
// before, sys._clear_type_cache() numbers them afresh, so layouts are keyed
// by each class dictionary's version instead (PEP 509).
#define MERROW_LAYOUT_BY_TYPE_VERSION (MERROW_STATE_CACHE && MERROW_SERIES_AT_LEAST(11))
#define MERROW_LAYOUT_BY_DICT_VERSION (MERROW_STATE_CACHE && MERROW_SERIES_BEFORE(11))

// A tag is valid only with Py_TPFLAGS_VALID_VERSION_TAG until 3.13 made a
// zero tag the only invalid one (gh-119462).
#define MERROW_VERSION_TAG_NEEDS_FLAG MERROW_SERIES_BEFORE(13)

// A snapshot is known unchanged by the dictionary's version (PEP 509) up to
// 3.11; from 3.12 (PEP 699 deprecates the version) by a watcher instead.
#define MERROW_SNAPSHOT_BY_DICT_VERSION (MERROW_STATE_CACHE && MERROW_SERIES_BEFORE(12))
#define MERROW_SNAPSHOT_BY_WATCHER (MERROW_STATE_CACHE && MERROW_API_DICT_WATCHERS)

// Before 3.11 snapshots are found by instance, whose dictionary sits at
// tp_dictoffset; from 3.11 by the dictionary the instance shares values with.
#define MERROW_SNAPSHOT_BY_INSTANCE (MERROW_STATE_CACHE && !MERROW_API_INLINE_VALUES)

// 3.12 specialises method lookups only on values kept inline, which a
// dictionary made once leaves behind (3.13 lets the dictionary share them):
// there the state cache never makes an instance's dictionary.
#define MERROW_OWN_DICT_COSTS_METHOD_LOOKUPS (MERROW_SERIES_AT_LEAST(12) && MERROW_SERIES_BEFORE(13))

// There the state is read and replaced in the instance's inline value
// slots, found as 3.12's specialising interpreter finds them: the name's
// index in the type's shared keys, the tagged values pointer before the
// object (3.12's pycore_dict.h and pycore_object.h). No dictionary is made.
#define MERROW_INLINE_VALUES \
    (!MERROW_WITHOUT_INLINE_VALUES && MERROW_STATE_CACHE && MERROW_OWN_DICT_COSTS_METHOD_LOOKUPS)

// The global cache: a module global's attribute (threading.Lock,
// uuid.uuid4) remembered while a dictionary watcher (gh-91052) sees no
// change to the namespace or the module. Kept from 3.13, where it saves a
// tenth of a construction (docs/benchmarks.md); 3.12 saves less.
#define MERROW_GLOBAL_CACHE \
    (MERROW_SHORTCUTS && !MERROW_WITHOUT_GLOBAL_CACHE && MERROW_SERIES_AT_LEAST(13))

// One dictionary watcher serves every cache that relies on one.
#define MERROW_DICT_WATCHER (MERROW_SNAPSHOT_BY_WATCHER || MERROW_GLOBAL_CACHE)

// A store on a type whose slot is PyObject_GenericSetAttr made by calling it
// directly: for an interned exact str name and a value, all PyObject_SetAttr
// adds is its checks and dispatch. Kept on 3.13, where it saves a tenth of
// a construction (docs/benchmarks.md); 3.11 and 3.12 save less, and 3.14
// inlines the generic store into PyObject_SetAttr, where the exported one
// costs more.
#define MERROW_DIRECT_SETATTR                                                            \
    (MERROW_SHORTCUTS && !MERROW_WITHOUT_DIRECT_SETATTR && MERROW_SERIES_AT_LEAST(13) && \
     MERROW_SERIES_BEFORE(14))

// The lock's __enter__ and __exit__ called through their C functions when
// they are builtin methods of an immutable type.
#define MERROW_LOCK_DIRECT_CALLS (MERROW_SHORTCUTS && !MERROW_WITHOUT_LOCK_DIRECT_CALLS)

#if MERROW_API_DICT_WATCHERS
namespace merrow::gates {

// CPython 3.13.0's watchers miss stores to attributes kept inline while the
// instance's dictionary shares them (gh-125608, fixed in 3.13.1): the
// state cache stays off there. The running interpreter decides, not the
// headers.
inline bool dict_watchers_complete() { return Py_Version < 0x030D0000 || Py_Version >= 0x030D01F0; }

}  // namespace merrow::gates
#endif
