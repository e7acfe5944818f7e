// XML element lookups: the element an XPath expression selects in a parsed
// document, and how many it selects.
//
// The library's paths are plain child paths ("/r/list/elem[3]/mtu"): names
// and positions only.  Those are walked on the tree directly; anything else
// goes to libxml2's XPath.  The walk selects what XPath selects: at each
// step the element children (no other nodes) whose name is the step's name
// and that are in no namespace, the n-th of them per parent for [n].  All
// nodes a step selects are at the same depth, so taking the parents in
// document order and each parent's children in order gives document order
// with no node twice, as XPath's node-sets are ordered; the first node of
// the walk is XPath's first node, and the walk's count its count.
//
// A structure is read as a run of paths that share most of their text and
// come in document order: P/a, P/b, P/c[1], P/c[1]/x, P/c[2], ...  So each
// lookup starts from what the one before it found:
//
// - The steps of the last path and its text are kept (per thread, and per
//   document below): the next path is compared with that text and parsed
//   only from the first step where the two differ.  Text holds no nodes,
//   so this is safe for any document.
//
// - For a document made by drov_def_runtime_xml_read, the nodes the kept
//   steps resolved to are kept as well, so a path is resolved from its
//   deepest step that the last path shared, and P/c[n + 1] from P/c[n]'s
//   node on.  Such a document also has a table of its element names, each
//   with the one pointer the parser's dictionary gave it: a step's name is
//   looked up once, siblings are then told apart by that pointer, and a
//   name no element has selects nothing without any walk.
//
// Keeping nodes across calls is safe only where nothing can change or free
// them.  A document of the runtime's own is an IndexedDoc, not the xmlDoc
// itself: the caller holds a pointer it can only hand back to the runtime,
// nothing else reaches the tree, and the tree and everything kept about it
// go together in drov_def_runtime_xml_free.  A pointer is taken for an
// IndexedDoc only when it is in the registry of live ones (compared as a
// value before anything is read through it), so a document of the
// program's own, even one at the address of a freed IndexedDoc, is never
// mistaken for one.  A document the program parsed itself may be changed
// or freed between two calls: for those nothing found in one call is used
// in the next, and every lookup walks from the document node.
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "detail.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qel_standin::detail {

namespace {

// ---- Plain child paths ------------------------------------------------------------

// Longer paths (and longer numbers) go to XPath, whose limits they could meet.
constexpr int kMaxSteps = 64;
constexpr int kMaxDigits = 9;
// Paths of this many characters or more are parsed whole each time, and
// so are shorter ones than kShortPath in documents of the program's own.
constexpr uint32_t kMaxKept = 512;
constexpr uint32_t kShortPath = 32;

// A step of a path, by offsets into the path's text.
struct Step {
    uint32_t name;     // where the name starts
    uint32_t len;      // its length
    uint32_t end;      // where the step ends: at the next '/' or the NUL
    uint32_t position; // 0: every element of the name
    // Compared by text: a node name found equal to the step's, and the last
    // one found different, so that names shared through the document's
    // dictionary (a list's elements all have the same) are then compared by
    // address.  Compared by pointer (a document with a name table): the
    // document's pointer for the name, or kNoName.  Either way they belong
    // to one document as it was when they were found.
    const xmlChar *seen;
    const xmlChar *other;
};

// The pointer of a name no element of the document has.
const xmlChar kNoName[1] = {0};

// The ASCII characters of names: 1 may start a name, 2 may follow.
struct NameChars {
    uint8_t kind[256];
    constexpr NameChars() : kind{} {
        for (int c = 0; c < 256; ++c) {
            bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
            bool more = start || (c >= '0' && c <= '9') || c == '-' || c == '.';
            kind[c] = start ? 1 : more ? 2 : 0;
        }
    }
};
constexpr NameChars kNameChars;
bool name_start(char c) { return kNameChars.kind[static_cast<unsigned char>(c)] == 1; }
bool name_char(char c) { return kNameChars.kind[static_cast<unsigned char>(c)] != 0; }

// The end of the name characters from p on; the path's NUL is at `nul`.
const char *name_end(const char *p, const char *nul) {
#if defined(__SSE2__)
    // sixteen at a time while they are the path's (its NUL included)
    for (; nul + 1 - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // letters: (c | 0x20) in 'a'..'z'; digits; _ - .  (signed compares
        // of values shifted so that each range starts at -128)
        auto in_range = [](__m128i x, char first, int count) {
            const __m128i shifted = _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(0x80 - first)));
            return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + count)));
        };
        const __m128i letter = in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 26);
        const __m128i digit = in_range(v, '0', 10);
        const __m128i other = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('_')),
                                           _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')),
                                                        _mm_cmpeq_epi8(v, _mm_set1_epi8('.'))));
        const auto ok = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), other)));
        if (ok != 0xFFFFu) return p + __builtin_ctz(~ok);
    }
