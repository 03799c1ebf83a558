// The framework's types that the attribute classes extend or test against,
// fetched from their modules at import and checked against the records this
// module was built with.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/include/ruvo_framework.hpp"

namespace ruvo::attributes {

namespace framework = ruvo::framework;

enum class FrameworkType : int {
    // ruvo.core.properties
    Property,
    NumericProperty,
    BoundedNumericProperty,
    BooleanProperty,
    ListProperty,
    VariableListProperty,
    StringProperty,
    DictProperty,
    ObjectProperty,
    OptionProperty,
    ReferenceListProperty,
    AliasProperty,
    ColorProperty,
    PropertyStorage,
    // ruvo.core._event
    ObjectWithUid,
    Observable,
    EventDispatcher,
    BoundCallback,
    EventObservers,
    Count
};

inline constexpr int kFrameworkTypeCount = static_cast<int>(FrameworkType::Count);

// One fetched type, with what this module expects of it.
struct FetchedType {
    const char* module;  // the module it is fetched from
    const char* name;
    Py_ssize_t size;     // the record size this module was built against
    bool has_table;      // publishes a table of internal operations
    PyTypeObject* type;  // once fetched (owned)
    const void* table;   // the published table, once fetched
};
extern FetchedType fetched_types[kFrameworkTypeCount];

// The fetched type (borrowed; null before the import has fetched it).
inline PyTypeObject* framework_type(FrameworkType which) noexcept {
    return fetched_types[static_cast<int>(which)].type;
}

// The table of internal operations a fetched type publishes, e.g.
// framework_table<framework::NumericPropertyTable>(FrameworkType::NumericProperty).
template <class Table>
const Table* framework_table(FrameworkType which) noexcept {
    return static_cast<const Table*>(fetched_types[static_cast<int>(which)].table);
}
// The size of that table, for a class whose table begins with it.
size_t framework_table_size(FrameworkType which) noexcept;

// Fetches and checks one type unless already done: a type object, no smaller
// than its record here (larger: a warning, or an error when `extended`, since
// this module's fields follow that record), with a readable table when it
// publishes one. Returns the type (borrowed), or null with an exception.
PyTypeObject* fetch_framework_type(FrameworkType which, bool extended);

// Forgets every fetched type: an import starts afresh after a failed one.
void forget_framework_types() noexcept;

}  // namespace ruvo::attributes
