/*
 * The type runtime as libdrov_def sees it: the runtime handle, the static
 * type descriptions shared with the runtime, and the runtime operations the
 * generated type code calls.  The runtime itself lives in another library;
 * this header only declares what the module relies on.
 */
#ifndef QEL_RUNTIME_QEL_H
#define QEL_RUNTIME_QEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QEL_RUNTIME_BUILD)
#define QEL_API __attribute__((visibility("default")))
#else
#define QEL_API
#endif

/* ---- Errors (Linux errno values) ------------------------------------- */
#define QEL_ENOENT 2u
#define QEL_ENOMEM 12u
#define QEL_EINVAL 22u
#define QEL_ENOSPC 28u
#define QEL_EIDRM 43u /* epoch error */
#define QEL_EMSGSIZE 90u

/* Context id that records no containment and no database change. */
#define QEL_CTX_NONE 0xFFFFFFFFu

/* State-tracking markers of a handle's state-tracking record. */
#define QEL_STTR_ON 0xEEEEu
#define QEL_STTR_OFF 0xDDDDu

/* Object flags of the instance header (byte 10). */
#define QEL_OBJ_OID_MAPPED 0x01u
#define QEL_OBJ_EMBEDDED 0x02u
#define QEL_OBJ_NESTED 0x04u
#define QEL_OBJ_STATE_TRACKED 0x08u
#define QEL_OBJ_RA_DATA 0x20u
#define QEL_OBJ_STTR_OFFSET 0x40u
#define QEL_OBJ_OWNS_TYPE_INFO 0x80u

#define QEL_TYPE_INFO_MAGIC 0xBEEFF00Du

/* ---- Static type descriptions ------------------------------------------ */

/* One per variant of a type; the counters are process-wide. */
typedef struct qel_variant_entry {
    uint32_t variant;
    uint32_t used_length;
    uint32_t alloc_slop;
    uint32_t pad;
    uint64_t creates;
    uint64_t destroys;
    uint64_t reserved;
} qel_variant_entry_t;

typedef struct qel_variant_info {
    int8_t count;
    uint8_t pad[7];
    qel_variant_entry_t *entries;
} qel_variant_info_t;

/* The type-info record; 272 bytes, layout shared with the runtime. */
typedef struct qel_type_info {
    uint32_t magic;
    uint8_t digest[16];
    char digest_str[33];
    char name[64];
    char module[64];
    char kind[64];
    uint8_t pad0[3];
    int32_t luid;
    uint32_t reserved;
    qel_variant_info_t *variant_info;
    uint32_t private_copy;
    uint8_t pad1[4];
} qel_type_info_t;

/* A handle's registered copy: the record and two runtime words. */
typedef struct qel_type_info_copy {
    qel_type_info_t record;
    uint64_t runtime_words[2];
} qel_type_info_copy_t;

/* The first 11 bytes of every instance. */
typedef struct qel_instance_header {
    qel_type_info_t *type_info;
    int8_t instance_variant;
    int8_t layout_variant;
    uint8_t obj_flags;
} qel_instance_header_t;

/* Module descriptor, an element of the runtime's module tail queue. */
typedef struct qel_module_desc {
    const char *name;
    qel_type_info_t *const *type_table;
    struct qel_module_desc *next;
    struct qel_module_desc **prev_next; /* address of the previous next link */
} qel_module_desc_t;

typedef struct qel_module_list {
    uint32_t count;
    qel_module_desc_t *first;
    qel_module_desc_t **last_next; /* address of the last next link */
} qel_module_list_t;

extern QEL_API qel_module_list_t qel_module_tot_root;

/* ---- The runtime handle ------------------------------------------------- */