#else
    (void)nul;
#endif
    while (name_char(*p)) ++p;
    return p;
}

// Parses the steps "/name[/name][n]..." of path from offset `at` on into
// steps[k], steps[k + 1], ...: the number of steps then, or -1 when the rest
// is not plain (nothing or anything else).  The characters of the first
// name before offset `known` are known to be a name's (a kept name's,
// checked before).
int parse_steps(const char *path, uint32_t len, uint32_t at, Step *steps, int k,
                uint32_t known = 0) {
    int n = k;
    const char *p = path + at;
    const char *const nul = path + len;
    while (*p == '/') {
        ++p;
        if (n == kMaxSteps || !name_start(*p)) return -1;
        Step &s = steps[n++];
        const char *name = p;
        p = name_end(std::max(p + 1, path + known), nul);
        known = 0;
        s.name = static_cast<uint32_t>(name - path);
        s.len = static_cast<uint32_t>(p - name);
        s.position = 0;
        s.seen = nullptr;
        s.other = nullptr;
        if (*p == '[') {
            ++p;
            if (*p < '1' || *p > '9') return -1;
            int digits = 0;
            uint32_t v = 0;
            while (*p >= '0' && *p <= '9') {
                if (++digits > kMaxDigits) return -1;
                v = v * 10 + static_cast<uint32_t>(*p++ - '0');
            }
            if (*p++ != ']') return -1;
            s.position = v;
        }
        s.end = static_cast<uint32_t>(p - path);
    }
    return *p == '\0' && n > 0 ? n : -1;
}

// The steps of the last plain path looked up and its text.
struct KeptPath {
    char text[kMaxKept]{};
    uint32_t len = 0; // characters of text; 0: nothing kept
    int n = 0;        // its steps
    Step steps[kMaxSteps]{};
};

// How many characters a and b have in common from the start, of n.
size_t common_prefix(const char *a, const char *b, size_t n) {
#if defined(__SSE2__)
    auto differs = [&](size_t i) { // a mask of the bytes from i on that differ
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
        return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) & 0xFFFFu;
    };
    if (n >= 16) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16)
            if (const unsigned d = differs(i); d != 0)
                return i + static_cast<size_t>(__builtin_ctz(d));
        if (i == n) return n;
        // the last 16, overlapping what was compared
        if (const unsigned d = differs(n - 16); d != 0)
            return n - 16 + static_cast<size_t>(__builtin_ctz(d));
        return n;
    }
#endif
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) {
            // the first byte that differs: the lowest in memory order
            const uint64_t d = x ^ y;
            const int bit = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? __builtin_ctzll(d)
                                                                      : __builtin_clzll(d);
            return i + static_cast<size_t>(bit / 8);
        }
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// How many of the kept steps path (of len characters) begins with: the
// same text up to the end of the step, and a step boundary after it.
// *common: how many characters the two texts share.
int shared_steps(const KeptPath &kept, const char *path, uint32_t len, size_t *common) {
    *common = common_prefix(kept.text, path, std::min(kept.len, len));
    int k = kept.n;
    while (k > 0 && kept.steps[k - 1].end > *common) --k;
    // "/r/a" does not begin "/r/ab"; the steps before it end at a '/'
    if (k > 0 && path[kept.steps[k - 1].end] != '/' && path[kept.steps[k - 1].end] != '\0') --k;
    return k;
}

// Parses path (len characters, below kMaxKept) into the kept steps from
// their step k on, k being what they share (and `common` the characters),
// and keeps its text: the number of steps, or -1 for a path that is not
// plain (then the k shared steps are what is kept).  A step k of the kept
// step's name keeps what was found about the name.
int parse_rest(KeptPath &kept, const char *path, uint32_t len, int k, size_t common) {
    const uint32_t at = k > 0 ? kept.steps[k - 1].end : 0;
    uint32_t known = 0;
    bool same_name = false;
    const xmlChar *seen = nullptr, *other = nullptr;
    if (k < kept.n && common > at + 1) {
        // the shared start of the kept name was checked with it
        const Step &old = kept.steps[k];
        known = static_cast<uint32_t>(std::min<size_t>(common, old.name + old.len));
        const uint32_t name_end = old.name + old.len;
        same_name = common > name_end || (common == name_end && !name_char(path[common]));
        seen = old.seen;
        other = old.other;
    }
    const int n = parse_steps(path, len, at, kept.steps, k, known);
    if (n < 0) {
        kept.n = k;
        kept.len = at; // the kept text up to there is this path's
        return -1;
    }
    if (same_name) {
        kept.steps[k].seen = seen;
        kept.steps[k].other = other;
    }
    // the text before `common` is the kept text already
    std::memcpy(kept.text + common, path + common, len - common + 1);
    kept.len = len;
    kept.n = n;
    return n;
}

