// The module's schema as the tool reads it: types, their variants and sizes,
// fields in declaration order, enumeration values.  The format is the one
// documented at the top of schema/drov_def.schema; the trace catalogue's
// statements (trace, family, point) and the module statements are passed
// over.  The tool carries the schema its library was built from
// (builtin()); `compat` reads two files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace drovdef::schema {

enum class Kind { U8, U16, U32, Bool, IfHandle, Enum, Record, Length, String, Text, Array, VarArray, List };

struct Field {
    std::string name;
    Kind kind = Kind::U32;
    int variant = 0;          // the variant that introduced it
    std::string ref;          // Enum, Record: the type; List: the element type
    std::uint32_t width = 0;  // Length: bytes of the length; Text: capacity; Array: size
    std::string length_of;    // Length: its string or variable array
    std::string length_field; // String, VarArray: their length field
    int line = 0;
};

struct Type {
    std::string name;
    bool is_enum = false;
    std::string digest, digest2;
    int line = 0;
    // Per variant: used length, base size, state-area size (structures).
    std::vector<std::uint32_t> used, base, state;
    std::vector<Field> fields;
    // Enumerations: values in number order, and the value numbered 0 on
    // the wire.
    std::vector<std::pair<std::string, std::uint32_t>> values;
    std::uint32_t internal_from = 0;

    int variants() const { return is_enum ? 1 : static_cast<int>(used.size()); }
    const Field *field(std::string_view name) const;
};

struct Schema {
    std::string source; // the file name errors name
    std::vector<Type> types;
    const Type *find(std::string_view name) const;
};

// Reads schema text; throws drovdef::Error "SOURCE:LINE: MESSAGE" on a
// statement it cannot read, a reference to a missing type, a field of an
// undeclared variant, variant sizes of different counts, enumeration values
// that are not dense, a structure that contains itself.
Schema parse(std::string_view text, const std::string &source);

// The schema compiled into the tool: the one the library was generated from.
const Schema &builtin();

// Bytes the field takes in an instance (docs/types.md's width).
std::uint32_t memory_width(const Schema &s, const Field &f);
// The field's kind as docs/types.md words it, without the links:
// "u32", "length of vm_name (u32)", "enumeration vm_rsp_rc", "u8[6]", ...
std::string kind_text(const Field &f);
// The values it can hold: "0 to 255", "up to 4294967294 bytes", ...
std::string limits_text(const Schema &s, const Type &t, const Field &f);

// Largest length a length field of each width holds (all-ones of the u32
// is refused by the setters).
std::uint64_t length_max(std::uint32_t width);

} // namespace drovdef::schema
