// An encoding laid out by the library's own reader of the format
// (drov_def_verify_walk): its parts in the order of their bytes -- every
// structure's header and end, every field's value, the state flag after a
// record or list, the bytes a reader jumps over -- and, for a message the
// reader refuses, where and why.  decode's account, its refusals and
// encode's annotated dumps all come from here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct qel_handle;
struct qel_type_info;

namespace drovdef::layout {

struct Part {
    std::uint32_t kind = 0;   // DROV_DEF_WIRE_HEADER, _VALUE, _FLAG, _SKIPPED, _END
    std::uint64_t offset = 0; // from the first byte of the walk's input
    std::uint64_t size = 0;
    std::string path;  // "" for the message, "vm_if_rsp.vm_if_info[2]", ".mtu" included for a value
    std::string field; // VALUE, FLAG: the field's name
    std::string type;  // the structure (VALUE, FLAG: the one whose field it is)
    int written = -1;  // HEADER, END: the variant byte
    int read = -1;     // HEADER, END: the variant read
    std::uint8_t flags = 0;
    std::uint64_t body_end = 0;   // HEADER, END: where the body length points
    std::uint64_t fields_end = 0; // END: where the fields read end
};

// Why and where the reader refused a message: the error number (90 cut
// short, 22 bytes no writer produces), the byte, the field's path ("" for
// the message's own header) and the reason in words.
struct Refusal {
    std::uint32_t code = 0;
    std::uint64_t offset = 0;
    std::string path, reason;
};

struct Layout {
    std::vector<Part> parts;        // up to the refusal, if any
    std::uint64_t size = 0;         // the bytes the message takes; 0 when refused
    std::optional<Refusal> refusal;
};

// Walks bytes as an encoding of type.  domain: read each type as a peer
// that knows only the variants the handle's domain gives it.  Offsets are
// from the first byte plus base (where the message sits in a larger input).
Layout walk(struct qel_handle *h, const struct qel_type_info *type, std::span<const std::uint8_t> bytes,
            bool domain, std::uint64_t base = 0);

// "cut short at offset 6, id: u32 needs 4 bytes, 3 left",
// "malformed at offset 39, vm_if_rsp: object flags 0x2b carry unknown bits 0x03".
std::string text(const Refusal &r);

} // namespace drovdef::layout