/*
 * What a runtime lets the library do itself instead of calling it, in the
 * handle's features word.  A bit is a promise that the library's own work
 * is exactly what the calls would have done (the same bytes, values, errors
 * and counts); a runtime that sets none gets every call.
 *
 * PLAIN_CODECS: the primitive and header coders are the standard ones:
 *   big-endian, u_int8 and char 1 byte, u_int16 2, u_int32 and if_handle 4,
 *   qel_boolean 1 (non-zero reads and writes as 1), the variant and
 *   object-flag items 1 byte, the body length and list count 4, and a short
 *   room stores 90 through qel_store_err; qel_get_instance_variant, _obj_flag
 *   and qel_get_manifested_type_info read the instance header.
 * PLAIN_OBJECTS: booleans and interface handles are plain 4-byte values:
 *   initialising one stores 0 (announced when asked), and they hold no
 *   object references, so embedding and destroying them do nothing.
 * PLAIN_STATS: the statistics of creation and destruction are the variant
 *   entries' counters: the counter notification, then one addition (atomic
 *   unless the process has a single thread).
 * QUIET: nothing watches the calls of one operation, so its parts (nested
 *   records, list elements, enumeration fields) need not clear the last
 *   error again, and the variant domain does not change while it runs.
 * XML_ELEMENTS: nothing watches the XML reading calls, and the runtime
 *   reads by elements too (xml_element_find and the readers that take an
 *   element, below): a structure's fields may be read as children of its
 *   element instead of by their paths.
 * QUIET_RANGES: nothing keeps or refuses the memory-range announcements
 *   made for the handle's allocator context, so the library need not make
 *   them (norla_set_range before a list link changes).
 * HIGHEST_VARIANTS: the variant domain names no type and refuses nothing:
 *   qel_domain_lookup_variant answers a record's highest variant (its
 *   variant count - 1; 0 without variant information or record) and leaves
 *   the error word alone, so the library may give that answer itself.
 * INSTANCE_RUNS: nothing watches the allocator's blocks one by one (which
 *   call a block came from, how many there are) and the runtime never frees
 *   an instance itself: the library may take several list elements of one
 *   decoding from one block, which it gives back when the last of them is
 *   destroyed.  It marks such an element with object flag 0x10, a bit the
 *   runtime leaves alone (one that copies an instance's bytes over another
 *   keeps the destination's), and keeps the block's address in the 8 bytes
 *   before the element.
 */
#define QEL_FEATURE_PLAIN_CODECS 0x1u
#define QEL_FEATURE_PLAIN_OBJECTS 0x2u
#define QEL_FEATURE_PLAIN_STATS 0x4u
#define QEL_FEATURE_QUIET 0x8u
#define QEL_FEATURE_XML_ELEMENTS 0x10u
#define QEL_FEATURE_QUIET_RANGES 0x20u
#define QEL_FEATURE_HIGHEST_VARIANTS 0x40u
#define QEL_FEATURE_INSTANCE_RUNS 0x80u
#define QEL_FEATURES_ALL 0xFFu

typedef struct qel_handle qel_handle_t;

typedef struct qel_sttr_record {
    uint32_t marker; /* QEL_STTR_ON or QEL_STTR_OFF */
    uint32_t reserved;
} qel_sttr_record_t;

typedef void *(*qel_alloc_fn)(void *alloc_ctx, uint32_t ctx, uint32_t size);
typedef void (*qel_free_fn)(void *alloc_ctx, uint32_t ctx, void *block);
typedef void (*qel_write_notify_fn)(qel_handle_t *h, const void *addr, uint32_t len,
                                    uint32_t ctx, const void *owner);
typedef void (*qel_counter_notify_fn)(void *alloc_ctx, uint64_t *counter, uint32_t delta,
                                      uint32_t ctx);
typedef qel_type_info_t *(*qel_registry_lookup_fn)(qel_handle_t *h, uint32_t ctx,
                                                   const char *digest_str);
typedef int (*qel_registry_insert_fn)(qel_handle_t *h, uint32_t ctx, const char *digest_str,
                                      qel_type_info_t *copy);
