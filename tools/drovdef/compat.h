// Which changes between two versions of the schema keep old and new peers
// talking (their encodings and XML) and which break them.
#pragma once

#include "schema.h"

#include <string>
#include <vector>

namespace drovdef::compat {

struct Rule {
    const char *name;
    bool breaking;
    const char *text; // why, in a line
};

// Every rule, compatible ones first; --help and the README list them.
const std::vector<Rule> &rules();

struct Verdict {
    const Rule *rule;
    std::string subject; // "vm_act_rsp", "vm_act_rsp.owner", "vm_sp_type.VM_SP_QUB"
    std::string change;  // "removed", "width u8 -> u16", ...
};

// The changes from old to new, old's types in order first, then the types
// new adds.
std::vector<Verdict> compare(const schema::Schema &old_schema, const schema::Schema &new_schema);

// "breaking    vm_act_rsp.owner: removed [field-removed]"
std::string line(const Verdict &v);

} // namespace drovdef::compat
