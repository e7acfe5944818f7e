// What the stand-in's sources share: the helpers' error contract, bounded
// writing into the caller's buffer, text escapes and XML element reading.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "qel_standin.h"

namespace qel_standin::detail {

inline HandleState *state_of(qel_handle_t *h) {
    return h != nullptr ? static_cast<HandleState *>(h->runtime) : nullptr;
}

// The contract of every helper that takes an error word, the library's own:
// nothing is done while an error is pending; otherwise the handle's last
// error is cleared before the work.  The clearing is the helper's own and
// is not recorded as a qel_clear_last_error call of the module.
inline bool begin(qel_handle_t *h, const uint32_t *err) {
    if (err != nullptr && *err != 0) return false;
    if (HandleState *s = state_of(h)) s->last_error = 0;
    return true;
}

// A helper's failure: the code goes to the caller's word and the handle's
// last error (not recorded as a qel_store_err call of the module).
inline void fail(qel_handle_t *h, uint32_t *err, uint32_t code) {
    if (err != nullptr) *err = code;
    if (HandleState *s = state_of(h)) s->last_error = code;
}

// Bounded writing: at most len-1 characters and a NUL; what does not fit is
// cut and reported as 28.  Each returns the characters written.
int32_t put(qel_handle_t *h, char *buf, int32_t len, const char *text, size_t n, uint32_t *err);
int32_t put(qel_handle_t *h, char *buf, int32_t len, const std::string &text, uint32_t *err);
int32_t put_fill(qel_handle_t *h, char *buf, int32_t len, char fill, size_t n, uint32_t *err);
int32_t put_format(qel_handle_t *h, char *buf, int32_t len, uint32_t *err, const char *fmt,
                   va_list ap);

// One line of print: `indent` spaces, the label, a colon, the value, LF.
int32_t put_line(qel_handle_t *h, char *buf, int32_t indent, const char *label,
                 const std::string &value, int32_t len, uint32_t *err);
// One XML element around text that is already escaped.
int32_t put_element(qel_handle_t *h, char *buf, const char *tag, const std::string &text,
                    int32_t len, int64_t flag, uint32_t *err);
// The opening tag: <tag>, or <tag state="N"> for a non-zero state flag.
std::string open_tag(const char *tag, int64_t flag);

// `"`-quoted (or `'`-quoted) C-style text of n bytes: \" \\ \n \t \r, other
// bytes below 0x20 or from 0x7f on as \xHH.
std::string c_quoted(const char *s, size_t n, char quote);
// XML character data of n bytes: & < > " ' as entities, CR as &#xD; (which
// a parser would otherwise turn into LF), bytes XML 1.0 cannot carry (NUL,
// other control characters, byte sequences that are not UTF-8) as &#xFFFD;.
std::string xml_text(const char *s, size_t n);

// The text of the first element the XPath expression selects: 0, 2 when
// there is none, 22 for an unusable document or expression.
int32_t element_text(void *doc, const char *path, std::string *out);
// "Failed xpath: <path>" into the caller's message buffer, bounded by its size.
void xpath_message(char *msg, uint32_t msg_size, const char *path);

// Appends a call of an operation without a handle to the process-wide record.
void record_global(const Call &c);

} // namespace qel_standin::detail
