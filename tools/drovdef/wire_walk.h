// A map of an encoding: where each structure in it starts, which variant it
// was written in and which the reader takes, where its fields end and its
// body length points, where the bytes ran out or a value did not fit.
//
// The walk reads the encoding the way a structure's unmarshal does -- the
// same runtime coders for the header items and values, the same rules for
// state-flag bytes, cut strings and list counts -- but only to measure:
// the tool decodes with the library and uses the walk to say where things
// happened.  Offsets are from the start of the message.
#pragma once

#include "schema.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct qel_handle;

namespace drovdef::wire {

// One structure's encoding: the message itself, a nested record or a list
// element.
struct Segment {
    std::string path; // "" for the message, "vm_if_rsp", "vm_if_rsp.vm_if_info[2]"
    const schema::Type *type = nullptr;
    std::uint64_t at = 0;   // its variant byte
    int written = -1;       // the variant byte
    int read = -1;          // the variant the reader takes
    std::uint8_t flags = 0; // the object-flag byte as written
    bool has_body_length = false;
    std::uint64_t body_end = 0;   // where the body length points
    std::uint64_t fields_end = 0; // where the reader's fields end
};

// Where something happened: an offset, the field or header it was in, and
// what.
struct Place {
    std::uint64_t at = 0;
    std::string where; // "vm_if_rsp.vm_if_info[2].mtu", "vm_if_rsp header", "header"
    std::string what;
};

struct Walk {
    std::vector<Segment> segments; // in the order they start
    std::uint64_t end = 0;        // the count unmarshal returns
    std::uint32_t err = 0;        // the error unmarshal stores (90, or 0)
    std::optional<Place> failure; // the value that did not fit, with err
    // The first place the bytes ran out where unmarshal reports no error:
    // a string or array cut, state flags or skipped bytes past the end.
    std::optional<Place> ran_out;
    // What no writer of this library produces: a variant byte below -1,
    // object-flag bits other than 0x08 and 0x20, a body length that ends
    // before the fields do.
    std::vector<Place> odd;
    // Where each header, field value, trailing state flag of a record or
    // list and skipped run starts, in order: what an annotated hex dump
    // labels its lines with.
    std::vector<Place> marks;
};

// known(type): the highest variant of a structure type the reader knows.
Walk walk(struct qel_handle *h, const schema::Schema &s, const schema::Type &type,
          std::span<const std::uint8_t> bytes, const std::function<int(const schema::Type &)> &known);

} // namespace drovdef::wire