// Whether the n characters at a and b are the same (both have n).
bool same_chars(const char *a, const char *b, size_t n) {
    if (n >= 8) {
        uint64_t x, y;
        for (size_t i = 0; i + 8 <= n; i += 8) {
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y) return false;
        }
        // the last 8, overlapping what was compared
        std::memcpy(&x, a + n - 8, 8);
        std::memcpy(&y, b + n - 8, 8);
        return x == y;
    }
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// ---- Selecting children -------------------------------------------------------------

bool selects(const xmlNode *node, Step &s, const char *path) {
    if (node->type != XML_ELEMENT_NODE || node->ns != nullptr) return false;
    const xmlChar *name = node->name;
    if (name == s.seen) return true;
    if (name == s.other) return false;
    const auto *have = reinterpret_cast<const char *>(name);
    const char *want = path + s.name;
    // The step's name holds no NUL: a shorter name differs at its end, and
    // one that does not is at least as long (its NUL at s.len or later).
    // Most names differ in their first character.
    if (have[0] != want[0] || std::strncmp(have, want, s.len) != 0 || have[s.len] != '\0') {
        s.other = name;
        return false;
    }
    s.seen = name;
    return true;
}

// Whether the step selects the node: by the text of its name, or by the
// document's pointer for it.
template <bool kByPointer> struct Select {
    static bool is(const xmlNode *node, Step &s, const char *path) {
        if constexpr (kByPointer)
            return node->name == s.seen && node->type == XML_ELEMENT_NODE && node->ns == nullptr;
        else
            return selects(node, s, path);
    }
    // The first node from c on (c and its following siblings) the step selects.
    static const xmlNode *next(const xmlNode *c, Step &s, const char *path) {
        for (; c != nullptr; c = c->next)
            if (is(c, s, path)) return c;
        return nullptr;
    }
    // The want-th node the step selects, counting `seen` of them before c.
    static const xmlNode *nth(const xmlNode *c, Step &s, const char *path, uint32_t seen,
                              uint32_t want) {
        for (; c != nullptr; c = c->next)
            if (is(c, s, path) && ++seen == want) return c;
        return nullptr;
    }
};

// What a path selects: the first node (null for none) and how many (when
// counted; otherwise 1 for some).
struct Answer {
    const xmlNode *first = nullptr;
    uint32_t found = 0;
};

// Calls visit(node) for the nodes that steps [s, end) select under parent,
// in document order, while it returns true; false once it returned false.
template <class Visit>
bool walk(const xmlNode *parent, Step *s, Step *end, const char *path, Visit &visit) {
    uint32_t seen = 0;
    for (const xmlNode *c = parent->children; c != nullptr; c = c->next) {
        if (!selects(c, *s, path)) continue;
        ++seen;
        if (s->position != 0 && seen != s->position) continue;
        bool more = s + 1 == end ? visit(c) : walk(c, s + 1, end, path, visit);
        if (!more || s->position != 0) return more;
    }
    return true;
}

// Steps [s, end) under parent: the first node, and all of them when counting.
Answer walk_from(const xmlNode *parent, Step *s, Step *end, const char *path, bool counting) {
    Answer a;
    auto visit = [&](const xmlNode *node) {
        if (a.found++ == 0) a.first = node;
        return counting;
    };
    walk(parent, s, end, path, visit);
    return a;
}

// A plain path in a document of the program's own, walked from its
// document node: false when it is not one.  Only the steps are kept (per
// thread).
[[gnu::always_inline]] inline bool find_plain(KeptPath &kept, xmlDocPtr doc, const char *path,
                                             uint32_t len, bool counting, Answer *out) {
    size_t common = 0;
    const int k = shared_steps(kept, path, len, &common);
    const int n = parse_rest(kept, path, len, k, common);
    if (n < 0) return false;
    // names seen in another document (or this one, changed) say nothing
    // now; the steps parsed anew have none
    for (int i = 0; i <= k && i < n; ++i) kept.steps[i].seen = kept.steps[i].other = nullptr;
    *out = walk_from(reinterpret_cast<const xmlNode *>(doc), kept.steps, kept.steps + n, path,
                     counting);
    return true;
}

// A path parsed whole and walked, nothing kept: one too long to keep, or
// one so short that parsing it costs less than comparing it.
bool find_fresh(xmlDocPtr doc, const char *path, size_t len, bool counting, Answer *out) {
    if (len > UINT32_MAX / 2) return false; // to XPath, as any path it cannot take
    Step steps[kMaxSteps];
    const int n = parse_steps(path, static_cast<uint32_t>(len), 0, steps, 0);
    if (n < 0) return false;
    *out = walk_from(reinterpret_cast<const xmlNode *>(doc), steps, steps + n, path, counting);
    return true;
}

