// register_map.cpp - the node's register map and the answers it gives to
// outside masters' requests.
#include "register_map.h"

#include "kohgapi.h"

#include <algorithm>
#include <cstring>

namespace mb {
namespace {

enum Function : uint8_t {
    kFcReadCoils = 1, kFcReadDiscreteInputs = 2, kFcReadHoldingRegisters = 3, kFcReadInputRegisters = 4,
    kFcWriteCoil = 5, kFcWriteRegister = 6, kFcWriteCoils = 15, kFcWriteRegisters = 16,
};
enum Exception : uint8_t { kIllegalFunction = 1, kIllegalAddress = 2, kIllegalValue = 3 };

size_t exception(uint8_t function, Exception code, uint8_t *reply)
{
    reply[0] = static_cast<uint8_t>(function | 0x80);
    reply[1] = code;
    return 2;
}

// The bytes a point moves: a bit point one item (8 or 16 bits), else its tag's size.
uint32_t point_length(const TagRef &ref, const PortTag *ports)
{
    if (ref.access_mode == KO_ACCESS_BIT)
        return ref.item_width > 7 ? 2 : 1;
    return ports != nullptr ? ports[ref.port_index].data_size : 0;
}

}  // namespace

RegisterMap::RegisterMap()
{
    for (auto &b : bits_)
        b.assign(kTableSize, 0);
    for (auto &r : registers_)
        r.assign(kTableSize, 0);
}

void RegisterMap::read(Table t, uint32_t first, uint32_t n, uint8_t *bits, uint16_t *registers)
{
    std::lock_guard lock(lock_);
    if (is_bits(t))
        std::memcpy(bits, bits_[t == Table::coils ? 0 : 1].data() + first, n);
    else
        std::memcpy(registers, registers_[t == Table::input_registers ? 0 : 1].data() + first, 2 * n);
}

void RegisterMap::write(Table t, uint32_t first, uint32_t n, const uint8_t *bits, const uint16_t *registers)
{
    std::lock_guard lock(lock_);
    if (is_bits(t))
        std::memcpy(bits_[t == Table::coils ? 0 : 1].data() + first, bits, n);
    else
        std::memcpy(registers_[t == Table::input_registers ? 0 : 1].data() + first, registers, 2 * n);
}

void RegisterMap::serve_points_of_service()
{
    std::lock_guard lock(lock_);
    for (auto &r : reach_)
        r.clear();
    if (KoInPortCount <= 0 && KoOutPortCount <= 0)
        return;
    for (auto &r : reach_)
        r.assign(kTableSize, 0);
    auto mark = [&](const TagRef *refs, const PortTag *ports, int32_t count, uint8_t level) {
        for (int32_t i = 0; refs != nullptr && i < count; ++i) {
            Span s;
            if (refs[i].enabled != 1 || decode(refs[i].address, point_length(refs[i], ports), s) != MB_OK)
                continue;
            auto &r = reach_[static_cast<int>(s.table)];
            for (uint32_t k = s.first; k < s.first + s.count; ++k)
                r[k] = std::max(r[k], level);
        }
    };
    mark(TagRefs_Out, KoOutPortTags, KoOutPortCount, 1);
    mark(TagRefs_IN, KoInPortTags, KoInPortCount, 2);
}

bool RegisterMap::served(Table t, uint32_t first, uint32_t n, bool for_write) const
{
    if (first + n > kTableSize)
        return false;
    const auto &r = reach_[static_cast<int>(t)];
    if (r.empty())
        return true;
    for (uint32_t k = first; k < first + n; ++k)
        if (r[k] < (for_write ? 2 : 1))
            return false;
    return true;
}

size_t RegisterMap::answer(const uint8_t *request, size_t length, uint8_t *reply)
{
    uint8_t function = length > 0 ? request[0] : 0;
    bool known = (function >= kFcReadCoils && function <= kFcWriteRegister) || function == kFcWriteCoils ||
                 function == kFcWriteRegisters;
    if (!known)
        return exception(function, kIllegalFunction, reply);
    if (length < 5)
        return exception(function, kIllegalValue, reply);
    uint32_t first = word_at(request + 1), n = word_at(request + 3);
    std::lock_guard lock(lock_);
    switch (function) {
    case kFcReadCoils:
    case kFcReadDiscreteInputs: {
        Table t = function == kFcReadCoils ? Table::coils : Table::discrete_inputs;
        if (length != 5 || n < 1 || n > kReadBits)
            return exception(function, kIllegalValue, reply);
        if (!served(t, first, n, false))
            return exception(function, kIllegalAddress, reply);
        const uint8_t *bits = bits_[t == Table::coils ? 0 : 1].data() + first;
        uint8_t bytes = static_cast<uint8_t>((n + 7) / 8);
        reply[0] = function;
        reply[1] = bytes;
        std::memset(reply + 2, 0, bytes);
        for (uint32_t i = 0; i < n; ++i)
            reply[2 + i / 8] |= static_cast<uint8_t>((bits[i] & 1u) << (i % 8));
        return 2 + bytes;
    }
    case kFcReadHoldingRegisters:
    case kFcReadInputRegisters: {
        Table t = function == kFcReadHoldingRegisters ? Table::holding_registers : Table::input_registers;
        if (length != 5 || n < 1 || n > kReadRegisters)
            return exception(function, kIllegalValue, reply);
        if (!served(t, first, n, false))
            return exception(function, kIllegalAddress, reply);
        const uint16_t *registers = registers_[t == Table::input_registers ? 0 : 1].data() + first;
        reply[0] = function;
        reply[1] = static_cast<uint8_t>(2 * n);
        for (uint32_t i = 0; i < n; ++i)
            put_word(reply + 2 + 2 * i, registers[i]);
        return 2 + 2 * n;
    }
    case kFcWriteCoil:
    case kFcWriteRegister: {
        Table t = function == kFcWriteCoil ? Table::coils : Table::holding_registers;
        if (length != 5 || (function == kFcWriteCoil && n != 0xFF00 && n != 0))
            return exception(function, kIllegalValue, reply);
        if (!served(t, first, 1, true))
            return exception(function, kIllegalAddress, reply);
        if (function == kFcWriteCoil)
            bits_[0][first] = n == 0xFF00 ? 1 : 0;
        else
            registers_[1][first] = static_cast<uint16_t>(n);
        std::memcpy(reply, request, 5);
        return 5;
    }
    case kFcWriteCoils:
    case kFcWriteRegisters: {
        bool coils = function == kFcWriteCoils;
        Table t = coils ? Table::coils : Table::holding_registers;
        uint32_t bytes = length > 5 ? request[5] : 0;
        if (length < 6 || n < 1 || n > (coils ? kWriteBits : kWriteRegisters) ||
            bytes != (coils ? (n + 7) / 8 : 2 * n) || length != 6 + bytes)
            return exception(function, kIllegalValue, reply);
        if (!served(t, first, n, true))
            return exception(function, kIllegalAddress, reply);
        for (uint32_t i = 0; i < n; ++i) {
            if (coils)
                bits_[0][first + i] = (request[6 + i / 8] >> (i % 8)) & 1u;
            else
                registers_[1][first + i] = word_at(request + 6 + 2 * i);
        }
        std::memcpy(reply, request, 5);
        return 5;
    }
    default:
        return exception(function, kIllegalFunction, reply);
    }
}

RegisterMap &local_map()
{
    static RegisterMap map;
    return map;
}

}  // namespace mb
