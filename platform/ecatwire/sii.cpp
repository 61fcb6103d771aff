// sii.cpp - writing and reading SII images.
#include "sii.h"

#include "ethercat.h"

#include <algorithm>

namespace ecatwire {
namespace {

constexpr size_t kMaxWords = 8192;  // 16 KiB, beyond any terminal's EEPROM

class Words {
public:
    void byte(uint8_t b) { bytes_.push_back(b); }
    void u16(uint16_t v) { byte(static_cast<uint8_t>(v)), byte(static_cast<uint8_t>(v >> 8)); }
    void u32(uint32_t v) { u16(static_cast<uint16_t>(v)), u16(static_cast<uint16_t>(v >> 16)); }
    void category(uint16_t type, const Words &body)
    {
        Words padded = body;
        if (padded.bytes_.size() % 2 != 0)
            padded.byte(0);
        u16(type);
        u16(static_cast<uint16_t>(padded.bytes_.size() / 2));
        bytes_.insert(bytes_.end(), padded.bytes_.begin(), padded.bytes_.end());
    }
    size_t size() const { return bytes_.size(); }
    std::vector<uint16_t> words() const
    {
        std::vector<uint16_t> out(bytes_.size() / 2);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = get16(&bytes_[2 * i]);
        return out;
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// The checksum of the configuration area: CRC-8, polynomial 0x07, start 0xFF.
uint8_t crc8(const std::vector<uint8_t> &bytes, size_t count)
{
    uint8_t crc = 0xFF;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// One PDO of the process data of a direction, entries by the terminal's kind.
Words pdo(const ecatsim::TerminalDecl &t, bool inputs, uint8_t sm)
{
    uint32_t bytes = inputs ? t.in_size : t.out_size;
    uint16_t object = inputs ? 0x6000 : 0x7000;
    struct Entry {
        uint16_t index;
        uint8_t sub, type, bits;
    };
    std::vector<Entry> entries;
    if (t.kind == ecatsim::Kind::DigitalIn || t.kind == ecatsim::Kind::DigitalOut) {
        for (uint32_t c = 0; c < bytes * 8; ++c)
            entries.push_back({static_cast<uint16_t>(object + 0x10 * c), 1, 0x01, 1});  // BOOL
    } else if (t.kind == ecatsim::Kind::AnalogIn) {
        for (uint32_t c = 0; c < bytes / 2; ++c)
            entries.push_back({static_cast<uint16_t>(object + 0x10 * c), 0x11, 0x03, 16});  // INT16
    } else {
        for (uint32_t at = 0, sub = 1; at < bytes; at += 16, ++sub)
            entries.push_back({object, static_cast<uint8_t>(sub), 0x0A,
                               static_cast<uint8_t>(8 * std::min<uint32_t>(16, bytes - at))});  // OCTET_STRING
    }
    Words w;
    w.u16(inputs ? 0x1A00 : 0x1600);
    w.byte(static_cast<uint8_t>(entries.size()));
    w.byte(sm);
    w.byte(0);  // no DC synchronisation
    w.byte(0);  // no name
    w.u16(0);
    for (const Entry &e : entries) {
        w.u16(e.index);
        w.byte(e.sub);
        w.byte(0);
        w.byte(e.type);
        w.byte(e.bits);
        w.u16(0);
    }
    return w;
}

}  // namespace

std::vector<uint16_t> make_sii(const ecatsim::TerminalDecl &t, bool misplaced)
{
    Words w;
    for (int i = 0; i < 7; ++i)
        w.u16(i == 0 ? 0x0C08 : 0);  // PDI control: none used
    w.u16(crc8(w.bytes(), 14));
    w.u32(ecatsim::kVendor);
    w.u32(t.product_code);
    w.u32(0x00100000);
    w.u32(0);
    while (w.size() < 2 * 0x3E)
        w.u16(0);
    w.u16(1);  // EEPROM size: 2 kbit, as (kbit / 8) - 1
    w.u16(1);  // SII version
    Words strings;
    strings.byte(2);
    for (const std::string *s : {&t.type, &t.name}) {
        strings.byte(static_cast<uint8_t>(s->size()));
        for (char c : *s)
            strings.byte(static_cast<uint8_t>(c));
    }
    w.category(kCatStrings, strings);
    Words general;
    for (uint8_t b : {0, 0, 1, 2})  // group, image, order number: string 1, name: string 2
        general.byte(b);
    while (general.size() < 32)
        general.byte(0);
    w.category(kCatGeneral, general);
    Words fmmus, sms;
    uint16_t shift = misplaced ? 0x0100 : 0;
    uint8_t sm = 0, out_sm = 0, in_sm = 0;
    if (t.out_size > 0) {
        fmmus.byte(1);
        sms.u16(static_cast<uint16_t>(kOutputsAt + shift));
        sms.u16(static_cast<uint16_t>(t.out_size));
        sms.byte(0x64), sms.byte(0), sms.byte(1), sms.byte(kSmOutputs);
        out_sm = sm++;
    }
    if (t.in_size > 0) {
        fmmus.byte(2);
        sms.u16(static_cast<uint16_t>(inputs_at(t.out_size) + shift));
        sms.u16(static_cast<uint16_t>(t.in_size));
        sms.byte(0x20), sms.byte(0), sms.byte(1), sms.byte(kSmInputs);
        in_sm = sm++;
    }
    if (sm > 0) {
        w.category(kCatFmmu, fmmus);
        w.category(kCatSyncManager, sms);
    }
    if (t.in_size > 0)
        w.category(kCatTxPdo, pdo(t, true, in_sm));
    if (t.out_size > 0)
        w.category(kCatRxPdo, pdo(t, false, out_sm));
    w.u16(kCatEnd);
    w.u16(0);
    return w.words();
}

size_t sii_words_needed(const std::vector<uint16_t> &words)
{
    size_t at = kSiiCategories;
    while (at + 2 <= words.size()) {
        if (words[at] == kCatEnd)
            return at + 1;
        at += 2 + words[at + 1];
        if (at > kMaxWords)
            return words.size();  // no end: the reader stops at what it has
    }
    return at + 2;
}

bool parse_sii(const std::vector<uint16_t> &words, SiiInfo &info, std::string &error)
{
    if (words.size() < kSiiCategories + 1) {
        error = "the SII is shorter than its header";
        return false;
    }
    std::vector<uint8_t> b(words.size() * 2);
    for (size_t i = 0; i < words.size(); ++i)
        put16(&b[2 * i], words[i]);
    info = SiiInfo{};
    info.vendor = get32(&b[2 * kSiiVendor]);
    info.product = get32(&b[2 * kSiiProduct]);
    info.revision = get32(&b[2 * kSiiRevision]);
    info.serial = get32(&b[2 * kSiiSerial]);
    std::vector<std::string> strings;
    uint8_t order_index = 0, name_index = 0;
    for (size_t at = kSiiCategories; at + 2 <= words.size() && words[at] != kCatEnd;) {
        uint16_t type = words[at];
        size_t size = words[at + 1];
        if (at + 2 + size > words.size()) {
            error = "category " + std::to_string(type) + " runs past the end of the SII";
            return false;
        }
        const uint8_t *c = &b[2 * (at + 2)];
        const uint8_t *end = c + 2 * size;
        if (type == kCatStrings && size > 0) {
            const uint8_t *p = c + 1;
            for (uint8_t n = 0; n < c[0] && p < end && p + 1 + *p <= end; ++n, p += 1 + *p)
                strings.emplace_back(reinterpret_cast<const char *>(p + 1), *p);
        } else if (type == kCatGeneral && size >= 2) {
            order_index = c[2];
            name_index = c[3];
        } else if (type == kCatSyncManager) {
            for (const uint8_t *p = c; p + 8 <= end; p += 8)
                info.sync_managers.push_back({get16(p), get16(p + 2), p[4], p[6], p[7]});
        } else if (type == kCatTxPdo || type == kCatRxPdo) {
            bool inputs = type == kCatTxPdo;
            for (const uint8_t *p = c; p + 8 <= end;) {
                uint8_t entries = p[2], sm = p[3];
                const uint8_t *e = p + 8;
                for (uint8_t n = 0; n < entries && e + 8 <= end; ++n, e += 8)
                    if (sm != 0xFF)
                        (inputs ? info.in_bits : info.out_bits) += e[5];
                if (sm != 0xFF)
                    (inputs ? info.in_sm : info.out_sm) = sm;
                p = e;
            }
        }
        at += 2 + size;
    }
    for (size_t i = 0; i < info.sync_managers.size(); ++i) {
        if (info.in_sm < 0 && info.sync_managers[i].type == kSmInputs)
            info.in_sm = static_cast<int>(i);
        if (info.out_sm < 0 && info.sync_managers[i].type == kSmOutputs)
            info.out_sm = static_cast<int>(i);
    }
    auto string_at = [&](uint8_t index) { return index > 0 && index <= strings.size() ? strings[index - 1] : ""; };
    info.order = string_at(order_index);
    info.name = string_at(name_index);
    for (int sm : {info.in_sm, info.out_sm})
        if (sm >= static_cast<int>(info.sync_managers.size())) {
            error = "a PDO names sync manager " + std::to_string(sm) + ", which the SII does not list";
            return false;
        }
    return true;
}

}  // namespace ecatwire
