// ethercat.h - the parts of EtherCAT (ETG.1000) this master and the terminal
// simulator speak: frames of datagrams on EtherType 0x88A4, the slave
// controller registers they use, the SII (EEPROM) layout, and the AL status
// codes with their texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace ecatwire {

constexpr uint16_t kEtherType = 0x88A4;
constexpr size_t kEthernetHeader = 14;  // destination, source, EtherType
constexpr size_t kFrameHeader = 2;      // 11 bits length, 4 bits type (1: datagrams)
constexpr size_t kDatagramHeader = 10;  // command, index, address, length and flags, interrupt
constexpr size_t kWorkingCounter = 2;
constexpr size_t kMaxFrame = 1514;  // without the frame check sequence
constexpr size_t kMinFrame = 60;
constexpr size_t kMaxDatagramData = kMaxFrame - kEthernetHeader - kFrameHeader - kDatagramHeader - kWorkingCounter;

enum Command : uint8_t {
    kNop = 0,
    kAprd = 1, kApwr = 2, kAprw = 3,   // auto-increment (position) addressing
    kFprd = 4, kFpwr = 5, kFprw = 6,   // configured station address
    kBrd = 7, kBwr = 8, kBrw = 9,      // broadcast
    kLrd = 10, kLwr = 11, kLrw = 12,   // logical, through the FMMUs
};

// Slave controller registers.
constexpr uint16_t kRegType = 0x0000;
constexpr uint16_t kRegFmmuCount = 0x0004;
constexpr uint16_t kRegSmCount = 0x0005;
constexpr uint16_t kRegStation = 0x0010;
constexpr uint16_t kRegAlControl = 0x0120;
constexpr uint16_t kRegAlStatus = 0x0130;
constexpr uint16_t kRegAlStatusCode = 0x0134;
constexpr uint16_t kRegSiiConfig = 0x0500;   // 0: the EtherCAT side (the master) owns the EEPROM
constexpr uint16_t kRegSiiControl = 0x0502;  // u16 control/status, then u32 word address at 0x0504
constexpr uint16_t kRegSiiAddress = 0x0504;
constexpr uint16_t kRegSiiData = 0x0508;     // 8 bytes per read
constexpr uint16_t kRegFmmu = 0x0600;        // 16 bytes each
constexpr uint16_t kRegSm = 0x0800;          // 8 bytes each
constexpr uint16_t kRegisterSpace = 0x1000;  // process memory follows
constexpr size_t kFmmuSize = 16, kSmSize = 8, kFmmus = 8, kSms = 8;

constexpr uint16_t kSiiRead = 0x0100;       // command bits of the SII control word
constexpr uint16_t kSiiReadEight = 0x0040;  // status: reads bring 8 bytes
constexpr uint16_t kSiiBusy = 0x8000;
constexpr uint16_t kSiiError = 0x2000;      // no acknowledge (address beyond the EEPROM)

// AL states and the error flag of AL status; the acknowledge flag of AL control.
constexpr uint16_t kAlInit = 1, kAlPreop = 2, kAlBoot = 3, kAlSafeop = 4, kAlOp = 8;
constexpr uint16_t kAlStateMask = 0x0F, kAlError = 0x10, kAlAcknowledge = 0x10;

// FMMU types; sync manager types in the SII.
constexpr uint8_t kFmmuRead = 1, kFmmuWrite = 2;
constexpr uint8_t kSmMailboxOut = 1, kSmMailboxIn = 2, kSmOutputs = 3, kSmInputs = 4;

// SII: word addresses of the identity, the first category; category types.
constexpr uint16_t kSiiVendor = 0x0008, kSiiProduct = 0x000A, kSiiRevision = 0x000C, kSiiSerial = 0x000E;
constexpr uint16_t kSiiCategories = 0x0040;
constexpr uint16_t kCatStrings = 10, kCatGeneral = 30, kCatFmmu = 40, kCatSyncManager = 41, kCatTxPdo = 50,
                   kCatRxPdo = 51, kCatEnd = 0xFFFF;

// AL status codes used here.
constexpr uint16_t kAlCodeNone = 0x0000;
constexpr uint16_t kAlCodeInvalidStateChange = 0x0011;
constexpr uint16_t kAlCodeUnknownState = 0x0012;
constexpr uint16_t kAlCodeBootNotSupported = 0x0013;
constexpr uint16_t kAlCodeInvalidSmConfig = 0x0017;
constexpr uint16_t kAlCodeInvalidOutputConfig = 0x001D;
constexpr uint16_t kAlCodeInvalidInputConfig = 0x001E;

// "0x001E invalid input configuration"; unknown codes by number.
std::string al_status_text(uint16_t code);
// "INIT", "PREOP", "BOOT", "SAFEOP", "OP", or "state N".
const char *al_state_name(uint16_t state);

inline uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t *p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v)
{
    put16(p, static_cast<uint16_t>(v));
    put16(p + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace ecatwire
