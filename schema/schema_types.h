// Descriptor types of the generated schema tables.
#pragma once

#include <cstdint>

namespace drov::schema {

enum class FieldKind : uint8_t {
    U8, U16, U32, Boolean, IfHandle, Enum, Record, Length, String, Text, Array, VarArray, List
};

struct FieldDesc {
    const char *name;
    FieldKind kind;
    int8_t variant;       // the variant that introduced the field
    uint16_t offset;      // from the instance start
    uint16_t size;        // bytes in the instance
    uint16_t width;       // length-field width, text or array capacity
    int16_t state_index;  // first state-flag byte, -1 for length fields
    int16_t ref;          // type index of the enumeration, record or element type
    int16_t length_field; // a string or variable array: index of its length field
    bool length_item;     // the length is the read-only NAME_length item
    uint16_t length_offset; // a string or variable array: its length field's offset
    uint8_t length_width;   // ... and width in bytes
    int16_t nested_area;    // a record: where its own flags start in the parent's area
    int16_t flag_block;     // a variable array: offset in the area of its element-flag block pointer
};

struct TypeDesc {
    const char *name;
    bool is_enum;
    const char *digest;  // 32 hex digits
    const char *digest2; // second digest, manifest only
    int8_t variants;
    uint32_t used[3];  // used length per variant
    uint32_t base[3];  // base size per layout variant
    uint32_t state[3]; // state-tracking area per layout variant
    uint16_t first_entry; // index of its first variant entry
    const FieldDesc *fields;
    uint16_t field_count;
    int16_t list_owner;    // element types: the type holding the list
    const char *list_name; // element types: the list field
    uint32_t index_end[3]; // end of each variant's block of field numbers
    const char *const *values; // enumerations: value names in number order
    uint16_t value_count;
    uint32_t first_value;  // enumerations: the number of the first value
    int8_t enum_pos;       // enumerations: position among the enumerations
    constexpr uint32_t alloc_size() const { return base[variants - 1]; }
    constexpr int8_t highest() const { return static_cast<int8_t>(variants - 1); }
};

} // namespace drov::schema