typedef void *(*qel_module_alloc_fn)(qel_handle_t *h, uint32_t ctx, uint32_t size);
typedef void (*qel_typeinfo_init_fn)(qel_handle_t *h, uint32_t ctx, uint32_t *err);

struct qel_handle {
    qel_alloc_fn allocate;
    qel_free_fn free;
    void *alloc_ctx;
    qel_write_notify_fn write_notify;
    qel_counter_notify_fn counter_notify;
    qel_registry_lookup_fn registry_lookup;
    qel_registry_insert_fn registry_insert;
    qel_module_alloc_fn module_alloc;
    uint32_t type_info_mode;        /* non-zero: instances use the handle's record copies */
    uint32_t cur_ctx_id;            /* context id of _cr operations */
    uint32_t err;                   /* error word of _cr operations */
    uint32_t cr_in_progress;        /* set while a _cr creation runs */
    uint32_t containment_recording; /* non-zero: record containment */
    uint32_t per_object_mapping;    /* non-zero: per-object mappings exist */
    void *variant_domain;
    void *workspace;
    uint32_t workspace_len;
    uint32_t features;       /* QEL_FEATURE_* bits: work the library may do itself */
    qel_sttr_record_t *sttr; /* null: no state tracking */
    void *runtime;           /* private to the runtime */
};

/* ---- Type runtime operations -------------------------------------------- */

QEL_API int8_t qel_domain_lookup_variant(qel_handle_t *h, void *domain,
                                         const qel_type_info_t *ti, uint32_t *err);
QEL_API qel_type_info_t *qel_type_info_ptr_get(qel_handle_t *h, uint32_t ctx,
                                               qel_type_info_t *record,
                                               qel_typeinfo_init_fn init);
QEL_API qel_type_info_t *qel_get_manifested_type_info(const void *inst);
QEL_API qel_type_info_t **qel_get_manifested_type_info_ptr_mem(void *inst);
QEL_API int8_t qel_get_instance_variant(const void *inst, int32_t adjust, int32_t is_signed);
QEL_API uint8_t qel_get_instance_obj_flag(const void *inst);
QEL_API int32_t qellib_adjust_variant(qel_handle_t *h, uint32_t ctx, void *inst,
                                      const qel_type_info_t *ti, int8_t highest, uint32_t *err);
QEL_API uint32_t qellib_get_sttr_offset(qel_handle_t *h, uint32_t ctx, const void *inst);
QEL_API int32_t qellib_update_sttr_offset(qel_handle_t *h, uint32_t ctx, void *field,
                                          uint32_t offset);
QEL_API void qeldb_record_containment2(qel_handle_t *h, uint32_t ctx, const void *obj,
                                       const void *owner, int32_t flag);
QEL_API void qeldb_plat_set_dirty(qel_handle_t *h, uint32_t ctx, const void *inst);
QEL_API void qeldb_plat_set_destroy(qel_handle_t *h, uint32_t ctx, const void *inst);
QEL_API void qeldb_plat_set_detach(qel_handle_t *h, uint32_t ctx, const void *inst,
                                   int32_t flag);
QEL_API void qel_store_err(qel_handle_t *h, uint32_t code);
QEL_API void qel_store_epoch_err(qel_handle_t *h, uint32_t code, uint32_t *err);
QEL_API void qel_clear_last_error(qel_handle_t *h);
/* Stores code as qel_store_err does and records where the operation failed
 * (drov_def_runtime_last_failure of drov_def/runtime.h): the strings are
 * copied, null counts as "", offset -1 and line 0 for none. */
QEL_API void qel_store_failure(qel_handle_t *h, uint32_t code, const char *operation,
                               const char *type, const char *path, int64_t offset,
                               uint32_t line, uint32_t column, const char *reason);
QEL_API void qel_update_variant_info(qel_handle_t *h, uint32_t ctx, qel_type_info_t *copy,
                                     const qel_type_info_t *record, int32_t is_new);
