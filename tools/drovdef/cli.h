// What the commands share with the command line: a usage error (exit 2).
#pragma once

#include <string>

namespace drovdef {

// A command line the tool cannot act on: an unknown command, option or
// type, arguments missing or extra, a number that is not one.
struct UsageError {
    std::string message;
};

} // namespace drovdef
