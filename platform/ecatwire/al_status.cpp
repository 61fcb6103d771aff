// al_status.cpp - the words for the AL status codes and states a start-up
// reports.
#include "ethercat.h"

#include <cstdio>

namespace ecatwire {
namespace {

struct Text {
    uint16_t code;
    const char *text;
};
constexpr Text kTexts[] = {
    {0x0000, "0x0000 no error"},
    {0x0001, "0x0001 unspecified error"},
    {0x0002, "0x0002 no memory"},
    {0x0011, "0x0011 invalid requested state change"},
    {0x0012, "0x0012 unknown requested state"},
    {0x0013, "0x0013 bootstrap not supported"},
    {0x0014, "0x0014 no valid firmware"},
    {0x0015, "0x0015 invalid mailbox configuration (bootstrap)"},
    {0x0016, "0x0016 invalid mailbox configuration"},
    {0x0017, "0x0017 invalid sync manager configuration"},
    {0x0018, "0x0018 no valid inputs available"},
    {0x0019, "0x0019 no valid outputs"},
    {0x001A, "0x001A synchronization error"},
    {0x001B, "0x001B sync manager watchdog"},
    {0x001C, "0x001C invalid sync manager types"},
    {0x001D, "0x001D invalid output configuration"},
    {0x001E, "0x001E invalid input configuration"},
    {0x001F, "0x001F invalid watchdog configuration"},
    {0x0020, "0x0020 slave needs cold start"},
    {0x0021, "0x0021 slave needs INIT"},
    {0x0022, "0x0022 slave needs PREOP"},
    {0x0023, "0x0023 slave needs SAFEOP"},
    {0x0024, "0x0024 invalid input mapping"},
    {0x0025, "0x0025 invalid output mapping"},
    {0x0026, "0x0026 inconsistent settings"},
    {0x0027, "0x0027 free-run not supported"},
    {0x0028, "0x0028 synchronization not supported"},
    {0x0029, "0x0029 free-run needs 3-buffer mode"},
    {0x002A, "0x002A background watchdog"},
    {0x002B, "0x002B no valid inputs and outputs"},
    {0x002C, "0x002C fatal sync error"},
    {0x002D, "0x002D no sync error"},
    {0x0030, "0x0030 invalid DC SYNC configuration"},
    {0x0050, "0x0050 EEPROM no access"},
    {0x0051, "0x0051 EEPROM error"},
};
constexpr const char *kStates[] = {"state 0", "INIT", "PREOP", "BOOT", "SAFEOP", "state 5", "state 6", "state 7", "OP"};

}  // namespace

std::string al_status_text(uint16_t code)
{
    for (const Text &t : kTexts)
        if (t.code == code)
            return t.text;
    char text[48];
    std::snprintf(text, sizeof text, "0x%04X (a code without words here)", code);
    return text;
}

const char *al_state_name(uint16_t state)
{
    return state < sizeof kStates / sizeof kStates[0] ? kStates[state] : "state ?";
}

}  // namespace ecatwire
