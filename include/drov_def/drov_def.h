/*
 * libdrov_def: message and record types of the VM manager (module drov_def).
 *
 * Every type has a family of operations named <type>_<operation> and, for
 * structures, <type>_<field>_<operation>.  Every operation takes the
 * caller's runtime handle first and (apart from the _cr forms) a context id
 * second; most take a pointer to the caller's error word last and do nothing
 * while that word is non-zero.
 */
#ifndef DROV_DEF_H
#define DROV_DEF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DROV_DEF_API __attribute__((visibility("default")))

/* The type-info records (_vm_`<type>_type_info_internal`).  The runtime finds a
 * record's variant information in the 16 bytes in front of it, so a program
 * must use the library's own records and never a copy of one.  A program
 * built as a PIE would, by default, reach external data directly and have
 * the loader copy it into the program (a copy relocation).  A weak
 * declaration makes every compiler reach the record through the GOT
 * instead: a weak symbol may turn out absent, and an absent symbol cannot be
 * copied.  The records are always present; nothing else changes.  The library
 * itself defines them and sees plain declarations. */
#ifdef DROV_DEF_BUILDING_LIBRARY
#define DROV_DEF_RECORD DROV_DEF_API
#else
#define DROV_DEF_RECORD DROV_DEF_API __attribute__((weak))
#endif

/** Error numbers.  An operation that fails stores its number in the caller's
 * error word (and in the handle's last error); while the word is non-zero
 * every later operation given it returns at once, so a sequence of calls
 * needs one check at its end.  The numbers are Linux errno values, but their
 * strerror() texts do not fit (90 is not "Message too long" but a buffer too
 * short): drov_def_strerror gives the library's own words. */
#define DROV_DEF_ENOENT 2u   /**< absent: no XML element or value, no instance */
#define DROV_DEF_ENOMEM 12u  /**< out of memory: the handle's allocator failed */
#define DROV_DEF_EINVAL 22u  /**< invalid argument: null instance or buffer, bad length,
                                index or flag, instance without state tracking */
#define DROV_DEF_ENOSPC 28u  /**< output buffer too small: text cut to fit */
#define DROV_DEF_EIDRM 43u   /**< field or variant not known to the handle's domain */
#define DROV_DEF_EVARIANT DROV_DEF_EIDRM
#define DROV_DEF_EMSGSIZE 90u /**< buffer too short for the message */

typedef struct qel_handle qel_handle_t;
struct qel_type_info;

/** An enumeration instance: the 11-byte instance header, a zero byte and the
 * value. */
struct drov_def_enum_instance {
    struct qel_type_info *type_info;
    int8_t instance_variant;
    int8_t layout_variant;
    uint8_t obj_flags;
    uint8_t pad;
    uint32_t value;
};

/** The module's trace identifier, filled by the trace library. */
extern DROV_DEF_API uint16_t g_qel_drov_def_trace_module_id;
/** A second trace identifier; exported for the platform, unused here. */
extern DROV_DEF_API uint16_t g_qel_drov_def_stub_trace_module_id;
/** The message-bundle handler last registered through this module. */
extern DROV_DEF_API void *drov_def_bundle_registered_handler;

/** A text for an error number: the library's own words for its numbers and
 * for 16, which the runtime's handle setters return (drov_def/runtime.h);
 * "no error" for 0, and a general text for any other number (from_xml passes
 * the XML reader's own codes on unchanged).  The text is static. */
DROV_DEF_API const char *drov_def_strerror(uint32_t code);

/** Registers a private copy of every type-info record with the handle. */
DROV_DEF_API void drov_def_typeinfo_initialize(qel_handle_t *h, uint32_t ctx, uint32_t *err);

/** Prints the variant table of every type through a printf-like printer. */
typedef int (*drov_def_printer_fn)(const char *fmt, ...);
DROV_DEF_API void drov_def_type_variant_dump(drov_def_printer_fn printer);

/** Forward a message-bundle handler to the messaging library; both return
 * the handler registered before. */
DROV_DEF_API void *drov_def_bundle_handler_register(void *handler, uintptr_t a, uintptr_t b,
                                                    uintptr_t c, uintptr_t d, uintptr_t e);
DROV_DEF_API void *drov_def_bundle_handler_unregister(void *handler, uintptr_t a, uintptr_t b,
                                                      uintptr_t c, uintptr_t d, uintptr_t e);

