// Everything merrow_sdk.logging.trace_key keeps for the process, in one
// struct: the held module, the constants made at import and the tables of
// its caches. All zero until the first import, so the tables take no room
// in the library file, and never destroyed: the interpreter may still run the
// module's code during shutdown. Every other layer of the module includes
// this one; it includes none of theirs.
#pragma once

#include <Python.h>

#include <cstdint>

#include "interpreter_gates.hpp"
#include "module_lifecycle.hpp"
#include "names.hpp"
#include "traceback_entry.hpp"

namespace merrow::trace_key {

#if MERROW_STATE_CACHE
// Identifies what a type's MRO held when its layout was learnt
// (state/type_layout.hpp says why each form is sound).
#if MERROW_LAYOUT_BY_TYPE_VERSION
struct LayoutKey {
    unsigned int version = 0;  // 0: nothing learnt
};
#else
inline constexpr int kMaxLayoutDepth = 4;

struct LayoutKey {
    PyObject* mro = nullptr;  // compared only
    Py_ssize_t depth = 0;
    struct Level {
        PyObject* dict = nullptr;  // compared only
        std::uint64_t version = 0;
    } levels[kMaxLayoutDepth];
};
#endif

// Which state names a type leaves to its instances' dictionaries.
struct TypeLayout {
    PyTypeObject* type = nullptr;  // compared only: nothing here is owned
    LayoutKey key;
    std::uint32_t plain = 0;  // attr_bit per name left to the instance
#if MERROW_INLINE_VALUES
    // Where instances keep each plain name inline (state/inline_values.hpp):
    // its index in these shared keys, -1 for none yet (read only once
    // `keys` is set); their entries then.
    PyDictKeysObject* keys = nullptr;  // compared only
    Py_ssize_t keys_seen = 0;
    std::int8_t slots[static_cast<int>(Attr::count)] = {};
#endif
};

// A few types at once: instances of several classes used in turn.
inline constexpr int kTypeLayouts = 8;

// The state values last read from one instance's dictionary
// (state/value_snapshot.hpp). A power of two in size, so that finding one
// is a shift.
struct alignas(256) Snapshot {
    PyObject* self = nullptr;      // compared only
    PyTypeObject* type = nullptr;  // compared only
    LayoutKey layout;
    PyObject* dict = nullptr;  // compared only
#if MERROW_SNAPSHOT_BY_DICT_VERSION
    std::uint64_t version = 0;
#endif
    // Borrowed from the dictionary; null: not read yet. Only names the type
    // leaves to the instance are ever remembered.
    PyObject* values[static_cast<int>(Attr::count)] = {};
};

// Sets of a few slots, any of which a key may take: several generators
// used in turn each keep theirs, even when their keys hash alike.
inline constexpr int kSnapshotSetBits = 6;
inline constexpr int kSnapshotWays = 4;
#endif

#if MERROW_GLOBAL_CACHE
// One remembered lookup, globals[global].attribute (global_cache.cpp).
struct RememberedGlobal {
    PyObject* globals = nullptr;      // compared only
    PyObject* module = nullptr;       // borrowed from globals
    PyObject* module_dict = nullptr;  // compared only
    Name global{};
    Name attribute{};
    PyObject* value = nullptr;  // borrowed from module_dict; null: nothing remembered
};
#endif

#if MERROW_LOCK_DIRECT_CALLS
// A builtin method's C function, in the calling convention found once.
struct DirectMethod {
    enum class Convention : unsigned char { none, no_args, fast, tuple, tuple_keywords };
    void (*meth)(void) = nullptr;
    Convention convention = Convention::none;
};

// A lock type whose __enter__ and __exit__ are called through their C
// functions (state/lock_section.cpp).
struct KnownLockType {
    PyTypeObject* type = nullptr;  // strong reference once learnt
    DirectMethod enter;
    DirectMethod exit;
    bool quiet_exit = false;
};

// A lock and an RLock (or a file used as a lock first) each called directly.
inline constexpr int kKnownLockTypes = 8;
#endif

// The token texts of ErrorType and EventType, names and values in turn
// (token_vocabularies.cpp).
inline constexpr int kErrorTokenTexts = 28;
inline constexpr int kEventTokenTexts = 20;

struct ProcessState {
    lifecycle::HeldModule held;
    TracebackCodeCache tracebacks;
    // Made once at import; those an earlier, failed import made are kept.
    PyObject* names[static_cast<int>(Name::count)];
    PyObject* error_tokens[kErrorTokenTexts];
    PyObject* event_tokens[kEventTokenTexts];
    PyObject* empty_tuple;
    PyObject* empty_text;
    PyObject* zero;
    PyObject* one;
    PyObject* eight;
    PyObject* first_eight;  // the slice [:8]
    PyObject* three_nones;  // (None, None, None): a normal __exit__
    PyObject* staticmethod;
    PyObject* method_code[static_cast<int>(OperationId::count)];  // each method's __code__
#if MERROW_DICT_WATCHER
    // The one dictionary watcher every cache relies on (dict_watcher.cpp).
    int dict_watcher;  // its id, once watching
    bool watching;
    bool state_cache_on;
#endif
#if MERROW_STATE_CACHE
    TypeLayout layouts[kTypeLayouts];
    Snapshot snapshots[kSnapshotWays << kSnapshotSetBits];
    unsigned char next_victim[1 << kSnapshotSetBits];  // per set, the slot a new key takes
#endif
#if MERROW_GLOBAL_CACHE
    RememberedGlobal globals[2];  // threading.Lock and uuid.uuid4
#endif
#if MERROW_LOCK_DIRECT_CALLS
    KnownLockType known_locks[kKnownLockTypes];  // filled from the start, in the order met
#endif
};

inline constinit ProcessState g_process{};

// The interned name; valid once make_constants() has succeeded. Inline:
// every attribute read and binding step asks for one.
inline PyObject* name(Name id) { return g_process.names[static_cast<int>(id)]; }

// The state attribute's interned name.
inline PyObject* state_name(Attr attr) { return name(kStateNames[static_cast<int>(attr)]); }

// Makes the names and the constant objects; keeps those an earlier import made.
int make_constants();

}  // namespace merrow::trace_key
