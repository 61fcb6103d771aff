// tag_text.h - tag values as text, both ways, by the tag's type: what ko
// prints and what it accepts.
#pragma once

#include "kohgapi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kotool {

// The value of a tag as text: integers in decimal, floats as the shortest
// text that reads back the same (no exponent for ordinary values),
// segments as hex bytes ("01 a0 ff"), FIFOs as "COUNT/DEPTH records".
// Empty with status set on failure.
std::string value_text(uint32_t entry, const KoTagInfo &info, uint32_t &status);

// The raw bytes of text as a value of the tag's type (size and type from
// info): KO_E_RANGE when it does not fit, KO_E_ARGUMENT when it is not a
// number (or hex bytes for a segment), KO_E_KIND for a FIFO.
uint32_t encode_text(const KoTagInfo &info, const std::string &text, std::vector<uint8_t> &bytes);
// Writes what encode_text made.
uint32_t write_encoded(uint32_t entry, const KoTagInfo &info, const std::vector<uint8_t> &bytes);

// The type a value's text suggests when no type is given: i32 for integers
// that fit, i64 or u64 for larger ones, f64 for numbers with a point or an
// exponent; 0 when not a number or an integer beyond every integer type.
uint16_t infer_type(const std::string &text);

// "u8", "segment", ... for a type code; 0 / "?" when unknown.
uint16_t type_from_name(const std::string &name);
const char *type_to_name(uint16_t code);

}  // namespace kotool