/** Registers the module with the trace library. */
DROV_DEF_API int32_t qel_drov_def_trace_init(void);

/*
 * ---- Checks at the edges ----------------------------------------------------
 *
 * Operations of our own beside the per-type family, for programs that take
 * another process's bytes or a person's XML: they refuse what the per-type
 * operations would take without a word, and say where.  Each takes the
 * structure type as its record (&_vm_act_rsp_type_info_internal); a null
 * handle, record, buffer or instance, or a record that is not one of the
 * module's structures, is 22.  Like every operation they do nothing while
 * *err is non-zero and clear the handle's last error first.  A failure
 * stores its number in *err and in the handle, and the handle's last
 * failure (drov_def_runtime_last_failure, drov_def/runtime.h) says where:
 * the operation, the type, the field path ("vm_if_rsp.vm_if_info[3].mtu",
 * list positions counted from 0), the byte offset or the XML line and
 * column, and the reason in words.
 */

/** drov_def_verify: walks an encoding of `type` in buf (len bytes) the way
 * `<type>_unmarshal` reads it, builds nothing and allocates nothing, and
 * returns the bytes the message takes: where its body length points, which
 * may be less than len (the rest is not looked at).  Whatever it accepts,
 * `<type>_unmarshal` of exactly that many bytes into a fresh instance reads
 * without error and returns the same count.  0 on failure:
 *   90  the message is cut short: a header item, value, string, array or
 *       list runs past len, or a body length points past it;
 *   22  bytes no writer produces: a variant byte below -1 (a structure's or
 *       an enumeration's), object flags with bits other than 0x08 and 0x20,
 *       a body length that ends before the fields of the variants read do;
 *       also len < 1 and flags other than those below.
 * The first problem in the order of the bytes is reported, with the path of
 * the field (or nested structure, or list element) where it lies, "" for the
 * message's own header.  A message of a newer peer (variants this library
 * does not know, enumeration values it does not name) or an older one, and
 * a header of variant -1, pass. */
#define DROV_DEF_VERIFY_DOMAIN 0x1u /**< read each type as a peer that knows only
                                       the variants the handle's domain gives it */
DROV_DEF_API uint32_t drov_def_verify(qel_handle_t *h, const struct qel_type_info *type,
                                      const uint8_t *buf, int32_t len, uint32_t flags,
                                      uint32_t *err);

/** The same walk, telling fn each part of the encoding in the order of its
 * bytes (what a tool needs to lay a message out): the header of every
 * structure in it (the message, a nested record, a list element), every
 * field's value, the state flag after a record or list field, the bytes a
 * reader jumps over, and the end of every structure.  The parts tile the
 * message: each starts where the one before ended, and a structure's END
 * (at its body end) closes its HEADER.  A field's flag bytes belong to its
 * VALUE, except a record's or list's own flag, which is a FLAG part after
 * the nested structure or the list's elements.  The walk stops at the first
 * problem, as drov_def_verify does (null fn is 22); the parts before it were
 * told.  The item and its strings are valid during the call. */
enum drov_def_wire_part {
    DROV_DEF_WIRE_HEADER = 1,  /**< a structure's header */
    DROV_DEF_WIRE_VALUE = 2,   /**< a field's value; a string or array with its length
                                  field and element flags, a list's count */
    DROV_DEF_WIRE_FLAG = 3,    /**< the state flag after a record or list field */
    DROV_DEF_WIRE_SKIPPED = 4, /**< bytes up to where the body length points */
    DROV_DEF_WIRE_END = 5      /**< a structure's end */
};
typedef struct drov_def_wire_item {
    uint32_t part;                    /**< DROV_DEF_WIRE_* */
    uint32_t offset;                  /**< its first byte, from the message's first */
    uint32_t size;                    /**< its bytes (END: 0) */
    const char *path;                 /**< "" for the message, "vm_if_rsp",
                                         "vm_if_rsp.vm_if_info[2].mtu" */
    const char *field;                /**< VALUE, FLAG: the field's name; else "" */
    const struct qel_type_info *type; /**< the structure (VALUE, FLAG: the one
                                         whose field it is) */
    int8_t written;                   /**< HEADER, END: the variant byte */
    int8_t read;                      /**< HEADER, END: the variant read, -1 for none */
    uint8_t flags;                    /**< HEADER, END: the object-flag byte */
    uint64_t body_end;                /**< HEADER, END: where the body length points
                                         (0 when the header ends before it) */
    uint64_t fields_end;              /**< END: where the fields read end */
} drov_def_wire_item_t;
typedef void (*drov_def_wire_fn)(void *user, const drov_def_wire_item_t *item);
DROV_DEF_API uint32_t drov_def_verify_walk(qel_handle_t *h, const struct qel_type_info *type,
                                           const uint8_t *buf, int32_t len, uint32_t flags,
                                           drov_def_wire_fn fn, void *user, uint32_t *err);