// ---- Documents the runtime read -----------------------------------------------------

// The element names of a document (those in no namespace), each with its
// pointer.  Usable only when every element of a name has the same pointer,
// which the parser's dictionary gives them; names are then compared by
// pointer, and a name not in the table is no element's.
class NameTable {
public:
    // Takes the names of the elements under the document node.  A table
    // that could not be built (a name with two pointers, no memory) is left
    // unusable.
    void build(const xmlNode *top) noexcept {
        try {
            usable_ = take_all(top);
        } catch (const std::bad_alloc &) {
            usable_ = false;
        }
        if (!usable_) std::vector<Entry>().swap(slots_);
    }
    bool usable() const { return usable_; }
    // The pointer of the name, or kNoName.
    const xmlChar *find(const char *name, uint32_t len) const {
        if (slots_.empty()) return kNoName;
        const uint32_t h = hash(name, len);
        const size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            const Entry &e = slots_[i];
            if (e.name == nullptr) return kNoName;
            if (e.hash == h && e.len == len &&
                same_chars(reinterpret_cast<const char *>(e.name), name, len))
                return e.name;
        }
    }

private:
    struct Entry {
        const xmlChar *name = nullptr;
        uint32_t len = 0;
        uint32_t hash = 0;
    };

    static uint32_t hash(const char *s, uint32_t len) {
        constexpr uint64_t kMul = 0x9E3779B97F4A7C15u;
        const char *const begin = s, *const end = s + len;
        uint64_t h = len * kMul;
        for (; len >= 8; s += 8, len -= 8) {
            uint64_t w;
            std::memcpy(&w, s, 8);
            h = (h ^ w) * kMul;
            h ^= h >> 29;
        }
        if (len == 0) return static_cast<uint32_t>(h >> 32);
        uint64_t w = 0;
        if (end - begin >= 8) { // the last 8, overlapping what was taken
            std::memcpy(&w, end - 8, 8);
        } else {
            for (uint32_t i = 0; i < len; ++i)
                w |= static_cast<uint64_t>(static_cast<unsigned char>(s[i])) << (8 * i);
        }
        h = (h ^ w) * kMul;
        return static_cast<uint32_t>(h >> 32);
    }

    bool take_all(const xmlNode *top) {
        // every element, depth first; only elements are entered (an entity
        // reference's children are the entity's, shared)
        const xmlNode *n = top->children;
        while (n != nullptr) {
            if (n->type == XML_ELEMENT_NODE) {
                if (n->ns == nullptr && !take(n->name)) return false;
                if (n->children != nullptr) {
                    n = n->children;
                    continue;
                }
            }
            while (n->next == nullptr) {
                n = n->parent;
                if (n == top || n == nullptr) return true;
            }
            n = n->next;
        }
        return true;
    }

    // false for a name met before with another pointer
    bool take(const xmlChar *name) {
        const auto *text = reinterpret_cast<const char *>(name);
        const auto len = static_cast<uint32_t>(std::strlen(text));
        if (used_ + 1 > slots_.size() / 2) grow();
        const uint32_t h = hash(text, len);
        const size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            Entry &e = slots_[i];
            if (e.name == nullptr) {
                e = Entry{name, len, h};
                ++used_;
                return true;
            }
            if (e.name == name) return true;
            if (e.hash == h && e.len == len && std::memcmp(e.name, text, len) == 0) return false;
        }
    }

    void grow() {
        std::vector<Entry> old(std::max<size_t>(16, slots_.size() * 2));
        old.swap(slots_);
        const size_t mask = slots_.size() - 1;
        for (const Entry &e : old) {
            if (e.name == nullptr) continue;
            size_t i = e.hash & mask;
            while (slots_[i].name != nullptr) i = (i + 1) & mask;
            slots_[i] = e;
        }
    }

    std::vector<Entry> slots_;
    size_t used_ = 0;
    bool usable_ = false;
};

// The nodes the kept steps resolved to: node[i] is the one node steps 0..i
// select (null: none, and then nothing is kept beyond) for i below
// `resolved`.  A step whose parent set is
// one node selects one node when it has a position or its parent has one
// child of the name; a step that selects several ends what is kept (the
// walk below it goes on from its parent).  The kept path's own answer is
// kept too: a string is looked up twice (its length, then its text).
struct KeptNodes : KeptPath {
    const xmlNode *node[kMaxSteps];
    int resolved = 0;
    bool answered = false;
    bool counted = false; // `found` is the count, not just "at least one"
    Answer answer;
};

