// What the extension knows of each structure and enumeration: tables that
// tools/gen/drovpy.py writes from the schema (build/gen/python/tables*.cpp),
// read by the one implementation in this folder.  Each function pointer is a
// small generated function that calls the C operation of that type or field
// with its own types; a field leaves null the operations its kind lacks.
#ifndef DROVPY_TABLES_H
#define DROVPY_TABLES_H

#include <cstdint>

#include "drov_def/drov_def.h"

namespace drovpy {

using H = qel_handle_t;

enum class Kind : uint8_t { U8, U16, U32, Bool, IfHandle, Enum, Record, Length, String, Text, Array, VarArray, List };

// A list field's operations; the owner is the record that holds the list.
struct ListOps {
    void *(*first)(H *, uint32_t, void *owner, uint32_t *err);
    void *(*last)(H *, uint32_t, void *owner, uint32_t *err);
    void *(*next)(H *, uint32_t, void *owner, void *elem, uint32_t *err);
    void *(*prev)(H *, uint32_t, void *owner, void *elem, uint32_t *err);
    uint32_t (*count)(H *, uint32_t, void *owner, uint32_t *err);
    void (*set_first)(H *, uint32_t, void *owner, void *elem, uint32_t *err);
    void (*set_last)(H *, uint32_t, void *owner, void *elem, uint32_t *err);
    void (*set_before)(H *, uint32_t, void *owner, void *ref, void *elem, uint32_t *err);
    void (*remove)(H *, uint32_t, void *owner, void *elem, uint32_t *err);
};

struct FieldDesc {
    const char *name;
    const char *doc;
    Kind kind;
    int8_t variant;   // the variant that brought the field
    uint16_t width;   // a length field's bytes, a text's capacity, an array's size
    uint32_t offset;  // string: where the instance keeps its block; text: its characters
    uint64_t limit;   // the largest number, the most bytes of a string, text or
                      // variable array, the size of an array; 0 for records and lists
    int16_t ref;      // enumeration (Enum) or structure (Record, List element) index; -1
    int16_t length;   // the index of a string's or variable array's length field; -1
    // Numbers (u8 ... enum), and the length fields' get.
    uint32_t (*get)(H *, uint32_t, void *, uint32_t *err);
    void (*set)(H *, uint32_t, void *, uint32_t value, uint32_t *err);
    // Record: the embedded instance; arrays: element 0.
    void *(*get_ptr)(H *, uint32_t, void *, uint32_t *err);
    void (*set_chars)(H *, uint32_t, void *, const char *, uint32_t n, uint32_t *err);
    void (*set_bytes)(H *, uint32_t, void *, const uint8_t *, int32_t n, uint32_t *err);
    // Record: moves src's contents in (the C whole-structure set).
    void (*move_in)(H *, uint32_t, void *, void *src, uint32_t *err);
    // Variable array: no elements.
    void (*clear)(H *, uint32_t, void *);
    // State flags; arrays: the whole array's, and one element's.
    uint8_t (*flag_get)(H *, uint32_t, const void *, uint32_t *err);
    void (*flag_set)(H *, uint32_t, void *, int32_t, uint32_t *err);
    uint8_t (*flag_get_at)(H *, uint32_t, const void *, uint32_t index, uint32_t *err);
    void (*flag_set_at)(H *, uint32_t, void *, uint32_t index, int32_t, uint32_t *err);
    const ListOps *list;
};

struct TypeDesc {
    const char *name;       // vm_act_rsp
    const char *class_name; // VmActRsp
    const char *doc;
    int index;              // in kTypes
    int variants;
    const FieldDesc *fields;
    int field_count;
    const qel_type_info *record;
    void *(*create)(H *, uint32_t);
    void (*destroy)(H *, uint32_t, void *);
    uint32_t (*marshal)(H *, uint32_t, uint8_t *, const void *, int32_t, uint32_t *err);
    uint32_t (*unmarshal)(H *, uint32_t, const uint8_t *, void *, int32_t, uint32_t update, uint32_t *err);
    void (*clone)(H *, uint32_t, const void *, void **out, uint8_t *scratch, uint32_t n, uint32_t *err);
    uint32_t (*print)(H *, uint32_t, char *, const char *label, const void *, uint32_t n, uint32_t *err);
    int32_t (*compare)(const void *, const void *);
    uint32_t (*hash)(const void *, uint32_t running);
    void (*move)(H *, uint32_t, void *dst, void *src, uint32_t *err);
    void (*set_all_flags)(H *, uint32_t, void *, uint32_t value);
};

struct EnumDesc {
    const char *name;       // vm_rsp_rc
    const char *class_name; // VmRspRc
    uint32_t first;         // the first value's number
    uint32_t count;         // numbers first ... first + count - 1
};

extern const TypeDesc *const kTypes[];
extern const int kTypeCount;
extern const EnumDesc kEnums[];
extern const int kEnumCount;

} // namespace drovpy

#endif
