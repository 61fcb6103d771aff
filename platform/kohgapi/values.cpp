// values.cpp - reads and writes of tag values, by name and by entry. A value
// of up to 8 bytes lives in one 64-bit atomic word, so it is never seen
// half-written and a writer killed mid-call cannot corrupt it; the by-entry
// path takes no lock and makes no system call.
#include "store.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace ko {
namespace {

enum class Kind { unsigned_int, signed_int, floating };

Kind kind_of(uint16_t type)
{
    switch (type) {
    case KO_TYPE_I8: case KO_TYPE_I16: case KO_TYPE_I32: case KO_TYPE_I64: return Kind::signed_int;
    case KO_TYPE_F32: case KO_TYPE_F64: return Kind::floating;
    default: return Kind::unsigned_int;
    }
}

// A number as wide as any tag holds: integers exactly, floats as double.
struct Number {
    Kind kind;
    int64_t i;
    uint64_t u;
    double f;
};

Number decode(uint16_t type, uint64_t bits)
{
    Number n{kind_of(type), 0, 0, 0.0};
    switch (type) {
    case KO_TYPE_I8: n.i = static_cast<int8_t>(bits); break;
    case KO_TYPE_I16: n.i = static_cast<int16_t>(bits); break;
    case KO_TYPE_I32: n.i = static_cast<int32_t>(bits); break;
    case KO_TYPE_I64: n.i = static_cast<int64_t>(bits); break;
    case KO_TYPE_F32: {
        float f;
        uint32_t b = static_cast<uint32_t>(bits);
        std::memcpy(&f, &b, 4);
        n.f = f;
        break;
    }
    case KO_TYPE_F64: std::memcpy(&n.f, &bits, 8); break;
    default: n.u = bits & (value_size(type) == 8 ? ~0ull : ((1ull << (8 * value_size(type))) - 1)); break;
    }
    return n;
}

// The integer in a buffer of 1, 2, 4 or 8 bytes, read as unsigned or as
// signed (two's complement).
bool buffer_number(const void *buffer, uint32_t size, bool as_signed, Number &n)
{
    uint64_t raw = 0;
    if (size != 1 && size != 2 && size != 4 && size != 8)
        return false;
    std::memcpy(&raw, buffer, size);
    if (as_signed) {
        int shift = 64 - 8 * static_cast<int>(size);
        n = Number{Kind::signed_int, static_cast<int64_t>(raw << shift) >> shift, 0, 0.0};
    } else {
        n = Number{Kind::unsigned_int, 0, raw, 0.0};
    }
    return true;
}

// Encodes n as a value of type; false when it does not fit exactly.
bool encode(uint16_t type, const Number &n, uint64_t &bits)
{
    if (kind_of(type) == Kind::floating) {
        double d = n.kind == Kind::floating ? n.f : n.kind == Kind::signed_int ? static_cast<double>(n.i)
                                                                                : static_cast<double>(n.u);
        if (type == KO_TYPE_F32) {
            if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
                return false;
            float f = static_cast<float>(d);
            uint32_t b;
            std::memcpy(&b, &f, 4);
            bits = b;
        } else {
            std::memcpy(&bits, &d, 8);
        }
        return true;
    }
    // Integers: a float must be integral; then range by width and sign.
    bool negative;
    uint64_t magnitude;
    if (n.kind == Kind::floating) {
        if (!std::isfinite(n.f) || std::trunc(n.f) != n.f || std::fabs(n.f) >= 18446744073709551616.0)
            return false;
        negative = n.f < 0;
        magnitude = negative ? static_cast<uint64_t>(-n.f) : static_cast<uint64_t>(n.f);
    } else if (n.kind == Kind::signed_int) {
        negative = n.i < 0;
        magnitude = negative ? 0 - static_cast<uint64_t>(n.i) : static_cast<uint64_t>(n.i);
    } else {
        negative = false;
        magnitude = n.u;
    }
    unsigned width = 8 * value_size(type);
    if (kind_of(type) == Kind::signed_int) {
        uint64_t limit = 1ull << (width - 1);  // |min|; max is limit - 1
        if (negative ? magnitude > limit : magnitude >= limit)
            return false;
    } else {
        if (negative && magnitude != 0)
            return false;
        if (width < 64 && magnitude >> width != 0)
            return false;
    }
    uint64_t value = negative ? 0 - magnitude : magnitude;
    bits = width == 64 ? value : value & ((1ull << width) - 1);
    return true;
}

uint32_t read_value(TagSlot *t, void *buffer, uint32_t size)
{
    uint64_t bits = t->value.load(std::memory_order_acquire);
    if (size == t->size) {
        std::memcpy(buffer, &bits, size);
        return KO_OK;
    }
    if (size != 1 && size != 2 && size != 4 && size != 8)
        return KO_E_SIZE;
    // The reader's integer of that width holds the value unsigned if it can,
    // else as a negative number in two's complement.
    Number n = decode(t->type, bits);
    uint64_t out;
    uint16_t as_unsigned = size == 1 ? KO_TYPE_U8 : size == 2 ? KO_TYPE_U16 : size == 4 ? KO_TYPE_U32 : KO_TYPE_U64;
    uint16_t as_signed = size == 1 ? KO_TYPE_I8 : size == 2 ? KO_TYPE_I16 : size == 4 ? KO_TYPE_I32 : KO_TYPE_I64;
    if (!encode(as_unsigned, n, out) && !encode(as_signed, n, out))
        return KO_E_RANGE;
    std::memcpy(buffer, &out, size);
    return KO_OK;
}

uint32_t write_value(TagSlot *t, const void *buffer, uint32_t size)
{
    uint64_t bits = 0;
    if (size == t->size) {
        std::memcpy(&bits, buffer, size);
    } else {
        // The writer's integer, taken unsigned if that fits the tag, else signed.
        Number as_unsigned, as_signed;
        if (!buffer_number(buffer, size, false, as_unsigned) || !buffer_number(buffer, size, true, as_signed))
            return KO_E_SIZE;
        if (!encode(t->type, as_unsigned, bits) && !encode(t->type, as_signed, bits))
            return KO_E_RANGE;
    }
    t->value.store(bits, std::memory_order_release);
    return KO_OK;
}

}  // namespace

