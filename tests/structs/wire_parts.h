// The parts drov_def_verify_walk reports, kept and checked to tile the bytes they describe (for
// the verifier's tests and its fuzz harness).
#pragma once

#include <string>
#include <vector>

#include "drov_def/drov_def.h"

namespace test::wire_parts {

struct Parts {
    std::vector<drov_def_wire_item_t> items;
    std::vector<std::string> paths;

    static void add(void *user, const drov_def_wire_item_t *it) {
        auto *p = static_cast<Parts *>(user);
        p->items.push_back(*it);
        p->paths.emplace_back(it->path);
    }
    // "" when each part starts where the one before ended (only an END takes no bytes), every
    // header is closed by its END
    // where its body length points, and (end != 0: the walk accepted) they end at `end`; else
    // what is wrong.
    std::string tiling(uint32_t end) const {
        uint64_t next = 0;
        std::vector<size_t> open;
        for (size_t i = 0; i < items.size(); ++i) {
            const drov_def_wire_item_t &it = items[i];
            const std::string at = "part " + std::to_string(i) + " (" + paths[i] + ")";
            if (it.offset != next)
                return at + " starts at " + std::to_string(it.offset) + ", not " + std::to_string(next);
            if (it.size == 0 && it.part != DROV_DEF_WIRE_END) return at + ": a part of no bytes";
            next = uint64_t{it.offset} + it.size;
            if (it.part == DROV_DEF_WIRE_HEADER) open.push_back(i);
            if (it.part != DROV_DEF_WIRE_END) continue;
            if (open.empty()) return at + ": an END without a header";
            const drov_def_wire_item_t &hd = items[open.back()];
            if (hd.type != it.type || paths[open.back()] != paths[i] || it.offset != it.body_end ||
                hd.body_end != it.body_end || it.fields_end > it.body_end)
                return at + ": an END that does not close its header";
            open.pop_back();
        }
        if (end != 0 && (!open.empty() || next != end)) return "the parts end at " + std::to_string(next);
        return "";
    }
};

} // namespace test::wire_parts
