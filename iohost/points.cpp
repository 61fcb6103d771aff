// points.cpp - the I/O point helpers of the In and Out cycles: the sort
// order, bit groups, single bits of a device item, the segment buffer.
#include "iohost.h"

#include <cstdlib>
#include <cstring>

int CompareTagRefs(const void *a, const void *b)
{
    if (a == nullptr && b == nullptr)
        return 0;
    if (a == nullptr)
        return -1;
    if (b == nullptr)
        return 1;
    const auto *x = static_cast<const TagRef *>(a);
    const auto *y = static_cast<const TagRef *>(b);
    uint32_t xa = x->address, ya = y->address;
    uint16_t xb = x->bit_number, yb = y->bit_number;
    if (xa != ya)
        return xa < ya ? -1 : 1;
    if (xb != yb)
        return xb < yb ? -1 : 1;
    return 0;  // a strict weak order: equal keys compare equal, as the sort requires
}

void SortTagRefs(TagRef *refs, int32_t count)
{
    if (refs != nullptr && count > 1)
        std::qsort(refs, static_cast<size_t>(count), sizeof(TagRef), CompareTagRefs);
}

bool SameAddressFollows(int32_t i, int32_t count, const TagRef *refs)
{
    return i + 1 < count && refs[i + 1].address == refs[i].address && refs[i].access_mode == KO_ACCESS_BIT;
}

bool GetBit(void *value, uint32_t value_length, const void *item, uint32_t item_length, uint16_t bit)
{
    if (value == nullptr || item == nullptr || value_length == 0 || item_length == 0)
        return false;
    if (bit > 7) {
        if (value_length < 2 || item_length < 2)
            return false;
        uint16_t word;
        std::memcpy(&word, item, 2);
        uint16_t out = (word >> bit) & 1u;
        std::memcpy(value, &out, 2);
        return true;
    }
    uint8_t byte = *static_cast<const uint8_t *>(item);
    *static_cast<uint8_t *>(value) = (byte >> bit) & 1u;
    return true;
}

bool PutBit(void *item, uint32_t item_length, const void *value, uint32_t value_length, uint16_t bit)
{
    if (item == nullptr || value == nullptr || item_length == 0 || value_length == 0)
        return false;
    if (bit > 7) {
        if (item_length < 2)
            return false;
        uint16_t word, v = 0;
        std::memcpy(&word, item, 2);
        std::memcpy(&v, value, value_length < 2 ? value_length : 2);
        word = v != 0 ? static_cast<uint16_t>(word | (1u << bit)) : static_cast<uint16_t>(word & ~(1u << bit));
        std::memcpy(item, &word, 2);
        return true;
    }
    auto *byte = static_cast<uint8_t *>(item);
    bool set = *static_cast<const uint8_t *>(value) != 0;
    *byte = set ? static_cast<uint8_t>(*byte | (1u << bit)) : static_cast<uint8_t>(*byte & ~(1u << bit));
    return true;
}

bool AllocSegmentBuffer(uint8_t **buffer, uint32_t *size, const PortTag *ports, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        if (IsSegmentType(ports[i].data_type) && ports[i].data_size > *size)
            *size = ports[i].data_size;
    if (*size == 0)
        return true;
    *buffer = static_cast<uint8_t *>(std::calloc(*size, 1));
    return *buffer != nullptr;
}

bool EnsureSegmentBuffer(uint8_t **buffer, uint32_t *capacity, uint32_t size)
{
    if (*capacity < size) {
        *capacity = size;
        std::free(*buffer);
        *buffer = nullptr;
    }
    if (*buffer == nullptr)
        *buffer = static_cast<uint8_t *>(std::malloc(*capacity));
    return *buffer != nullptr;
}