QEL_API void *qellib_get_handle_ws(qel_handle_t *h, uint32_t *len);
QEL_API void qellib_type_stats_create_object(qel_handle_t *h, uint32_t ctx,
                                             const qel_type_info_t *ti,
                                             qel_variant_entry_t *entry, uint32_t *err);
QEL_API void qellib_type_stats_destroy_object(qel_handle_t *h, uint32_t ctx,
                                              const qel_type_info_t *ti,
                                              qel_variant_entry_t *entry, uint32_t *err);
QEL_API uintptr_t qel_get_luid(uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d,
                               uintptr_t e, uintptr_t f);
QEL_API void qel_hd_mapping_destroy(qel_handle_t *h, uint32_t ctx, void *inst, uint32_t *err);
QEL_API int32_t qel_request_oid_mapping_destroy(qel_handle_t *h, uint32_t ctx, void *inst,
                                                uint32_t *err);
QEL_API void qellib_lookup_and_update_oid_ref_count(qel_handle_t *h, uint32_t ctx,
                                                    uint64_t ref, int32_t delta,
                                                    uint32_t *err);

/* ---- Text helpers -------------------------------------------------------- */

/*
 * Every helper below, and every operation of the primitive families that
 * takes an error word, follows the module's own contract: while *err holds
 * an error it does nothing and returns 0; otherwise it clears the handle's
 * last error first.  A failure stores its code in *err and in the handle.
 *
 * Writers put at most len-1 characters and a NUL into buf and return the
 * characters written; output that does not fit is cut and stores 28.
 */
QEL_API int32_t qel_print_space(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                                int32_t len, uint32_t *err);
QEL_API int32_t qel_snprintf(qel_handle_t *h, uint32_t ctx, char *buf, int32_t len,
                             uint32_t *err, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));

/* ---- XML helpers (documents are the XML library's parsed documents) ----- */

/* start_tag writes <tag>, or <tag state="N"> for a non-zero state flag N;
 * end_tag </tag>; xml_enum_print the first text_len characters of text
 * (markup, written as given). */
QEL_API int32_t start_tag(qel_handle_t *h, uint32_t ctx, char *buf, const char *tag,
                          int32_t len, int32_t flag, uint32_t *err);
QEL_API int32_t end_tag(qel_handle_t *h, uint32_t ctx, char *buf, const char *tag, int32_t len,
                        uint32_t *err);
QEL_API int32_t xml_enum_print(qel_handle_t *h, uint32_t ctx, char *buf, const char *text,
                               int32_t len, int32_t text_len, uint32_t *err);
/* 0: found and copied; 2: no such element; 28: buf absent or too small, with
 * the value's length in *needed when given; anything else: the error. */
QEL_API int32_t xml_get_element_value(void *doc, const char *path, char *buf, uint32_t size,
                                      uint32_t *needed);
/* 0 with the number of matching elements in *count, or the error. */
QEL_API int32_t xml_get_element_nodecount(void *doc, const char *path, uint32_t *count);

/*
 * Reading by elements (QEL_FEATURE_XML_ELEMENTS).  An element found in a
 * document stays valid while the document is neither changed nor freed.
 * xml_element_find: 0 with the first element the path selects (null for
 * none) and how many it selects, as xml_get_element_nodecount counts them;
 * non-zero for a path or document the runtime does not read by elements
 * (then only the path lookups answer for it).  xml_element_next: the first
 * element child of parent after `after` (null: from the first child) that
 * is in no namespace and named `name` (null: any), or null.
 * xml_element_value is xml_get_element_value of the element (2 for null),
 * and each reader of an element (T_from_xml_element, var_string_ and
 * null_string_from_xml_element) is its T_from_xml reading the element
 * (absent when null) that a path selects first, except that it writes no
 * message: the caller, who knows the path, writes "Failed xpath: <path>".
 */