uint16_t type_for_width(uint32_t size)
{
    switch (size) {
    case 1: return KO_TYPE_U8;
    case 2: return KO_TYPE_U16;
    case 4: return KO_TYPE_I32;
    case 8: return KO_TYPE_I64;
    default: return 0;
    }
}

}  // namespace ko

using namespace ko;

namespace {

uint32_t read_tag(Store *s, TagSlot *t, void *buffer, uint32_t size)
{
    if (buffer == nullptr)
        return KO_E_ARGUMENT;
    if (is_value_type(t->type))
        return read_value(t, buffer, size);
    if (is_segment_type(t->type))
        return segment_read(s, t, 0, buffer, size);
    return fifo_peek(s, t, buffer, size);
}

uint32_t write_tag(Store *s, TagSlot *t, const void *buffer, uint32_t size)
{
    if (buffer == nullptr)
        return KO_E_ARGUMENT;
    if (is_value_type(t->type))
        return write_value(t, buffer, size);
    if (is_segment_type(t->type))
        return segment_write(s, t, 0, buffer, size);
    return KO_E_KIND;  // records enter a FIFO through KoTagPutFIFO
}

}  // namespace

extern "C" uint32_t KoTagReadByEntry(uint32_t entry, void *buffer, uint32_t size)
{
    Store *s;
    TagSlot *t;
    if (uint32_t status = entry_slot(entry, s, t); status != KO_OK)
        return status;
    return read_tag(s, t, buffer, size);
}

extern "C" uint32_t KoTagWriteByEntry(uint32_t entry, const void *buffer, uint32_t size)
{
    Store *s;
    TagSlot *t;
    if (uint32_t status = entry_slot(entry, s, t); status != KO_OK)
        return status;
    return write_tag(s, t, buffer, size);
}

extern "C" uint32_t KoTagReadByEntryCall(uint32_t entry, void *buffer, uint32_t size)
{
    return KoTagReadByEntry(entry, buffer, size);
}

extern "C" uint32_t KoTagWriteByEntryCall(uint32_t entry, const void *buffer, uint32_t size)
{
    return KoTagWriteByEntry(entry, buffer, size);
}

extern "C" uint32_t KoTagRead(const char *name, void *buffer, uint32_t size)
{
    Store *s = store();
    if (s == nullptr)
        return KO_E_STORE;
    if (name == nullptr)
        return KO_E_ARGUMENT;
    uint32_t entry = find_tag(s, name);
    if (entry == 0)
        return KO_E_NOT_FOUND;
    return read_tag(s, slot_of(s, entry), buffer, size);
}

extern "C" uint32_t KoTagWrite(const char *name, const void *buffer, uint32_t size)
{
    Store *s = store();
    if (s == nullptr)
        return KO_E_STORE;
    if (name == nullptr || buffer == nullptr)
        return KO_E_ARGUMENT;
    uint32_t entry = find_tag(s, name);
    if (entry == 0) {
        uint16_t type = type_for_width(size);
        if (type == 0)
            return KO_E_SIZE;
        if (uint32_t status = create_tag(s, name, type, size, 0, nullptr, nullptr, &entry); status != KO_OK)
            return status;
    }
    return write_tag(s, slot_of(s, entry), buffer, size);
}

extern "C" uint32_t KoTagAddByEntry(uint32_t entry, int64_t delta, uint64_t *value)
{
    Store *s;
    TagSlot *t;
    if (uint32_t status = entry_slot(entry, s, t); status != KO_OK)
        return status;
    if (!is_value_type(t->type) || kind_of(t->type) == Kind::floating)
        return KO_E_KIND;
    uint32_t width = value_size(t->type);
    uint64_t mask = width == 8 ? ~0ull : (1ull << (8 * width)) - 1;
    uint64_t old_bits = t->value.load(std::memory_order_relaxed), new_bits;
    do
        new_bits = (old_bits + static_cast<uint64_t>(delta)) & mask;
    while (!t->value.compare_exchange_weak(old_bits, new_bits, std::memory_order_acq_rel, std::memory_order_relaxed));
    if (value != nullptr)
        *value = new_bits;
    return KO_OK;
}
