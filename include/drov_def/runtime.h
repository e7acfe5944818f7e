/*
 * The runtime handle every drov_def operation takes first: how to make one,
 * choose what it does, and free it.  Implemented by the runtime library
 * (libqel_standin); link it next to libdrov_def.
 *
 *     struct qel_handle *h = drov_def_runtime_new();
 *     uint32_t err = 0;
 *     vm_act_rsp_t *rsp = vm_act_rsp_create(h, 1);
 *     ...
 *     vm_act_rsp_destroy(h, 1, rsp);
 *     drov_def_runtime_free(h);
 *
 * A new handle records nothing, does not track state, gives every type its
 * highest variant and takes its blocks from malloc and free.  The setters
 * below change that; each returns 0 or an error number (22: an argument it
 * cannot use, 16: the handle still has blocks the change would orphan,
 * 12: out of memory) and leaves the handle as it was when it fails.
 *
 * A handle and what is made through it are used by one thread at a time.
 */
#ifndef DROV_DEF_RUNTIME_H
#define DROV_DEF_RUNTIME_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef DROV_DEF_RUNTIME_API
#define DROV_DEF_RUNTIME_API
#endif

struct qel_handle;    /**< qel_handle_t in drov_def.h */
struct qel_type_info; /**< a type's record, _vm_`<type>_type_info_internal` */

/**
 * Context ids.  The second argument of every operation is a number the
 * caller chooses (a connection, a table, a request: the library only hands
 * it on to the runtime).  DROV_DEF_CTX_NONE asks for no containment and no
 * database recording.
 */
#define DROV_DEF_CTX_NONE 0xFFFFFFFFu

/** State tracking: with it on, every instance carries one flag per field that
 * its setters mark. */
#define DROV_DEF_TRACKING_OFF 0
#define DROV_DEF_TRACKING_ON 1

/** The variant a type's instances get when none was chosen: the highest the
 * library knows. */
#define DROV_DEF_VARIANT_HIGHEST (-1)

/** The pool's chunk size when none is given: 64 KiB. */
#define DROV_DEF_POOL_CHUNK_DEFAULT 0u

/** A caller's allocator: user is the pointer given with the callbacks, ctx
 * the operation's context id.  alloc returns null when it has no memory. */
typedef void *(*drov_def_alloc_fn)(void *user, uint32_t ctx, uint32_t size);
typedef void (*drov_def_free_fn)(void *user, uint32_t ctx, void *block);

/** A new handle with the defaults above; null when memory is short. */
DROV_DEF_RUNTIME_API struct qel_handle *drov_def_runtime_new(void);

/** Frees the handle and the memory it keeps (with the pool: every block made
 * through it).  Instances still alive must not be used afterwards.  A null
 * handle is ignored. */
DROV_DEF_RUNTIME_API void drov_def_runtime_free(struct qel_handle *h);

/** DROV_DEF_TRACKING_OFF or _ON; only while no block is live (16). */
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_set_tracking(struct qel_handle *h, int tracking);

/** The variant new instances of a type get, 0 to 127, by the type's name
 * ("vm_act_rsp") or by its record (&_vm_act_rsp_type_info_internal, which
 * stands for its type); DROV_DEF_VARIANT_HIGHEST forgets the choice.  The
 * library never goes above the variants it knows. */
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_set_variant(struct qel_handle *h,
                                                           const char *type_name, int variant);
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_set_record_variant(
    struct qel_handle *h, const struct qel_type_info *record, int variant);

/**
 * Where the handle's blocks come from; each only while no block is live (16).
 *
 * malloc: malloc and free, the default; up to 16 freed blocks of each size
 *         up to 4 KiB (256 KiB in all) wait for the next request of their
 *         size, and go back to malloc at the next change or with the handle.
 * pool:   blocks cut from chunks of chunk_bytes (DROV_DEF_POOL_CHUNK_DEFAULT,
 *         or 4096 and more) that the handle owns; a freed block is kept for
 *         the next one of its size.  Chunks go back when the handle is freed
 *         or at drov_def_runtime_pool_reset.  Fastest where messages are made
 *         and dropped at a high rate.
 * caller: alloc and free (both given) with the caller's user pointer; the
 *         library then asks for every instance's block on its own.
 */
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_use_malloc(struct qel_handle *h);
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_use_pool(struct qel_handle *h,
                                                        uint32_t chunk_bytes);
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_use_allocator(struct qel_handle *h,
                                                             drov_def_alloc_fn alloc,
                                                             drov_def_free_fn free_fn,
                                                             void *user);