QEL_API int32_t xml_element_find(void *doc, const char *path, const void **elem,
                                 uint32_t *count);
QEL_API const void *xml_element_next(void *doc, const void *parent, const void *after,
                                     const char *name);
QEL_API const char *xml_element_name(void *doc, const void *elem);
/* Where an element's start tag begins in the text the runtime parsed: 0 with
 * its line and column (both from 1, the column in bytes; in a text of
 * another encoding than UTF-8, in characters); 2, with both 0, when the
 * runtime does not know (an element of a program's own xmlDocPtr, or null). */
QEL_API int32_t xml_element_position(void *doc, const void *elem, uint32_t *line,
                                     uint32_t *column);
/* What an element holds directly, as bits: QEL_XML_ELEMENTS element
 * children in no namespace (those xml_element_next walks), QEL_XML_FOREIGN
 * element children in a namespace, QEL_XML_TEXT character data other than
 * whitespace (CDATA sections included; a reference to an entity the
 * document declares counts as text).  *text (when not null) gets the first
 * such text from its first character that is not whitespace, valid while
 * the document is, or null.  Comments and processing instructions count
 * for nothing; 0 for null. */
#define QEL_XML_ELEMENTS 0x1u
#define QEL_XML_FOREIGN 0x2u
#define QEL_XML_TEXT 0x4u
QEL_API uint32_t xml_element_content(void *doc, const void *elem, const char **text);
/* The value of elem's attribute `name` in no namespace, copied into buf as
 * xml_element_value copies: 0; 2 when it has none; 28 when buf is absent or
 * too small (the value's length in *needed when given); 22 for no element
 * or name; 12 when memory is short. */
QEL_API int32_t xml_element_attribute(void *doc, const void *elem, const char *name, char *buf,
                                      uint32_t size, uint32_t *needed);
QEL_API int32_t xml_element_value(void *doc, const void *elem, char *buf, uint32_t size,
                                  uint32_t *needed);

/* ---- Header items of the instance encoding ------------------------------ */

QEL_API uint32_t _qel_instance_variant_marshal(qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                                               const int8_t *v, int32_t len, uint32_t *err);
QEL_API uint32_t _qel_instance_variant_unmarshal(qel_handle_t *h, uint32_t ctx,
                                                 const uint8_t *buf, int8_t *v, int32_t len,
                                                 uint32_t *err);
QEL_API uint32_t _qel_instance_obj_flag_marshal(qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                                                const uint8_t *v, int32_t len, uint32_t *err);
QEL_API uint32_t _qel_instance_obj_flag_unmarshal(qel_handle_t *h, uint32_t ctx,
                                                  const uint8_t *buf, uint8_t *v, int32_t len,
                                                  uint32_t *err);
QEL_API uint32_t _qel_instance_ra_data_marshal(qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                                               uint64_t a, uint8_t b, int32_t len,
                                               uint32_t *err);
QEL_API uint32_t _qel_instance_ra_data_unmarshal(qel_handle_t *h, uint32_t ctx,
                                                 const uint8_t *buf, int32_t len,
                                                 uint32_t *err);
QEL_API uint32_t _qel_variant_jump_marshal(qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                                           const uint32_t *v, int32_t len, uint32_t *err);
QEL_API uint32_t _qel_variant_jump_unmarshal(qel_handle_t *h, uint32_t ctx, const uint8_t *buf,
                                             uint32_t *v, int32_t len, uint32_t *err);
QEL_API uint32_t _qel_list_len_marshal(qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                                       const uint32_t *v, int32_t len, uint32_t *err);
QEL_API uint32_t _qel_list_len_unmarshal(qel_handle_t *h, uint32_t ctx, const uint8_t *buf,
                                         uint32_t *v, int32_t len, uint32_t *err);

/* ---- Primitive types ----------------------------------------------------- */

