// The extension's object model, shared by its translation units.
//
// A structure's Python object (RecordObject) is either the owner of a C
// instance (parent null: it destroys the instance when it goes) or a view
// into one that lives inside another: a nested record or a list element.
// A view holds a reference to the object it was reached through, so the
// instance it shows lives at least as long as the view.  The one C
// operation that frees an instance a view could still show is the removal
// of a list element (del, pop, clear, a list or record assigned over it):
// every view of a list element is therefore listed in a registry by its
// instance, at most one per element, and a removal turns such a view into
// the owner of the element it unlinked instead of destroying it.  A view
// reached through a list element holds that element's view, so an element
// without a view has nothing inside it that Python still shows.
//
// Every call into the library happens with the GIL held; a runtime handle
// is therefore never used by two threads at once, whichever thread made it.
#ifndef DROVPY_CORE_H
#define DROVPY_CORE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

#include "drov_def/runtime.h"
#include "tables.h"

namespace drovpy {

// ---- Runtimes (runtime.cpp) ----

struct RuntimeObject {
    PyObject_HEAD
    H *h;
    uint32_t ctx;
    bool tracking;
    bool pool;
    uint32_t pool_chunk;
    int8_t *domain; // per structure: the variant chosen for new instances, -1: highest
};

extern PyTypeObject *RuntimeType;
bool runtime_type_init(PyObject *module);
// The calling thread's runtime (a borrowed reference), made at first use.
RuntimeObject *default_runtime();
// runtime: a Runtime, None or null (the default); borrowed.
RuntimeObject *runtime_arg(PyObject *runtime);
// Sets the variant the runtime's domain gives a structure (-1: highest).
bool runtime_set_variant(RuntimeObject *rt, const TypeDesc &t, int variant);

// ---- Errors (runtime.cpp) ----

// Raises drov_def.Error for a library error number: operation, the type,
// and the field (or nothing); with placed, where the handle recorded the
// failure (the field path, offset or line and column, reason).  Returns null.
PyObject *lib_error(RuntimeObject *rt, uint32_t code, const char *operation, const TypeDesc *t,
                    const char *field, bool placed = false, const std::string &detail = {});
// The same for -1-returning callers.
inline int lib_error_int(RuntimeObject *rt, uint32_t code, const char *operation, const TypeDesc *t,
                         const char *field) {
    lib_error(rt, code, operation, t, field);
    return -1;
}
extern PyObject *ErrorClass;

// ---- Enumerations (records.cpp) ----

// The IntEnum class of each enumeration and its members by number.
extern PyObject **enum_classes;
extern PyObject **enum_members;

// ---- Structures (records.cpp, record_ops.cpp) ----

struct RecordObject {
    PyObject_HEAD
    void *inst;
    const TypeDesc *type;
    RuntimeObject *rt;  // strong
    PyObject *parent;   // strong; null: this object owns inst
    bool listed;        // a list element's view, in the registry
};

extern PyTypeObject *RecordBaseType;
extern PyTypeObject **record_types; // by structure index
extern PyObject **field_names;      // per structure: {name: index}

inline bool is_record(PyObject *o) { return PyObject_TypeCheck(o, RecordBaseType); }
inline bool is_record_of(PyObject *o, const TypeDesc &t) {
    return Py_TYPE(o) == record_types[t.index];
}
inline RecordObject *as_record(PyObject *o) { return reinterpret_cast<RecordObject *>(o); }
// The structure a class of this module describes; null (and TypeError) otherwise.
const TypeDesc *type_of_class(PyObject *cls);

bool record_types_init(PyObject *module);
// A new object: the owner of inst (parent null) or a view into parent.
RecordObject *new_record(const TypeDesc &t, RuntimeObject *rt, void *inst, PyObject *parent);
// A new owner of a fresh instance made through rt.
RecordObject *new_owner(const TypeDesc &t, RuntimeObject *rt);

// Sets one field from a Python value: TypeError or ValueError before
// anything changes, drov_def.Error for what the library refuses.  fresh:
// the record was made just now and holds its initial values (a list is
// empty), so nested records and lists are filled in place.
int set_field(RecordObject *self, const FieldDesc &f, PyObject *value, bool fresh);
PyObject *get_field(RecordObject *self, const FieldDesc &f);
// Sets fields from keyword arguments or a mapping of field names; skip (if
// not null) is a key to pass over.
int set_fields(RecordObject *self, PyObject *mapping, bool fresh, PyObject *skip);
// The field of a structure by name; null with TypeError (or, for a length
// field with settable, AttributeError-like TypeError) otherwise.
const FieldDesc *field_by_name(const TypeDesc &t, PyObject *name, bool settable);

// A new instance (its C pointer) made through rt with src's values: a clone
// when src is of the same runtime, else through src's plain values.  Null
// with the Python error set.
void *copy_instance(RuntimeObject *rt, RecordObject *src);
// A new instance made through rt from a mapping of field values.
void *instance_from_mapping(RuntimeObject *rt, const TypeDesc &t, PyObject *mapping);
// Either of the two for a value given for a record or list element of type t.
void *instance_from_value(RuntimeObject *rt, const TypeDesc &t, PyObject *value, const char *what);

// The plain values of an instance: dict, list, int, str (record_ops.cpp).
PyObject *record_to_dict(RecordObject *self);
bool record_ops_init(PyTypeObject *base);
extern PyMethodDef record_methods[];
PyObject *record_repr(PyObject *self);
PyObject *record_str(PyObject *self);
PyObject *record_richcompare(PyObject *a, PyObject *b, int op);
Py_hash_t record_hash(PyObject *self);

// ---- Lists (lists.cpp) ----

struct ListObject {
    PyObject_HEAD
    RecordObject *owner; // strong: the record that holds the list
    const FieldDesc *field;
};
extern PyTypeObject *ListType;
bool list_types_init(PyObject *module);
PyObject *new_list(RecordObject *owner, const FieldDesc &f);
// Replaces a list's elements by new ones made from an iterable of records
// or mappings (all made first: a bad one leaves the list as it was).
int list_assign(RecordObject *owner, const FieldDesc &f, PyObject *values, bool fresh);
// Before the library frees what an instance holds (a record assigned over
// it): every list element below it that a Python view shows is unlinked and
// handed to its view.
void release_listed(RuntimeObject *rt, const TypeDesc &t, void *inst);

// ---- Helpers ----

// The C instance's variant (-1: no fields).
int instance_variant(const void *inst);

// A buffer of text the C writers fill, grown until the text fits: write(buf,
// size, &err) returns the length; 28 asks for more room.
template <class Write> PyObject *written_text(size_t guess, Write write, uint32_t *err_out);

// Bytes of a Python value for a string, text or array: str (UTF-8; lone
// surrogates from undecodable bytes go back to those bytes), or any object
// with the buffer protocol.  Holds what it needs until it goes.
class Bytes {
public:
    Bytes() = default;
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    ~Bytes();
    // strings: str allowed; false with TypeError otherwise.
    bool from(PyObject *v, bool strings, const char *what);
    const char *data() const { return data_; }
    size_t size() const { return size_; }

private:
    const char *data_ = "";
    size_t size_ = 0;
    PyObject *hold_ = nullptr;
    Py_buffer view_{};
    bool viewed_ = false;
};

} // namespace drovpy

#endif