/** The exact size of inst's encoding by `<type>_marshal` (with
 * DROV_DEF_SIZE_FOR_CLONE: by `<type>_marshal_for_clone`) into a large enough
 * buffer: the variant marshal writes (the domain's, when it knows less than
 * the instance; the 43 marshal would store is not stored here), ra data
 * blocks, and state flags where marshal writes them, which `<type>_len`
 * counts differently.  *room (when not null) gets the buffer size that
 * holds all of it, one more when the encoding ends in a list's state flag,
 * which marshal writes only with two bytes of room left.  No allocation.
 * 0 on failure (22 for unknown flags, or the runtime's error). */
#define DROV_DEF_SIZE_FOR_CLONE 0x1u
DROV_DEF_API uint32_t drov_def_encoded_size(qel_handle_t *h, uint32_t ctx,
                                            const struct qel_type_info *type, const void *inst,
                                            uint32_t flags, uint32_t *room, uint32_t *err);

/** drov_def_read_xml: `<type>_from_xml` of the element at path (an XPath such
 * as "/vm_act_rsp" or "/batch/vm_act_rsp[2]") of doc, after checking the
 * element against the schema; on a refusal nothing is read.  Refused with
 * 22: an element that is no field of its structure; a field given twice (an
 * array's or list's elements repeat); an enumeration whose element holds no
 * value name of its type, more than one, or text; a number that does not
 * parse or does not fit its field, as the runtime's reader of its type reads
 * it (length fields are only checked so); a string longer than its length
 * field counts (255, 65535, 4294967294 bytes), a text or array longer than
 * its capacity; text or an element in a namespace between a structure's
 * fields, elements or text in a number or string; a path that is not a plain
 * path of element names and positions, or that selects more than one
 * element.  With 43: a field of a later variant than the handle's domain
 * gives its type.  With 2: no element at path.  Attributes are not looked
 * at.  The failure's line and column are the offending element's, or the
 * structure's for text between its fields (known for documents of
 * drov_def_runtime_xml_read and _parse).  Absent fields keep their values,
 * as with from_xml, and list elements are appended.  An enumeration value
 * written as `<TYPE value="N"/>` (what drov_def_write_xml writes for a number
 * the type does not name) reads back as N, the number `<type>_get_value`
 * gives, stored whatever it is as a decoding stores a newer peer's value.
 * DROV_DEF_XML_LENIENT checks nothing: from_xml's reading, plus that
 * numeric form where the path selects one element and no value name stands
 * beside it.  A failure of from_xml itself (12, or in the lenient reading a
 * value that does not read) is recorded with the field its message names.
 * After a reading that succeeds the handle's last error is 0. */
#define DROV_DEF_XML_LENIENT 0x1u
DROV_DEF_API void drov_def_read_xml(qel_handle_t *h, uint32_t ctx, const struct qel_type_info *type,
                                    const char *path, void *doc, void *inst, uint32_t flags,
                                    uint32_t *err);

/** drov_def_write_xml: `<type>_to_xml`, except that an enumeration value the
 * type does not name (a newer peer's) is written as `<TYPE value="N"/>`, well
 * formed and read back by drov_def_read_xml, where to_xml writes
 * `<TYPE value out of range/>`; never longer.  Arguments and result as
 * to_xml's; a text that does not fit (28) is what to_xml gave. */
DROV_DEF_API uint32_t drov_def_write_xml(qel_handle_t *h, uint32_t ctx,
                                         const struct qel_type_info *type, const char *tag,
                                         char *buf, const void *inst, uint32_t len, uint8_t flag,
                                         uint32_t *err);

#ifdef __cplusplus
}
#endif

#include "drov_def/drov_def_types.h"

#endif