typedef uint8_t u_int8;
typedef uint16_t u_int16;
typedef uint32_t u_int32;
typedef uint32_t qel_boolean; /* 4 bytes in an instance */
typedef uint32_t if_handle;   /* 4 bytes in an instance */

/*
 * Every primitive type T with C type CT has the same family.  Encodings are
 * in network byte order; u_int8, char and qel_boolean take 1 byte, u_int16
 * 2, u_int32 and if_handle 4.  Marshal and unmarshal return the bytes
 * written or read, or 0 with 90 in *err when the room is too small.
 * print writes one line "label:value" (after indent spaces); to_xml one
 * element <tag>value</tag> whose opening tag shows the state flag as
 * start_tag does; from_xml reads the element at path, stores 2 when it is
 * absent and, for any other failure, also writes "Failed xpath: <path>"
 * into msg (bounded by msg_size; none when msg is null).
 */
#define QEL_PRIMITIVE_FAMILY(T, CT)                                                          \
    QEL_API CT *T##_get(qel_handle_t *h, uint32_t ctx, CT *field, uint32_t *err);            \
    QEL_API CT T##_get_value(qel_handle_t *h, uint32_t ctx, const CT *p, uint32_t *err);     \
    QEL_API void T##_set(qel_handle_t *h, uint32_t ctx, CT *field, const CT *src,            \
                         uint32_t *err);                                                     \
    QEL_API void T##_set_value(qel_handle_t *h, uint32_t ctx, CT *field, CT value,           \
                               uint32_t *err);                                               \
    QEL_API uint32_t T##_marshal(qel_handle_t *h, uint32_t ctx, uint8_t *buf, const CT *v,   \
                                 int32_t len, uint32_t *err);                                \
    QEL_API uint32_t T##_unmarshal(qel_handle_t *h, uint32_t ctx, const uint8_t *buf, CT *v, \
                                   int32_t len, uint32_t update, uint32_t *err);             \
    QEL_API uint32_t T##_len(void);                                                          \
    QEL_API uint32_t T##_sizeof(void);                                                       \
    QEL_API int32_t T##_print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,      \
                              const char *label, const CT *v, int32_t len, uint32_t *err);   \
    QEL_API int32_t T##_to_xml(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,    \
                               const CT *v, int32_t len, uint32_t flag, uint32_t *err);      \
    QEL_API void T##_from_xml(qel_handle_t *h, uint32_t ctx, const char *path, void *doc,    \
                              CT *v, uint32_t *err, char *msg, uint32_t msg_size);           \
    QEL_API void T##_from_xml_element(qel_handle_t *h, uint32_t ctx, void *doc,              \
                                      const void *elem, CT *v, uint32_t *err);               \
    QEL_API int32_t T##_compare(const CT *a, const CT *b);                                   \
    QEL_API uint32_t T##_hash(const CT *v, uint32_t running);

QEL_PRIMITIVE_FAMILY(u_int8, u_int8)
QEL_PRIMITIVE_FAMILY(u_int16, u_int16)
QEL_PRIMITIVE_FAMILY(u_int32, u_int32)
QEL_PRIMITIVE_FAMILY(qel_boolean, qel_boolean)
QEL_PRIMITIVE_FAMILY(if_handle, if_handle)
QEL_PRIMITIVE_FAMILY(char, char)

/* Runtime-owned embedded values (booleans, interface handles) also have an
 * object life: initialise, embed, reference queries and destroy. */