/** Takes back every block of the pool at once (22 without a pool): whatever
 * was made through the handle is gone, without being destroyed. */
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_pool_reset(struct qel_handle *h);

/** Blocks handed out and not yet freed (0 for a null handle).  Unless the
 * blocks come from the caller's allocator, the list elements of one decoding
 * share blocks (runs), and an instance with strings keeps short ones in its
 * own block: a run counts once, until its last instance goes. */
DROV_DEF_RUNTIME_API uint64_t drov_def_runtime_live_blocks(const struct qel_handle *h);

/** The error number the handle's last operation failed with: every
 * operation that takes an error word clears it when it starts, a failure
 * stores its number. */
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_last_error(const struct qel_handle *h);

/**
 * Where the handle's last operation failed, as far as the operation told
 * (the library's checks at the edges, the XML reading below, the layers
 * over the library).  code is the handle's last error; the rest describes
 * that failure only when it was recorded with it, and is empty otherwise
 * ("" and -1 and 0): a later failure without a place of its own, or an
 * operation that succeeds, leaves no stale place behind.  The record and its
 * strings belong to the handle and stay valid until its next operation.
 */
typedef struct drov_def_failure {
    uint32_t code;         /**< the handle's last error; 0: none */
    const char *operation; /**< "verify", "read_xml", "xml_parse", "decode", ... */
    const char *type;      /**< the type it was working on: "vm_act_rsp" */
    const char *path;      /**< the field: "vm_if_rsp.vm_if_info[3].mtu"; "" for the
                              type itself */
    int64_t offset;        /**< in an encoding: the byte, from its first; else -1 */
    uint32_t line;         /**< in XML text: the line, from 1; else 0 */
    uint32_t column;       /**< ... and the column, from 1, in bytes; else 0 */
    const char *reason;    /**< in words: "object flags 0x2b carry unknown bits 0x03" */
} drov_def_failure_t;
DROV_DEF_RUNTIME_API const drov_def_failure_t *drov_def_runtime_last_failure(
    const struct qel_handle *h);
/** Records a failure: f->code becomes the handle's last error and the rest
 * its place (the strings are copied; null counts as ""). */
DROV_DEF_RUNTIME_API void drov_def_runtime_set_failure(struct qel_handle *h,
                                                       const drov_def_failure_t *f);

/**
 * XML documents for the `<type>_from_xml` operations, so that a program reads
 * XML text without an XML library of its own.
 *
 * drov_def_runtime_xml_read parses len bytes of text (UTF-8 unless its XML
 * declaration names another encoding) into a document for from_xml and
 * stores it in *doc: 0; 22 for text that is not one well-formed XML
 * document, a null argument or a length above 2147483647; 12 when memory is
 * short.  *doc is null after a failure.  Nothing is fetched from elsewhere:
 * no network access, no external DTD or entity is loaded.  The document
 * belongs to the caller, who frees it with drov_def_runtime_xml_free (null
 * is ignored).  A document may be read by one thread at a time.
 *
 * The document is the runtime's own object, not a libxml2 xmlDocPtr: it is
 * only for the runtime's readers (from_xml), and nothing changes it until
 * it is freed, so lookups in it go on from what the lookup before them
 * found.  A program that wants a tree of its own parses with libxml2 and
 * hands that xmlDocPtr to from_xml (each lookup then starts from the top,
 * as the program may change the tree between calls);
 * drov_def_runtime_xml_free frees such a document too.
 */
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_xml_read(const char *text, size_t len, void **doc);
DROV_DEF_RUNTIME_API void drov_def_runtime_xml_free(void *doc);
/** drov_def_runtime_xml_read, and on failure the handle's last error and last
 * failure say why and where: operation "xml_parse", the parser's line and
 * column and its message ("Opening and ending tag mismatch: rc line 1 and
 * vm_act_rsp").  (Documents of either function know the line and column
 * of each element, which drov_def_read_xml reports.) */
DROV_DEF_RUNTIME_API uint32_t drov_def_runtime_xml_parse(struct qel_handle *h, const char *text,
                                                         size_t len, void **doc);

#ifdef __cplusplus
}
#endif

#endif