// Whether new documents get a name table (a test switch).
std::atomic<bool> g_name_tables{true};

} // namespace

// A document read by drov_def_runtime_xml_read.
struct IndexedDoc {
    explicit IndexedDoc(xmlDocPtr d) : doc(d) {
        if (g_name_tables.load(std::memory_order_relaxed))
            names.build(reinterpret_cast<const xmlNode *>(d));
    }
    xmlDocPtr doc;
    NameTable names;
    KeptNodes kept;
};

namespace {

// The live IndexedDocs.  Every change is counted, so that a thread that
// saw a pointer's standing at some count knows it still holds while the
// count is the same, and a lookup takes no lock.  The registry is never
// destroyed: a thread may free a document while the process exits.
std::atomic<uint64_t> g_registry_changes{0};
struct Registry {
    std::mutex m;
    std::unordered_set<const void *> live;
};
Registry &registry() {
    static auto *r = new Registry;
    return *r;
}

bool registered(const void *p) {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.m);
    return r.live.count(p) != 0;
}

// What a thread knows: the standing of the last document it looked at,
// and the steps of its last path in a document of the program's own.
struct Standing {
    const void *doc = nullptr;
    IndexedDoc *indexed = nullptr;
    uint64_t changes = UINT64_MAX;
};
struct ThreadLookups {
    Standing standing;
    KeptPath kept;
};
// (constant-initialized: no initialization check at each use)
constinit thread_local ThreadLookups t_lookups;

// The IndexedDoc at p, or null when p is no live IndexedDoc (then it is a
// document of the program's own).
[[gnu::always_inline]] inline IndexedDoc *indexed(Standing &s, const void *p) {
    const uint64_t now = g_registry_changes.load(std::memory_order_acquire);
    if (s.doc == p && s.changes == now) return s.indexed;
    const bool live = registered(p);
    s.doc = p;
    s.indexed = live ? static_cast<IndexedDoc *>(const_cast<void *>(p)) : nullptr;
    s.changes = now; // a change since `now` only makes the next lookup ask again
    return s.indexed;
}

// Where step `from` of the kept path may start: after the node of the
// kept step of the same name at a lower position.
struct Hint {
    bool on = false;
    const xmlNode *node = nullptr; // null: there were fewer than `position`
    uint32_t position = 0;
};

// Steps [i, n) of the kept path under cur, the one node steps [0, i)
// select (null: none), keeping nodes while each step selects one.
template <bool kByPointer>
Answer resolve(IndexedDoc &ix, const char *path, int i, const xmlNode *cur, bool counting,
               Hint hint) {
    using S = Select<kByPointer>;
    KeptNodes &kept = ix.kept;
    const int n = kept.n;
    kept.resolved = i;
    for (; i < n && cur != nullptr; ++i) {
        Step &s = kept.steps[i];
        if constexpr (kByPointer) {
            if (s.seen == nullptr) s.seen = ix.names.find(path + s.name, s.len);
        }
        if (kByPointer && s.seen == kNoName) {
            cur = nullptr;
        } else if (s.position != 0) {
            if (!hint.on)
                cur = S::nth(cur->children, s, path, 0, s.position);
            else if (hint.node != nullptr)
                cur = S::nth(hint.node->next, s, path, hint.position, s.position);
            else
                cur = nullptr;
        } else {
            const xmlNode *m = S::next(cur->children, s, path);
            if (m != nullptr && i + 1 == n && !counting) {
                // the first is all that is asked; whether it is the only
                // one is left open, and no node is kept for the step
                kept.answered = true;
                kept.counted = false;
                kept.answer = Answer{m, 1};
                return kept.answer;
            }
            if (m != nullptr && S::next(m->next, s, path) != nullptr) {
                // several: the walk goes on from their parent
                kept.answered = true;
                kept.counted = counting;
                kept.answer = walk_from(cur, &kept.steps[i], &kept.steps[n], path, counting);
                return kept.answer;
            }
            cur = m;
        }
        hint.on = false;
        kept.node[i] = cur;
        kept.resolved = i + 1;
    }
    // Stopped at a step that selects nothing: below it is nothing either,
    // which a null node says to the lookups that go on from it.
    kept.answered = true;
    kept.counted = true;
    kept.answer = Answer{cur, cur != nullptr ? 1u : 0u};
    return kept.answer;
}