#define QEL_OBJECT_FAMILY(T)                                                                 \
    QEL_API void T##_initialize(qel_handle_t *h, uint32_t ctx, T *field,                     \
                                const qel_type_info_t *ti, int32_t notify, int32_t hdr_only, \
                                uint8_t flags, void *sttr_base, uint32_t *err);              \
    QEL_API void T##_set_instance_embedded(qel_handle_t *h, uint32_t ctx, T *field);         \
    QEL_API uint32_t T##_get_oid_count(qel_handle_t *h, uint32_t ctx, T *field,              \
                                       uint32_t *err);                                       \
    QEL_API void T##_get_object_references(qel_handle_t *h, uint32_t ctx, T *field,          \
                                           uint64_t *refs, uint32_t cap, uint32_t *err);     \
    QEL_API void T##_destroy_internal(qel_handle_t *h, uint32_t ctx, T *field,               \
                                      uint32_t release);

QEL_OBJECT_FAMILY(qel_boolean)
QEL_OBJECT_FAMILY(if_handle)

/* The runtime's type-info records of its own object types. */
extern QEL_API qel_type_info_t qel_boolean_type_info;
extern QEL_API qel_type_info_t if_handle_type_info;

/* A lone u_int8 from the handle's allocator, zeroed; null on failure. */
QEL_API u_int8 *u_int8_create(qel_handle_t *h, uint32_t ctx);
QEL_API void u_int8_destroy(qel_handle_t *h, uint32_t ctx, u_int8 *p);

/* ---- Strings ------------------------------------------------------------- */

/*
 * The module's strings are plain character blocks.  var_string: a counted
 * string of n characters that may contain NULs (chars may be null when n
 * is 0).  null_string: a fixed array of cap characters, NUL-terminated when
 * shorter, held in cap + 1 bytes.
 *
 * print writes label:"text" with C escapes (\" \\ \n \t \r, other bytes
 * below 0x20 or from 0x7f on as \xHH) and a newline; to_xml writes the text
 * as XML character data, each byte XML 1.0 cannot carry as U+FFFD.
 *
 * var_string_from_xml reads the element's value into buf (size counts the
 * NUL): 2 when absent, 28 when it does not fit.  null_string_from_xml stores
 * at most cap characters and a NUL after them when shorter; a longer value
 * is 28.  Failures other than 2 also write "Failed xpath: <path>" into msg.
 */
QEL_API int32_t var_string_print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                                 const char *label, const char *chars, uint32_t n, int32_t len,
                                 uint32_t *err);
QEL_API int32_t var_string_to_xml(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,
                                  const char *chars, uint32_t n, int32_t len, uint32_t flag,
                                  uint32_t *err);
QEL_API void var_string_from_xml(qel_handle_t *h, uint32_t ctx, const char *path, void *doc,
                                 char *buf, uint32_t size, uint32_t *err, char *msg,
                                 uint32_t msg_size);
QEL_API void var_string_from_xml_element(qel_handle_t *h, uint32_t ctx, void *doc,
                                         const void *elem, char *buf, uint32_t size,
                                         uint32_t *err);
QEL_API int32_t null_string_print(qel_handle_t *h, uint32_t ctx, char *buf, int32_t indent,
                                  const char *label, const char *chars, uint32_t cap,
                                  int32_t len, uint32_t *err);
QEL_API int32_t null_string_to_xml(qel_handle_t *h, uint32_t ctx, const char *tag, char *buf,
                                   const char *chars, uint32_t cap, int32_t len, uint32_t flag,
                                   uint32_t *err);
QEL_API void null_string_from_xml(qel_handle_t *h, uint32_t ctx, const char *path, void *doc,
                                  char *chars, uint32_t cap, uint32_t *err, char *msg,
                                  uint32_t msg_size);
QEL_API void null_string_from_xml_element(qel_handle_t *h, uint32_t ctx, void *doc,
                                          const void *elem, char *chars, uint32_t cap,
                                          uint32_t *err);

/* ---- Hash ---------------------------------------------------------------- */

/* Paul Hsieh's SuperFastHash, starting from the given running hash instead
 * of the length; 0 for null data or a length of 0 or below. */
QEL_API uint32_t SuperFastHash(const char *data, int32_t len, uint32_t running);

#ifdef __cplusplus
}
#endif

#endif
