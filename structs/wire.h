// The wire form of a structure and cloning through it.
//
// An encoding is a header (variant byte, object-flag byte, an ra data block
// when the flag byte says so, and a body-length word counting from its own
// first byte to the end) and the fields of variants 0 up to the encoded
// variant in declaration order, each followed by its state flag when the
// flag byte carries STATE_TRACKED.  A reader that knows fewer variants reads
// what it knows and jumps over the rest by the body length; a writer limits
// itself to the variant its handle's domain knows.  One encoder walk and one
// decoder walk over the field list, the kinds' members in wire_kinds.h.
#pragma once

#include "structs/wire_kinds.h"

namespace drov::structs {

template <uint32_t T> struct Wire {
    static constexpr const TypeDesc &t = kTypes[T];
    using P = tp::TypePoints<T>;
    using S = Struct<T>;
    static constexpr bool kListOwner = [] {
        for (uint32_t i = 0; i < t.field_count; ++i)
            if (t.fields[i].kind == FieldKind::List) return true;
        return false;
    }();

    // The bytes of an encoding of this type when every field takes a fixed
    // number of them (a nested record as the last field reads its own),
    // header included; 0 for any other type.
    static constexpr uint32_t kSureBytes = [] {
        int32_t n = CodecVariant::kWire + CodecObjFlags::kWire + CodecJump::kWire;
        each_field<T>([&](auto k) {
            using K = decltype(k);
            if (n < 0) return;
            if (WireOf<K>::kFixed != kVaries) n += WireOf<K>::kFixed;
            else if (K::d.kind != FieldKind::Record || K::kIndex + 1 != t.field_count) n = -1;
        });
        return n < 0 ? 0u : static_cast<uint32_t>(n);
    }();

    // The bytes of an encoding of this type in its highest variant when
    // every field takes a fixed number of them, a nested record (only as
    // the last field) alike, with no ra data and no state flags, header
    // included; 0 for any other type.  Whatever a part written otherwise
    // takes, nothing of its owner follows it.
    static constexpr uint32_t kFlatBytes = [] {
        if constexpr (kSureBytes == 0 || t.field_count == 0) {
            return kSureBytes;
        } else {
            constexpr const FieldDesc &last = t.fields[t.field_count - 1];
            if constexpr (last.kind != FieldKind::Record) return kSureBytes;
            else {
                constexpr uint32_t r = Wire<static_cast<uint32_t>(last.ref)>::kFlatBytes;
                return r == 0 ? 0u : kSureBytes + r;
            }
        }
    }();

    // ---- Encoding ---------------------------------------------------------------------

    // Both directions: nothing while the error word is set, 90 for no room,
    // 22 for no buffer or no instance.  The last error is cleared, except
    // in a part of an operation under a quiet runtime (`again`: it was
    // cleared when the operation began, and nothing set it since without
    // setting the error word).
    static bool begin(qel_handle_t *h, const void *buf, const void *inst, int32_t len,
                      uint32_t *err, bool again = true) {
        if (*err != 0) return false;
        if (again) qel_clear_last_error(h);
        if (len < 1) {
            fail(h, err, QEL_EMSGSIZE);
            return false;
        }
        if (inst == nullptr || buf == nullptr) {
            fail(h, err, QEL_EINVAL);
            return false;
        }
        return true;
    }

    // The encoder body that marshal, marshal_for_clone, nested records and
    // list elements share.  An instance newer than the domain is written in
    // the domain's variant and the encoding's epoch is set; the caller
    // records the epoch error once the whole encoding is written.
    template <bool Nested = true>
    static uint32_t encode(qel_handle_t *h, uint32_t ctx, uint8_t *buf, const void *inst,
                           int32_t len, uint32_t *err, Mode mode, Encoding &enc) {
        return enc.plain ? encode_as<Nested, true>(h, ctx, buf, inst, len, err, mode, enc)
                         : encode_as<Nested, false>(h, ctx, buf, inst, len, err, mode, enc);
    }
    // The encoder body for the runtime's own coders or the standard ones.
    template <bool Nested, bool Plain>
    static uint32_t encode_as(qel_handle_t *h, uint32_t ctx, uint8_t *buf, const void *inst,
                              int32_t len, uint32_t *err, Mode mode, Encoding &enc) {
        if (!begin(h, buf, inst, len, err, !(Nested && enc.quiet))) return 0;
        const qel_instance_header_t &hd = hdr(inst);
        int8_t v = hd.instance_variant;
        if (mode == Mode::Marshal) {
            int8_t known = enc.known(h, T, hd.type_info, err);
            if (v > known) {
                enc.epoch = true;
                v = known;
            }
        }
        v = S::cap(v);

        const bool with_flags = tracks(h, P::marshal_corrupted);
        const uint8_t g = static_cast<uint8_t>((hd.obj_flags & QEL_OBJ_RA_DATA) |
                                               (with_flags ? QEL_OBJ_STATE_TRACKED : 0));
        if constexpr (Plain && kSureBytes != 0) {
            // Room for every byte this type's fields can take, and no state
            // flags or ra data to come between them.
            if (g == 0 && len >= static_cast<int32_t>(kSureBytes))
                return write<WriterOf<true, true>>(h, ctx, buf, inst, len, err, enc, v, g, false);
        }
        return write<WriterOf<Plain>>(h, ctx, buf, inst, len, err, enc, v, g, with_flags);
    }
    template <class Out>
    static uint32_t write(qel_handle_t *h, uint32_t ctx, uint8_t *buf, const void *inst,
                          int32_t len, uint32_t *err, Encoding &enc, int8_t v, uint8_t g,
                          bool with_flags) {
        Out w{h, ctx, buf, len, err, &enc};
        w.with_flags = with_flags;
        if (with_flags && has_flag(inst, QEL_OBJ_STATE_TRACKED))
            w.flags = S::area(h, ctx, const_cast<void *>(inst));
        w.template put<CodecVariant>(&v);
        w.template put<CodecObjFlags>(&g);
        if ((g & QEL_OBJ_RA_DATA) != 0)
        {
            w.off += _qel_instance_ra_data_marshal(h, ctx, w.at(), 0, 0, w.room(), err);
            w.sync();
        }
        const uint32_t jump = w.off;
        const uint32_t zero = 0;
        const bool placed = w.template put<CodecJump>(&zero) != 0;
        if (v >= 0)
            each_field<T>([&](auto k) {
                using K = decltype(k);
                if (K::d.variant <= v) WireOf<K>::put(w, inst);
            });
        if (placed) {
            const uint32_t body = w.off - jump;
            Out patch{h, ctx, buf + jump, 4, err, &enc};
            patch.template put<CodecJump>(&body);
        }
        return w.off;
    }

    // A part (nested record or list element) of a fixed-size type, written
    // into its owner's writer, which has room for kFlatBytes: what
    // encode_as does, without its checks of what the owner's encoding
    // already settled (a quiet runtime, standard coders, no state flags).
    // Only an instance that goes out whole, in the highest variant with no
    // ra data, is written so; false for any other, with nothing written.
    // A settled writer's caller made sure of all of that (settles).
    template <class Out> DROV_INLINE static bool put_flat(Out &w, const void *inst) {
        const qel_instance_header_t &hd = hdr(inst);
        if (!Out::settled && (hd.obj_flags & QEL_OBJ_RA_DATA) != 0) return false;
        const int8_t known = w.enc->known(w.h, T, hd.type_info, w.err);
        int8_t v = hd.instance_variant;
        const bool newer = v > known;
        if (newer) v = known;
        w.sync();
        if (!Out::settled && (!w.ok() || S::cap(v) != S::kHighest)) return false;
        w.enc->epoch |= newer;
        v = S::kHighest;
        const uint8_t g = 0;
        const uint32_t jump = w.off + CodecVariant::kWire + CodecObjFlags::kWire;
        w.template put<CodecVariant>(&v);
        w.template put<CodecObjFlags>(&g);
        w.off += CodecJump::kWire;
        each_field_inline<T>([&](auto k) __attribute__((always_inline)) {
            WireOf<decltype(k)>::put(w, inst);
        });
        // A nested record that did not go flat may have taken more or less.
        CodecJump::store(w.buf + jump, w.off - jump);
        return true;
    }
    // The same at `buf`, in a writer of its own: the bytes written, 0 for
    // an instance that does not go flat.
    [[gnu::noinline]] static uint32_t put_flat(qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                                               int32_t room, uint32_t *err, Encoding &enc,
                                               const void *inst) {
        WriterOf<true, true> w{h, ctx, buf, room, err, &enc};
        return put_flat(w, inst) ? w.off : 0;
    }

    // The types whose domain variant a flat encoding of this type asks:
    // its own, its enumerations' and its nested records'.
    static constexpr uint64_t kFlatTypes = [] {
        uint64_t m = uint64_t{1} << T;
        if constexpr (kFlatBytes != 0)
            each_field<T>([&](auto k) {
                using K = decltype(k);
                if constexpr (K::d.kind == FieldKind::Enum)
                    m |= uint64_t{1} << static_cast<uint32_t>(K::d.ref);
                else if constexpr (K::d.kind == FieldKind::Record)
                    m |= Wire<static_cast<uint32_t>(K::d.ref)>::kFlatTypes;
            });
        return m;
    }();
    // Whether the instance goes flat, all of it (nested records included),
    // against the domain's variants `k`.
    static bool settles(const void *inst, const KnownDomains &k) {
        const qel_instance_header_t &hd = hdr(inst);
        const int8_t v = hd.instance_variant;
        if ((hd.obj_flags & QEL_OBJ_RA_DATA) != 0 ||
            S::cap(std::min(v, k.variant[T])) != S::kHighest)
            return false;
        bool all = true;
        each_field<T>([&](auto f) {
            using K = decltype(f);
            if constexpr (K::d.kind == FieldKind::Record)
                all = all && Wire<static_cast<uint32_t>(K::d.ref)>::settles(
                                 bytes(inst) + K::d.offset, k);
        });
        return all;
    }
    // List elements from `e` on, written flat one after another at `buf`
    // while each settles and `n` are left, against the domain's variants
    // `k`, the list's head ending the chain: the bytes written.  `e` and `n`
    // are left at the first element not written.  The caller made room for
    // n elements of kFlatBytes.
    [[gnu::noinline]] static uint32_t put_settled(uint8_t *buf, void *&e, uint32_t &n,
                                                  const void *head, KnownDomains &k) {
        KnownDomains own = k; // the domain's variants stay in registers
        uint32_t off = 0;
        void *at = e;
        uint32_t left = n;
        for (; left != 0 && at != head && at != nullptr && settles(at, own); --left) {
            WriterOf<true, true, KnownDomains> w{
                nullptr, 0, buf + off, static_cast<int32_t>(kFlatBytes), nullptr, &own};
            put_flat(w, at);
            off += kFlatBytes;
            at = link(at)->next;
        }
        k.epoch |= own.epoch;
        e = at;
        n = left;
        return off;
    }

    static uint32_t marshal_as(qel_handle_t *h, uint32_t ctx, uint8_t *buf, const void *inst,
                               int32_t len, uint32_t *err, Mode mode) {
        Encoding enc(h);
        uint32_t n = encode<false>(h, ctx, buf, inst, len, err, mode, enc);
        // Recorded once the encoding is written: the runtime's coders write
        // nothing while the error word holds an error.  A failed encoding
        // keeps its own error.
        if (enc.epoch && *err == 0) qel_store_epoch_err(h, QEL_EIDRM, err);
        return n;
    }
    static uint32_t marshal(qel_handle_t *h, uint32_t ctx, uint8_t *buf, const void *inst,
                            int32_t len, uint32_t *err) {
        return marshal_as(h, ctx, buf, inst, len, err, Mode::Marshal);
    }
    static uint32_t marshal_for_clone(qel_handle_t *h, uint32_t ctx, uint8_t *buf,
                                      const void *inst, int32_t len, uint32_t *err) {
        return marshal_as(h, ctx, buf, inst, len, err, Mode::Clone);
    }

    // ---- Decoding ---------------------------------------------------------------------

    template <class In> static void set_variant(In &r, int8_t v) {
        r.store(&hdr(r.inst).instance_variant, v);
    }

    static uint32_t unmarshal(qel_handle_t *h, uint32_t ctx, const uint8_t *buf, void *inst,
                              int32_t len, uint32_t update, uint32_t *err) {
        return decode<false>(h, ctx, buf, inst, len, update, err);
    }
    // The decoder body; Nested for a record field or list element, a part
    // of an enclosing decoding.
    // `d`: the enclosing decoding's memory of the domain, if it keeps one.
    template <bool Nested>
    static uint32_t decode(qel_handle_t *h, uint32_t ctx, const uint8_t *buf, void *inst,
                           int32_t len, uint32_t update, uint32_t *err, Domains *d = nullptr) {
        if ((h->features & QEL_FEATURE_PLAIN_CODECS) == 0)
            return decode_as<Nested, false, false>(h, ctx, buf, inst, len, update, err, d);
        return unwatched(h) ? decode_as<Nested, true, true>(h, ctx, buf, inst, len, update, err, d)
                            : decode_as<Nested, true, false>(h, ctx, buf, inst, len, update, err, d);
    }
    // A nested record or list element of the decoding `r` is reading, at
    // its offset; the bytes taken.
    template <class In> DROV_INLINE static uint32_t part(In &r, void *inst) {
        return decode_as<true, In::plain, In::fast>(r.h, r.ctx, r.at(), inst, r.left(), r.update,
                                                    r.err, r.domains);
    }
    template <bool Nested, bool Plain, bool Fast>
    static uint32_t decode_as(qel_handle_t *h, uint32_t ctx, const uint8_t *buf, void *inst,
                              int32_t len, uint32_t update, uint32_t *err, Domains *d) {
        if constexpr (kListOwner) trace_register(); // list elements may trace
        const bool quiet = (h->features & QEL_FEATURE_QUIET) != 0;
        if (!begin(h, buf, inst, len, err, !(Nested && quiet))) return 0;
        if constexpr (Fast) {
            if (sure_at(buf, len))
                return read<ReaderOf<true, true, true>>(h, ctx, buf, inst, len, update, err, d,
                                                        quiet);
            // The fast reader meets no state flags: an encoding that carries
            // them, rare where nothing tracks, is read the plain way, which
            // passes over them (its announcements go nowhere on such a
            // handle).
            if (flagged(buf, len))
                return read<ReaderOf<true, false>>(h, ctx, buf, inst, len, update, err, d, quiet);
        }
        return read<ReaderOf<Plain, Fast>>(h, ctx, buf, inst, len, update, err, d, quiet);
    }
    // Whether every byte this type's fields can take is in the encoding at
    // `buf`, with no state flags or ra data between them (never for a type
    // whose fields vary).
    DROV_INLINE static bool sure_at(const uint8_t *buf, int32_t len) {
        return kSureBytes != 0 && len >= static_cast<int32_t>(kSureBytes) &&
               (buf[1] & kWireFlags) == 0;
    }
    // Whether the encoding at `buf` may carry state flags (too short to say).
    DROV_INLINE static bool flagged(const uint8_t *buf, int32_t len) {
        return len < 2 || (buf[1] & QEL_OBJ_STATE_TRACKED) != 0;
    }
    template <class In>
    static uint32_t read(qel_handle_t *h, uint32_t ctx, const uint8_t *buf, void *inst,
                         int32_t len, uint32_t update, uint32_t *err, Domains *d, bool quiet) {
        return read_body<In>(h, ctx, buf, inst, len, update, err, d, quiet);
    }
    // A nested record of a fast, quiet decoding, read without the checks
    // of a decoding of its own (nothing to clear, nothing the owner did not
    // check): one whose fixed-size fields are all there, with no state flags
    // or ra data, inlined into its owner's reading; any other without state
    // flags by its fast reader.  False, with nothing read, where decode_as
    // must read it.
    template <class In> DROV_INLINE static bool read_within(In &r, void *inst) {
        if constexpr (In::fast) {
            if (!r.ok() || !r.quiet) return false;
            if constexpr (kSureBytes != 0) {
                if (sure_at(r.at(), r.left())) {
                    r.off += read_body<ReaderOf<true, true, true>>(
                        r.h, r.ctx, r.at(), inst, r.left(), r.update, r.err, r.domains, true);
                    return true;
                }
            }
            if (flagged(r.at(), r.left())) return false;
            if constexpr (kListOwner) trace_register(); // list elements may trace
            r.off += read<ReaderOf<true, true>>(r.h, r.ctx, r.at(), inst, r.left(), r.update,
                                                r.err, r.domains, true);
            r.sync();
            return true;
        }
        return false;
    }
    template <class In>
    DROV_INLINE static uint32_t read_body(qel_handle_t *h, uint32_t ctx, const uint8_t *buf,
                                          void *inst, int32_t len, uint32_t update, uint32_t *err,
                                          Domains *d, bool quiet) {
        constexpr bool Fast = In::fast;
        In r(h, ctx, buf, len, update, err, inst);
        r.quiet = quiet;
        // A quiet runtime's domain stays as it is while the decoding runs:
        // the list elements it creates ask it once per type.
        Domains own;
        r.domains = d != nullptr ? d : quiet ? &own : nullptr;
        int8_t w = -1;
        uint8_t g = 0;
        r.template get<CodecVariant>(&w);
        r.template get<CodecObjFlags>(&g);
        g &= kWireFlags; // no other bit of a peer's reaches the instance
        if ((g & QEL_OBJ_RA_DATA) != 0)
        {
            r.off += _qel_instance_ra_data_unmarshal(h, ctx, r.at(), r.left(), err);
            r.sync();
        }
        const auto layout = static_cast<int8_t>(S::layout(inst));
        if (w > layout) w = layout;
        const auto jump = static_cast<uint32_t>(r.off);
        uint32_t body = 0;
        r.template get<CodecJump>(&body);
        r.body_end = uint64_t{jump} + body; // no word read: no body, no flags

        // A tracking handle decodes only into a tracked instance, which
        // keeps its STATE_TRACKED bit whether or not flags came along.
        if (!Fast && tracks(h, P::unmarshal_corrupted)) {
            if (!has_flag(inst, QEL_OBJ_STATE_TRACKED)) fatal(P::unmarshal_mismatch);
            if ((g & QEL_OBJ_STATE_TRACKED) != 0) {
                r.flags = FlagBytes::Read;
                r.area = S::area(h, ctx, inst);
            }
        } else {
            if (!Fast && (g & QEL_OBJ_STATE_TRACKED) != 0) r.flags = FlagBytes::Skip;
            g &= static_cast<uint8_t>(~QEL_OBJ_STATE_TRACKED);
        }

        // The fields read are the instance's from the start: a list takes
        // its elements only into an owner that has the field, and what was
        // read before a failed allocation is released by destroy.  Fields
        // beyond w keep what they hold; destroy releases that too.
        set_variant(r, w);
        if (w >= 0) {
            auto stops = [&](auto k) __attribute__((always_inline)) {
                using K = decltype(k);
                return K::d.variant <= w && !WireOf<K>::get(r, inst);
            };
            // A fast reading has its fields inline: its cursor stays in registers.
            if constexpr (In::fast) {
                if (any_field_inline<T>(stops)) return 0;
            } else if (any_field<T>(stops)) {
                return 0;
            }
        }

        // Past what this reader knows (a newer writer's variants) to where
        // the body length points, never backwards.  That may be beyond the
        // buffer: a cut message returns more than it was given.
        if (r.body_end > r.off) {
            trace(P::offset_jump, static_cast<uint32_t>(r.off), jump, body);
            r.off = r.body_end;
        }

        qel_instance_header_t &hd = hdr(inst);
        set_variant(r, w); // a list insertion may have raised it
        r.store(&hd.obj_flags, static_cast<uint8_t>(hd.obj_flags | g));
        // A record block the instance owns stays its own.
        if ((hd.obj_flags & QEL_OBJ_OWNS_TYPE_INFO) == 0)
            r.store(&hd.type_info, r.record_of(record(T)));
        return static_cast<uint32_t>(std::min<uint64_t>(r.off, UINT32_MAX));
    }

    // ---- Length -----------------------------------------------------------------------

    // A size that suffices for marshal (an ra data block not counted): the
    // instance's own variant, state flags counted for empty strings too and
    // element flags for every string, text and array.
    static uint32_t len(qel_handle_t *h, uint32_t ctx, const void *inst) {
        const bool tracked = S::sizeof_internal(h, inst, 0, 1) != 0;
        const Sizer s{h, ctx, tracked && inst != nullptr};
        const int8_t v = S::cap(inst != nullptr ? hdr(inst).instance_variant
                                                : qel_get_instance_variant(inst, 0, 1));
        uint64_t n = 6;
        if (v >= 0)
            each_field<T>([&](auto k) {
                using K = decltype(k);
                if (K::d.variant <= v) n += WireOf<K>::size(s, inst);
            });
        return static_cast<uint32_t>(std::min<uint64_t>(n, UINT32_MAX));
    }
    static uint32_t len_cr(qel_handle_t *h, const void *inst) {
        return h->err != 0 ? 0 : len(h, h->cur_ctx_id, inst);
    }

    // ---- Cloning ------------------------------------------------------------------------

    // Encodes src in its own variant into buf and decodes that into *out
    // (created when null) with the update flag clear.  A destination whose
    // decoding failed is destroyed and *out is null.
    template <class Out>
    static void clone_internal(qel_handle_t *h, uint32_t ctx, const void *src, Out **out,
                               uint8_t *buf, uint32_t len, uint32_t *err) {
        if (!enter(h, err)) return;
        if (out == nullptr || buf == nullptr || src == nullptr) {
            fail(h, err, QEL_ENOENT);
            return;
        }
        const auto room = static_cast<int32_t>(std::min<uint32_t>(len, INT32_MAX));
        const uint32_t n = marshal_as(h, ctx, buf, src, room, err, Mode::Clone);
        if (*err != 0) return;
        if (*out == nullptr) {
            trace_register();
            void *made = S::create_internal(h, ctx);
            if (made == nullptr || made == S::placeholder) {
                fail(h, err, QEL_ENOMEM);
                return;
            }
            *out = static_cast<Out *>(made);
        }
        unmarshal(h, ctx, buf, *out, static_cast<int32_t>(n), 0, err);
        if (*err != 0) {
            if (*out != static_cast<void *>(S::placeholder)) S::destroy_internal(h, ctx, *out, 1);
            *out = nullptr;
        }
    }
    template <class Out>
    static void clone(qel_handle_t *h, uint32_t ctx, const void *src, Out **out, uint8_t *buf,
                      uint32_t len, uint32_t *err) {
        if (out != nullptr) *out = nullptr;
        clone_internal(h, ctx, src, out, buf, len, err);
    }
    static void *clone_cr(qel_handle_t *h, const void *src) {
        uint32_t len = 0;
        auto *ws = static_cast<uint8_t *>(qellib_get_handle_ws(h, &len));
        void *result = nullptr;
        clone_internal(h, h->cur_ctx_id, src, &result, ws, len, &h->err);
        return result;
    }
};

} // namespace drov::structs