// A plain path in a document the runtime read: false when it is not one.
bool find_indexed(IndexedDoc &ix, const char *path, uint32_t len, bool counting, Answer *out) {
    KeptNodes &kept = ix.kept;
    size_t common = 0;
    const int k = shared_steps(kept, path, len, &common);
    if (k == kept.n && kept.len == len && kept.answered && (kept.counted || !counting)) {
        *out = kept.answer; // the same path again
        return true;
    }
    const int resolved = std::min(kept.resolved, k);
    // Step k where the kept one was the same name at a lower position
    // (P/c[2] after P/c[1]/...): its kept node is the place to go on from.
    Hint hint;
    if (k < kept.n && k < kept.resolved && kept.steps[k].position != 0) {
        const Step &old = kept.steps[k];
        const uint32_t name_end = old.name + old.len;
        if (common >= name_end && path[name_end] == '[')
            hint = Hint{true, kept.node[k], old.position};
    }
    kept.answered = false;
    const int n = parse_rest(kept, path, len, k, common);
    if (n < 0) {
        kept.resolved = resolved;
        return false;
    }
    if (hint.on && kept.steps[k].position <= hint.position) hint.on = false;
    const xmlNode *cur = resolved == 0 ? reinterpret_cast<const xmlNode *>(ix.doc)
                                       : kept.node[resolved - 1];
    *out = ix.names.usable() ? resolve<true>(ix, path, resolved, cur, counting, hint)
                             : resolve<false>(ix, path, resolved, cur, counting, hint);
    return true;
}

// Documents only: XPath's root is whatever it is given, the walk knows these.
bool walkable(const xmlDoc *doc) {
    return doc->type == XML_DOCUMENT_NODE || doc->type == XML_HTML_DOCUMENT_NODE;
}

// ---- XPath ------------------------------------------------------------------------

// One XPath context per thread, reused for every document.  Before each
// evaluation everything an evaluation reads or leaves behind is set as a
// new context has it (the document, no context node, no position or size,
// no recursion depth or operation count), so the context keeps nothing of
// an earlier document: one freed and another allocated at its address
// cannot meet anything stale.  What stays is the function table and the
// object cache, which hold no nodes.
class XPathContext {
public:
    ~XPathContext() {
        if (ctx_ != nullptr) xmlXPathFreeContext(ctx_);
    }
    xmlXPathContextPtr for_document(xmlDocPtr doc) {
        if (ctx_ == nullptr) {
            ctx_ = xmlXPathNewContext(doc);
            if (ctx_ == nullptr) return nullptr;
            ctx_->error = [](void *, auto) {}; // errors print nothing
        }
        ctx_->doc = doc;
        // libxml2 puts these back after each evaluation, failed ones too;
        // they are set here all the same, so as not to depend on it
        ctx_->node = nullptr;           // mutants: skip
        ctx_->contextSize = -1;         // mutants: skip
        ctx_->proximityPosition = -1;   // mutants: skip
        ctx_->here = nullptr;           // mutants: skip
        ctx_->origin = nullptr;         // mutants: skip
        ctx_->depth = 0;                // mutants: skip
        ctx_->opCount = 0;              // mutants: skip
        xmlResetError(&ctx_->lastError); // mutants: skip
        return ctx_;
    }

private:
    xmlXPathContextPtr ctx_ = nullptr;
};

thread_local XPathContext t_xpath;

// Evaluates an XPath expression to a node set; null for a malformed one or
// one that is no node set.
xmlXPathObjectPtr eval_path(xmlDocPtr doc, const char *path) {
    xmlXPathContextPtr xp = t_xpath.for_document(doc);
    if (xp == nullptr) return nullptr;
    xmlXPathObjectPtr res = xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(path), xp);
    if (res != nullptr && res->type != XPATH_NODESET) {
        xmlXPathFreeObject(res);
        return nullptr;
    }
    return res;
}

int node_count(xmlXPathObjectPtr res) {
    // libxml2 gives an empty set rather than none; the guard is for others
    return res->nodesetval != nullptr ? res->nodesetval->nodeNr : 0; // mutants: skip
}

// What a plain path selects, walked on the tree: false when the path is not
// plain or the document not one the walk knows (then XPath answers).
bool find_walked(void *p, xmlDocPtr *doc_out, const char *path, bool counting, Answer *a) {
    ThreadLookups &mine = t_lookups;
    IndexedDoc *ix = indexed(mine.standing, p);
    xmlDocPtr doc = ix != nullptr ? ix->doc : static_cast<xmlDocPtr>(p);
    *doc_out = doc;
    const size_t len = std::strlen(path);
    if (len >= kMaxKept || (ix == nullptr && len < kShortPath))
        return walkable(doc) && find_fresh(doc, path, len, counting, a);
    if (ix != nullptr) return find_indexed(*ix, path, static_cast<uint32_t>(len), counting, a);
    return walkable(doc) &&
           find_plain(mine.kept, doc, path, static_cast<uint32_t>(len), counting, a);
}

