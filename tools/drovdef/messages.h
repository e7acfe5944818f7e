// The message commands: decode, encode, diff, fields, compat.  They work on
// the library the tool is linked with and the schema compiled into it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace drovdef::messages {

bool is_command(std::string_view name);

struct Outcome {
    int status = 0;      // 0; 1 for a difference (diff), a breaking change (compat) or a refusal
    std::string out;     // standard output
    std::string report;  // standard error: decode's account of the message, encode's of what it left out
    std::string refusal; // decode --all: the message that stopped it, after the ones it printed
};

// args[0] is the command.  Throws UsageError for a command line it cannot
// act on, Error for input it cannot use (a one-line message).
Outcome run(const std::vector<std::string> &args);

// The bytes of a hex dump: pairs of hex digits; whitespace and everything
// from '#' to the end of a line are ignored.  Throws Error "LINE: ...".
std::vector<unsigned char> parse_hex(std::string_view text);

} // namespace drovdef::messages
