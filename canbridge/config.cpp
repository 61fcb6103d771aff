// config.cpp - the CAN driver's tag names, its configuration tags with their
// defaults and write-back, and its status tags.
#include "can_driver.h"
#include "kohgapi.h"
#include "log_options.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char *kNameFormats[kCanNameCount] = {
    "SERVICE.%s.CAN.TxCount", "SERVICE.%s.CAN.RxCount",  "SERVICE.%s.CAN.Status",      "SERVICE.%s.CAN.Error",
    "SERVICE.%s.CAN.Run",     "SERVICE.%s.CAN.Live",     "SERVICE.%s.CAN.Mode",        "SERVICE.%s.CAN.Priority",
    "SERVICE.%s.CAN.OverrunCtrl", "SERVICE.%s.NodeName", "SERVICE.%s.Connected",
    "SERVICE.%s.CAN.Disconnects",
};

// A one-byte setting: the tag's value when it is valid, else the default,
// written back; then its "DBG" line.
uint8_t setting(const char *name, uint8_t low, uint8_t high, uint8_t fallback, int line)
{
    uint8_t value = 0;
    if (KoTagRead(name, &value, 1) != 0 || value < low || value > high) {
        value = fallback;
        KoTagWrite(name, &value, 1);
    }
    LogPrint(KoServiceName, "DBG", "%s [%d],%s,%05d", name, value, kCanSource, line);
    return value;
}

}  // namespace

void FormatCanTagNames(CanDriverState *s)
{
    for (int i = 0; i < kCanNameCount; ++i)
        std::snprintf(s->names[i], kCanTagNameSize, kNameFormats[i], KoServiceName);
}

void ReadCanConfig(CanDriverState *s)
{
    s->mode = setting(s->names[kModeTag], 1, 1, 1, 196);
    s->priority = setting(s->names[kPriorityTag], 1, 254, 150, 206);
    s->overrun_ctrl = setting(s->names[kOverrunCtrlTag], 0, 1, 1, 216);
    if (KoTagGetProperty(s->names[kNodeNameTag], "Address", s->node_name, sizeof s->node_name) != 0 ||
        s->node_name[0] == '\0') {
        NODE_INFO info;
        std::memset(&info, 0, sizeof info);
        if (GetRtNodeInfo(static_cast<DWORD>(-2), &info) == 1)
            std::snprintf(s->node_name, sizeof s->node_name, "%.32s", info.szNodeName);
    }
}

void CreateCanStatusTags(CanDriverState *s)
{
    const struct {
        CanName tag;
        uint32_t type;
    } tags[] = {{kTxCountTag, KO_TYPE_I32}, {kRxCountTag, KO_TYPE_I32}, {kStatusTag, KO_TYPE_BYTE},
                {kErrorTag, KO_TYPE_U8},    {kRunTag, KO_TYPE_U8},      {kLiveTag, KO_TYPE_I32},
                {kDisconnectsTag, KO_TYPE_I32}};
    for (const auto &t : tags)
        KoTagCreateEx(s->names[t.tag], t.type, "", "");
}

void WriteCanByte(CanDriverState *s, CanName tag, uint8_t &field, uint8_t value)
{
    field = value;
    KoTagWrite(s->names[tag], &field, 1);
}