// Runs take(first, count) on the nodes the path selects: the first (null
// for none) and, when counting, how many; false for an unusable expression.
// The first node is only valid during take: XPath gives copies of namespace
// nodes that go with its result.
template <class Take> bool find(void *p, const char *path, bool counting, Take &&take) {
    xmlDocPtr doc = nullptr;
    Answer a;
    if (find_walked(p, &doc, path, counting, &a)) {
        take(a.first, a.found);
        return true;
    }
    xmlXPathObjectPtr res = eval_path(doc, path);
    if (res == nullptr) return false;
    int k = node_count(res);
    take(k > 0 ? res->nodesetval->nodeTab[0] : nullptr, static_cast<uint32_t>(k));
    xmlXPathFreeObject(res);
    return true;
}

} // namespace

void *adopt_document(void *xml_doc) {
    auto *ix = new (std::nothrow) IndexedDoc(static_cast<xmlDocPtr>(xml_doc));
    if (ix == nullptr) return nullptr;
    Registry &r = registry();
    try {
        std::lock_guard<std::mutex> lock(r.m);
        r.live.insert(ix);
        g_registry_changes.fetch_add(1, std::memory_order_release);
    } catch (const std::bad_alloc &) {
        delete ix;
        return nullptr;
    }
    return ix;
}

void release_document(void *doc) {
    Registry &r = registry();
    size_t erased;
    {
        std::lock_guard<std::mutex> lock(r.m);
        erased = r.live.erase(doc);
        if (erased != 0) g_registry_changes.fetch_add(1, std::memory_order_release);
    }
    if (erased == 0) { // a document of the program's own, as libxml2 made it
        xmlFreeDoc(static_cast<xmlDocPtr>(doc));
        return;
    }
    auto *ix = static_cast<IndexedDoc *>(doc);
    xmlFreeDoc(ix->doc);
    delete ix;
}

ElementText::~ElementText() {
    if (owned_ != nullptr) xmlFree(owned_);
}

// The content of an element of one text node (or none) is that text;
// other nodes are left to libxml2 (descendants, entities, ...).
void node_text(const void *p, ElementText *out) {
    const auto *node = static_cast<const xmlNode *>(p);
    const xmlNode *only = node->type == XML_ELEMENT_NODE ? node->children : nullptr;
    const xmlChar *text = nullptr;
    if (node->type == XML_ELEMENT_NODE &&
        (only == nullptr || (only->next == nullptr && (only->type == XML_TEXT_NODE ||
                                                       only->type == XML_CDATA_SECTION_NODE)))) {
        if (only != nullptr) text = only->content;
    } else {
        xmlChar *content = xmlNodeGetContent(node);
        out->owned_ = content;
        text = content;
    }
    out->p_ = text != nullptr ? reinterpret_cast<const char *>(text) : "";
    out->n_ = std::strlen(out->p_);
}

int32_t element_text(void *doc, const char *path, ElementText *out) {
    if (doc == nullptr || path == nullptr) return QEL_EINVAL;
    bool found = false;
    auto take = [&](const xmlNode *node, uint32_t) {
        if (node == nullptr) return;
        found = true;
        node_text(node, out);
    };
    if (!find(doc, path, false, take)) return QEL_EINVAL;
    return found ? 0 : QEL_ENOENT;
}

int32_t element_text(const void *elem, ElementText *out) {
    if (elem == nullptr) return QEL_ENOENT;
    node_text(elem, out);
    return 0;
}

} // namespace qel_standin::detail

void qel_standin::set_xml_name_tables(bool on) {
    detail::g_name_tables.store(on, std::memory_order_relaxed);
}

using namespace qel_standin::detail;

namespace {

// An element's text into buf, as xml_get_element_value gives it.
int32_t copy_value(const ElementText &text, char *buf, uint32_t size, uint32_t *needed) {
    if (needed != nullptr) *needed = static_cast<uint32_t>(text.size());
    if (buf == nullptr || size < text.size() + 1) return QEL_ENOSPC;
    std::memcpy(buf, text.data(), text.size() + 1);
    return 0;
}

} // namespace

