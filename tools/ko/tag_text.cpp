// tag_text.cpp - parsing and printing tag values for the ko tool.
#include "tag_text.h"

#include "node_config.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace kotool {
namespace {

bool is_float_type(uint16_t type)
{
    return type == KO_TYPE_F32 || type == KO_TYPE_F64;
}

bool is_signed_type(uint16_t type)
{
    return type == KO_TYPE_I8 || type == KO_TYPE_I16 || type == KO_TYPE_I32 || type == KO_TYPE_I64;
}

bool parse_integer(const std::string &text, int64_t &i, uint64_t &u, bool &negative)
{
    const char *begin = text.c_str();
    const char *end = begin + text.size();
    int base = 10;
    negative = !text.empty() && text[0] == '-';
    const char *digits = negative ? begin + 1 : begin;
    if (end - digits > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits += 2;
    }
    auto [ptr, ec] = std::from_chars(digits, end, u, base);
    if (ec != std::errc() || ptr != end || digits == end)
        return false;
    if (negative) {
        if (u > uint64_t{1} << 63)
            return false;
        i = u == uint64_t{1} << 63 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(u);
    } else {
        i = static_cast<int64_t>(u);
    }
    return true;
}

// The shortest text that reads back as the same value: 1500, 0.25, 1e+20.
template <typename Float>
std::string float_text(Float value)
{
    if (std::isnan(value))
        return std::signbit(value) ? "-nan" : "nan";
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : "?";
}

// A number as people write it: 12, -3, 0x1F, -.25, 1.5e3, inf, -nan;
// no blanks around it.
bool parse_double(const std::string &text, double &d)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char *end = nullptr;
    errno = 0;
    d = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0' && errno != ERANGE;
}

}  // namespace

uint16_t type_from_name(const std::string &name)
{
    return ko::type_code(name);
}

const char *type_to_name(uint16_t code)
{
    return ko::type_name(code);
}

std::string value_text(uint32_t entry, const KoTagInfo &info, uint32_t &status)
{
    char text[64];
    if (info.type == KO_TYPE_FIFO) {
        uint32_t count = 0;
        status = KoTagGetFIFOCount(entry, &count);
        std::snprintf(text, sizeof text, "%u/%u records", count, info.depth);
        return status == KO_OK ? text : "";
    }
    if (info.type == KO_TYPE_SEGMENT || info.type == KO_TYPE_SEGMENT13) {
        std::vector<uint8_t> bytes(info.size);
        status = KoTagReadSegment(entry, 0, bytes.data(), info.size);
        std::string out;
        for (size_t i = 0; status == KO_OK && i < bytes.size(); ++i) {
            std::snprintf(text, sizeof text, i == 0 ? "%02x" : " %02x", bytes[i]);
            out += text;
        }
        return out;
    }
    uint64_t raw = 0;
    status = KoTagReadByEntry(entry, &raw, info.size);
    if (status != KO_OK)
        return "";
    switch (info.type) {
    case KO_TYPE_I8: std::snprintf(text, sizeof text, "%d", static_cast<int8_t>(raw)); break;
    case KO_TYPE_I16: std::snprintf(text, sizeof text, "%d", static_cast<int16_t>(raw)); break;
    case KO_TYPE_I32: std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(raw)); break;
    case KO_TYPE_I64: std::snprintf(text, sizeof text, "%lld", static_cast<long long>(raw)); break;
    case KO_TYPE_F32: {
        float f;
        uint32_t bits = static_cast<uint32_t>(raw);
        std::memcpy(&f, &bits, 4);
        return float_text(f);
    }
    case KO_TYPE_F64: {
        double d;
        std::memcpy(&d, &raw, 8);
        return float_text(d);
    }
    default: std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(raw)); break;
    }
    return text;
}

uint32_t encode_text(const KoTagInfo &info, const std::string &text, std::vector<uint8_t> &bytes)
{
    bytes.clear();
    if (info.type == KO_TYPE_FIFO)
        return KO_E_KIND;
    if (info.type == KO_TYPE_SEGMENT || info.type == KO_TYPE_SEGMENT13) {
        // Hex bytes, spaces allowed: "01 a0 ff" or "01a0ff"; a shorter text writes the first bytes.
        std::string digits;
        for (char c : text)
            if (c != ' ')
                digits += c;
        if (digits.size() % 2 != 0)
            return KO_E_ARGUMENT;
        for (size_t i = 0; i < digits.size(); i += 2) {
            uint8_t b;
            auto [ptr, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, b, 16);
            if (ec != std::errc() || ptr != digits.data() + i + 2)
                return KO_E_ARGUMENT;
            bytes.push_back(b);
        }
        return bytes.size() > info.size ? KO_E_RANGE : KO_OK;
    }
    uint32_t size = info.size;
    bytes.assign(size, 0);
    if (is_float_type(info.type)) {
        double d;
        if (!parse_double(text, d))
            return KO_E_ARGUMENT;
        if (info.type == KO_TYPE_F64) {
            std::memcpy(bytes.data(), &d, 8);
            return KO_OK;
        }
        if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
            return KO_E_RANGE;
        float f = static_cast<float>(d);
        std::memcpy(bytes.data(), &f, 4);
        return KO_OK;
    }
    int64_t i;
    uint64_t u;
    bool negative;
    if (!parse_integer(text, i, u, negative))
        return KO_E_ARGUMENT;
    unsigned bits = 8 * size;
    if (is_signed_type(info.type)) {
        int64_t low = bits == 64 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << (bits - 1));
        int64_t high = bits == 64 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (bits - 1)) - 1;
        if ((!negative && u > static_cast<uint64_t>(high)) || i < low)
            return KO_E_RANGE;
        std::memcpy(bytes.data(), &i, size);  // little-endian: the low bytes
    } else {
        if (negative || (bits < 64 && u >> bits != 0))
            return KO_E_RANGE;
        std::memcpy(bytes.data(), &u, size);
    }
    return KO_OK;
}

uint32_t write_encoded(uint32_t entry, const KoTagInfo &info, const std::vector<uint8_t> &bytes)
{
    if (info.type == KO_TYPE_SEGMENT || info.type == KO_TYPE_SEGMENT13)
        return KoTagWriteSegment(entry, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return KoTagWriteByEntry(entry, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint16_t infer_type(const std::string &text)
{
    int64_t i;
    uint64_t u;
    bool negative;
    bool integral = !text.empty() && text.find_first_not_of("-0123456789") == std::string::npos;
    if (integral && !parse_integer(text, i, u, negative))
        return 0;  // digits beyond every integer type: not made a float
    if (parse_integer(text, i, u, negative)) {
        if (!negative && u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return KO_TYPE_U64;
        return i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max() ? KO_TYPE_I32
                                                                                                      : KO_TYPE_I64;
    }
    double d;
    return parse_double(text, d) ? KO_TYPE_F64 : 0;
}

}  // namespace kotool
