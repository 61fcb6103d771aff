// address.h - the 6-digit address convention: 000001.. coils, 100001..
// discrete inputs, 300001.. input registers, 400001.. holding registers
// (65536 of each; on the wire reference - 1), and the protocol's limits.
#pragma once

#include "modbus_status.h"

#include <cstdint>

namespace mb {

enum class Table : uint8_t { coils, discrete_inputs, input_registers, holding_registers };

constexpr uint32_t kTableSize = 65536;
// Items per request: registers read and written, bits read and written.
constexpr uint32_t kReadRegisters = 125, kWriteRegisters = 123, kReadBits = 2000, kWriteBits = 1968;

inline bool is_bits(Table t)
{
    return t == Table::coils || t == Table::discrete_inputs;
}

// A 16-bit word as the protocol carries it: high byte first.
inline uint16_t word_at(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline void put_word(uint8_t *p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

// The items an address and a byte length cover.
struct Span {
    Table table;
    uint32_t first;
    uint32_t count;
};

// A length of n bytes moves 8n bits or (n + 1) / 2 registers.
inline uint32_t decode(uint32_t address, uint32_t length, Span &span)
{
    if (length == 0)
        return MB_E_LENGTH;
    uint32_t kind = address / 100000, reference = address % 100000;
    const Table tables[] = {Table::coils, Table::discrete_inputs, Table::coils, Table::input_registers,
                            Table::holding_registers};
    if (kind > 4 || kind == 2 || reference == 0 || reference > kTableSize)
        return MB_E_ADDRESS;
    span.table = tables[kind];
    span.first = reference - 1;
    span.count = is_bits(span.table) ? length * 8 : (length + 1) / 2;
    if (uint64_t{span.first} + span.count > kTableSize)
        return MB_E_ADDRESS;
    return MB_OK;
}

}  // namespace mb