extern "C" {

int32_t xml_get_element_value(void *doc, const char *path, char *buf, uint32_t size,
                              uint32_t *needed) {
    ElementText text;
    int32_t rc = element_text(doc, path, &text);
    return rc != 0 ? rc : copy_value(text, buf, size, needed);
}

int32_t xml_element_value(void *, const void *elem, char *buf, uint32_t size, uint32_t *needed) {
    ElementText text;
    int32_t rc = element_text(elem, &text);
    return rc != 0 ? rc : copy_value(text, buf, size, needed);
}

// Only plain paths walked on the tree give elements: what XPath gives may
// be no element, or a copy that goes with its result.
int32_t xml_element_find(void *doc, const char *path, const void **elem, uint32_t *count) {
    if (doc == nullptr || path == nullptr || elem == nullptr || count == nullptr)
        return QEL_EINVAL;
    xmlDocPtr d = nullptr;
    Answer a;
    if (!find_walked(doc, &d, path, true, &a)) return QEL_EINVAL;
    *elem = a.first;
    *count = a.found;
    return 0;
}

const void *xml_element_next(void *, const void *parent, const void *after, const char *name) {
    const xmlNode *c = after != nullptr ? static_cast<const xmlNode *>(after)->next
                                        : static_cast<const xmlNode *>(parent)->children;
    for (; c != nullptr; c = c->next) {
        if (c->type != XML_ELEMENT_NODE || c->ns != nullptr) continue;
        const auto *a = reinterpret_cast<const char *>(c->name);
        // (a name as the document holds it, which siblings of that name
        // share when the parser gave them one: the same text)
        if (name == nullptr || a == name) return c;
        // names are short and most differ early: compared here, not by strcmp
        const char *b = name;
        while (*a == *b && *a != '\0') ++a, ++b;
        if (*a == *b) return c;
    }
    return nullptr;
}

const char *xml_element_name(void *, const void *elem) {
    return reinterpret_cast<const char *>(static_cast<const xmlNode *>(elem)->name);
}

int32_t xml_get_element_nodecount(void *doc, const char *path, uint32_t *count) {
    if (doc == nullptr || path == nullptr) return QEL_EINVAL;
    uint32_t n = 0;
    if (!find(doc, path, true, [&](const xmlNode *, uint32_t k) { n = k; })) return QEL_EINVAL;
    if (count != nullptr) *count = n;
    return 0;
}

} // extern "C"

// What the library needs to check an element against its type: where it
// starts, what it holds besides its fields' elements, its attributes.
namespace {

bool xml_space(xmlChar c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The first character of text that is not whitespace, or null.
const xmlChar *past_space(const xmlChar *text) {
    if (text == nullptr) return nullptr;
    while (xml_space(*text)) ++text;
    return *text != 0 ? text : nullptr;
}

} // namespace

extern "C" {

int32_t xml_element_position(void *doc, const void *elem, uint32_t *line, uint32_t *column) {
    uint32_t l = 0, c = 0;
    // Only the runtime's own documents were parsed with positions; in a
    // program's own the word may be the program's.
    if (doc != nullptr && elem != nullptr && indexed(t_lookups.standing, doc) != nullptr) {
        const auto v = reinterpret_cast<uintptr_t>(static_cast<const xmlNode *>(elem)->_private);
        l = static_cast<uint32_t>(v >> kPositionBits);
        c = static_cast<uint32_t>(v & ((uintptr_t{1} << kPositionBits) - 1));
    }
    if (line != nullptr) *line = l;
    if (column != nullptr) *column = c;
    return l != 0 ? 0 : QEL_ENOENT;
}

uint32_t xml_element_content(void *, const void *elem, const char **text) {
    if (text != nullptr) *text = nullptr;
    if (elem == nullptr) return 0;
    uint32_t held = 0;
    for (const xmlNode *c = static_cast<const xmlNode *>(elem)->children; c != nullptr; c = c->next) {
        switch (c->type) {
        case XML_ELEMENT_NODE:
            held |= c->ns == nullptr ? QEL_XML_ELEMENTS : QEL_XML_FOREIGN;
            break;
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            if (const xmlChar *t = past_space(c->content)) {
                if ((held & QEL_XML_TEXT) == 0 && text != nullptr)
                    *text = reinterpret_cast<const char *>(t);
                held |= QEL_XML_TEXT;
            }
            break;
        case XML_ENTITY_REF_NODE: // an entity of the document's own: its text is not looked at
            held |= QEL_XML_TEXT;
            break;
        default: // comments, processing instructions
            break;
        }
    }
    return held;
}

int32_t xml_element_attribute(void *, const void *elem, const char *name, char *buf,
                              uint32_t size, uint32_t *needed) {
    if (elem == nullptr || name == nullptr) return QEL_EINVAL;
    auto *node = const_cast<xmlNode *>(static_cast<const xmlNode *>(elem));
    if (node->type != XML_ELEMENT_NODE) return QEL_EINVAL;
    xmlChar *value = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar *>(name));
    if (value == nullptr)
        return xmlHasNsProp(node, reinterpret_cast<const xmlChar *>(name), nullptr) != nullptr
                   ? QEL_ENOMEM
                   : QEL_ENOENT;
    const size_t n = std::strlen(reinterpret_cast<const char *>(value));
    if (needed != nullptr) *needed = static_cast<uint32_t>(n);
    int32_t rc = 0;
    if (buf == nullptr || size < n + 1)
        rc = QEL_ENOSPC;
    else
        std::memcpy(buf, value, n + 1);
    xmlFree(value);
    return rc;
}

} // extern "C"
