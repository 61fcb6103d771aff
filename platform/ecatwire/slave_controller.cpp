// slave_controller.cpp - registers, SII access, AL states and FMMUs of one
// simulated slave controller.
#include "slave_controller.h"

#include "sii.h"

#include <algorithm>

namespace ecatwire {
namespace {

constexpr uint8_t kEscType = 0x11;  // an ESC with 8 FMMUs and 8 sync managers

bool is_read(uint8_t command)
{
    return command == kAprd || command == kFprd || command == kBrd || command == kAprw || command == kFprw ||
           command == kBrw;
}

bool is_write(uint8_t command)
{
    return command == kApwr || command == kFpwr || command == kBwr || command == kAprw || command == kFprw ||
           command == kBrw;
}

}  // namespace

SlaveController::SlaveController(const ecatsim::TerminalDecl &terminal, uint8_t *in, uint8_t *out, bool misplaced_sii)
    : terminal_(terminal), in_(in), out_(out), sii_(make_sii(terminal, misplaced_sii)), registers_(kRegisterSpace, 0)
{
    registers_[kRegType] = kEscType;
    registers_[kRegFmmuCount] = kFmmus;
    registers_[kRegSmCount] = kSms;
    put16(&registers_[kRegSiiControl], kSiiReadEight);
    set_status(kAlInit, kAlCodeNone);
}

void SlaveController::set_status(uint16_t state, uint16_t code)
{
    put16(&registers_[kRegAlStatus], state);
    put16(&registers_[kRegAlStatusCode], code);
}

uint16_t SlaveController::registers(const Datagram &d)
{
    uint16_t from = d.ado();
    if (uint32_t{from} + d.length > kRegisterSpace)
        return 0;  // the process memory is reached through FMMUs only here
    uint16_t wkc = 0;
    // A read-write hands back what was there before its write.
    std::vector<uint8_t> written(d.data, d.data + (is_write(d.command) ? d.length : 0));
    if (is_read(d.command)) {
        for (uint16_t i = 0; i < d.length; ++i)
            d.data[i] = d.command == kBrd ? static_cast<uint8_t>(d.data[i] | registers_[from + i])
                                          : registers_[from + i];
        wkc += 1;
    }
    if (is_write(d.command)) {
        for (uint16_t i = 0; i < d.length; ++i) {
            uint16_t at = static_cast<uint16_t>(from + i);
            if (at < kRegAlStatus || at >= kRegAlStatusCode + 2)  // AL status and its code are read-only
                registers_[at] = written[i];
        }
        after_write(from, static_cast<uint16_t>(from + d.length));
        wkc += is_read(d.command) ? 2 : 1;  // the write of a read-write counts two
    }
    return wkc;
}

void SlaveController::after_write(uint16_t from, uint16_t to)
{
    auto touched = [&](uint16_t reg) { return from <= reg && reg < to; };
    if (touched(kRegAlControl))
        request_state(get16(&registers_[kRegAlControl]));
    if (touched(kRegSiiControl + 1) && (get16(&registers_[kRegSiiControl]) & kSiiRead) != 0) {
        uint32_t word = get32(&registers_[kRegSiiAddress]);
        for (uint32_t i = 0; i < 4; ++i)
            put16(&registers_[kRegSiiData + 2 * i], word + i < sii_.size() ? sii_[word + i] : 0xFFFF);
        put16(&registers_[kRegSiiControl], kSiiReadEight);  // done at once: never busy
    }
    if (touched(kRegSiiControl) && !touched(kRegSiiControl + 1))
        put16(&registers_[kRegSiiControl], kSiiReadEight);
}

void SlaveController::request_state(uint16_t control)
{
    uint16_t wanted = control & kAlStateMask;
    uint16_t status = get16(&registers_[kRegAlStatus]);
    uint16_t now = status & kAlStateMask;
    bool in_error = (status & kAlError) != 0;
    if (in_error && (control & kAlAcknowledge) == 0 && wanted > now)
        return;  // an error holds until it is acknowledged or the master steps down
    if (wanted == kAlBoot) {
        set_status(static_cast<uint16_t>(now | kAlError), kAlCodeBootNotSupported);
        return;
    }
    if (wanted != kAlInit && wanted != kAlPreop && wanted != kAlSafeop && wanted != kAlOp) {
        set_status(static_cast<uint16_t>(now | kAlError), kAlCodeUnknownState);
        return;
    }
    bool up_one = (now == kAlInit && wanted == kAlPreop) || (now == kAlPreop && wanted == kAlSafeop) ||
                  (now == kAlSafeop && wanted == kAlOp);
    if (wanted > now && !up_one) {
        set_status(static_cast<uint16_t>(now | kAlError), kAlCodeInvalidStateChange);
        return;
    }
    if (now == kAlPreop && wanted == kAlSafeop) {
        if (uint16_t code = check_process_data(); code != kAlCodeNone) {
            set_status(static_cast<uint16_t>(now | kAlError), code);
            return;
        }
    }
    if (now == kAlOp && wanted != kAlOp && terminal_.kind == ecatsim::Kind::DigitalOut)
        std::fill(out_, out_ + terminal_.out_size, 0);  // outputs fall to their safe state
    set_status(wanted, kAlCodeNone);
}

bool SlaveController::sm_fits(uint16_t start, uint32_t length) const
{
    for (size_t n = 0; n < kSms; ++n) {
        const uint8_t *sm = &registers_[kRegSm + kSmSize * n];
        if (get16(sm) == start && get16(sm + 2) == length && (sm[6] & 1) != 0)
            return true;
    }
    return false;
}

bool SlaveController::fmmu_covers(uint8_t type, uint16_t start, uint32_t length) const
{
    for (size_t n = 0; n < kFmmus; ++n) {
        const uint8_t *f = &registers_[kRegFmmu + kFmmuSize * n];
        if (f[12] == 1 && (f[11] & type) != 0 && get16(f + 8) <= start && get16(f + 8) + get16(f + 4) >= start + length)
            return true;
    }
    return false;
}

// What a terminal's application checks before SAFEOP: its outputs and
// inputs each in an enabled sync manager of their exact size at the address
// it uses, and reached by an FMMU of the right direction.
uint16_t SlaveController::check_process_data() const
{
    if (terminal_.out_size > 0 &&
        (!sm_fits(kOutputsAt, terminal_.out_size) || !fmmu_covers(kFmmuWrite, kOutputsAt, terminal_.out_size)))
        return kAlCodeInvalidOutputConfig;
    uint16_t in_at = inputs_at(terminal_.out_size);
    if (terminal_.in_size > 0 &&
        (!sm_fits(in_at, terminal_.in_size) || !fmmu_covers(kFmmuRead, in_at, terminal_.in_size)))
        return kAlCodeInvalidInputConfig;
    return kAlCodeNone;
}

uint8_t *SlaveController::process_byte(uint16_t physical)
{
    if (physical >= kOutputsAt && physical < kOutputsAt + terminal_.out_size)
        return out_ + (physical - kOutputsAt);
    uint16_t in_at = inputs_at(terminal_.out_size);
    if (physical >= in_at && physical < in_at + terminal_.in_size)
        return in_ + (physical - in_at);
    return nullptr;
}

uint16_t SlaveController::logical(const Datagram &d)
{
    uint16_t state = al_state();
    if (state != kAlSafeop && state != kAlOp)
        return 0;
    bool read_hit = false, write_hit = false;
    for (size_t n = 0; n < kFmmus; ++n) {
        const uint8_t *f = &registers_[kRegFmmu + kFmmuSize * n];
        if (f[12] != 1)
            continue;
        uint64_t log_start = get32(f), log_end = log_start + get16(f + 4);
        uint64_t from = std::max<uint64_t>(log_start, d.address);
        uint64_t to = std::min<uint64_t>(log_end, uint64_t{d.address} + d.length);
        for (uint64_t a = from; a < to; ++a) {
            uint8_t *memory = process_byte(static_cast<uint16_t>(get16(f + 8) + (a - log_start)));
            uint8_t *frame = d.data + (a - d.address);
            if ((f[11] & kFmmuWrite) != 0 && (d.command == kLwr || d.command == kLrw)) {
                if (memory != nullptr && state == kAlOp)  // outputs stay safe below OP
                    *memory = *frame;
                write_hit = write_hit || state == kAlOp;
            }
            if ((f[11] & kFmmuRead) != 0 && (d.command == kLrd || d.command == kLrw)) {
                *frame = memory != nullptr ? *memory : 0;
                read_hit = true;
            }
        }
    }
    if (d.command == kLrw)
        return static_cast<uint16_t>((read_hit ? 1 : 0) + (write_hit ? 2 : 0));
    return read_hit || write_hit ? 1 : 0;
}

bool pass_frame(std::vector<SlaveController> &chain, uint8_t *frame, size_t size)
{
    FrameReader reader(frame, size);
    if (!reader.valid())
        return false;
    bool process_data = false;
    for (Datagram d; reader.next(d);) {
        uint16_t wkc = d.working_counter();
        uint16_t adp = d.adp();
        switch (d.command) {
        case kAprd: case kApwr: case kAprw:
            for (SlaveController &s : chain)
                if (adp++ == 0)
                    wkc = static_cast<uint16_t>(wkc + s.registers(d));
            d.set_adp(adp);
            break;
        case kFprd: case kFpwr: case kFprw:
            for (SlaveController &s : chain)
                if (s.station() == adp)
                    wkc = static_cast<uint16_t>(wkc + s.registers(d));
            break;
        case kBrd: case kBwr: case kBrw:
            for (SlaveController &s : chain) {
                wkc = static_cast<uint16_t>(wkc + s.registers(d));
                ++adp;
            }
            d.set_adp(adp);
            break;
        case kLrd: case kLwr: case kLrw:
            for (SlaveController &s : chain)
                wkc = static_cast<uint16_t>(wkc + s.logical(d));
            process_data = true;
            break;
        default:
            break;
        }
        d.set_working_counter(wkc);
    }
    frame[6] |= 0x02;  // the frame comes back: the source address turns locally administered
    return process_data;
}

}  // namespace ecatwire
