// sii.h - the slave information interface (the terminal's EEPROM): the
// image the terminal simulator gives each terminal type, and what the
// master reads out of any image: identity, names, sync managers and the
// process data its PDOs announce.
#pragma once

#include "bus.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ecatwire {

struct SiiSyncManager {
    uint16_t start = 0, length = 0;
    uint8_t control = 0, enable = 0, type = 0;  // type: 1/2 mailbox out/in, 3 outputs, 4 inputs
};

struct SiiInfo {
    uint32_t vendor = 0, product = 0, revision = 0, serial = 0;
    std::string order;  // the order number ("EL1008")
    std::string name;   // the device name
    std::vector<SiiSyncManager> sync_managers;
    uint32_t in_bits = 0, out_bits = 0;  // of the PDOs assigned to a sync manager
    int in_sm = -1, out_sm = -1;         // the sync managers carrying them
    uint32_t in_bytes() const { return (in_bits + 7) / 8; }
    uint32_t out_bytes() const { return (out_bits + 7) / 8; }
};

// Where a simulated terminal's controller keeps its process data.
constexpr uint16_t kOutputsAt = 0x1000;
inline uint16_t inputs_at(uint32_t out_size)
{
    return static_cast<uint16_t>(kOutputsAt + ((out_size + 7) & ~7u));
}

// The SII image (words) of a terminal of the bus file; with misplaced, its
// sync managers name addresses the controller does not use.
std::vector<uint16_t> make_sii(const ecatsim::TerminalDecl &terminal, bool misplaced);

// Reads the identity words and categories; false with what is wrong.
bool parse_sii(const std::vector<uint16_t> &words, SiiInfo &info, std::string &error);
// The number of words needed to see the whole image so far: the words up to
// the end category, or more when a category header lies beyond what was read.
size_t sii_words_needed(const std::vector<uint16_t> &words);

}  // namespace ecatwire
