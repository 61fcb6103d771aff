// discovery.cpp - the first half of the CAN_COMM thread: it waits for the
// container's connection, opens the node's EtherCAT master, finds every
// EL6751, classifies its images, publishes each channel's tags, announces
// each device-state segment, and publishes SlaveCount last.
#include "can_driver.h"
#include "log_lines.h"
#include "kohgapi.h"
#include "log_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kVendor = 2;
constexpr uint32_t kProductCode = 0x1A5F3052;
constexpr uint32_t kStandardOut = 106, kExtendedOut = 146, kStateBytes = 7;
constexpr uint32_t kAnnounceCode = 117;

// Start-up failure: the console line has been printed; Error, finished, end.
void fail_start(CanDriverState *s)
{
    WriteCanByte(s, kErrorTag, s->error, 1);
    set_can_flag(s->finished, 1);
}

uint32_t unbound_status()
{
    return 0xFFFF;
}

EhSlaveSearch search_for(uint32_t index)
{
    EhSlaveSearch search;
    std::memset(&search, 0, sizeof search);
    search.size = sizeof search;
    search.index = index;
    search.vendor = kVendor;
    search.product_code = kProductCode;
    return search;
}

uint32_t find_slave(CanDriverState *s, EhSlaveSearch &search)
{
    return s->eh.find_slave != nullptr ? eh_status(s->eh.find_slave(s->eh_handle, &search)) : unbound_status();
}

uint8_t classify(int i, const EhSlaveSearch &search)
{
    if (search.in_size == search.out_size + kStateBytes && search.out_size == kStandardOut)
        return CAN_FORMAT_STANDARD;
    if (search.in_size == search.out_size + kStateBytes && search.out_size == kExtendedOut)
        return CAN_FORMAT_EXTENDED;
    LogPrint(KoServiceName, "WRN",
             "CAN: Unsupport VIOS size: [%d, in= %d(rq: %d), out = %d(rq: %d or %d)]\n,%s,%05d", i,
             static_cast<int>(search.in_size), static_cast<int>(search.out_size + kStateBytes),
             static_cast<int>(search.out_size), 106, 146, kCanSource, can_line::kUnsupportedImageSize);
    LogPrint(KoServiceName, "WRN", "CAN: sizeof(struct CAN_COMM_DATA_EL6751_STD) = %d, [10] = %d, ofs = %d, %d\n,%s,%05d",
             10, 100, 0, 2, kCanSource, can_line::kStandardRecordSize);
    LogPrint(KoServiceName, "WRN",
             "CAN: sizeof(struct CAN_COMM_DATA_EL6751_EXT) = %d, [10] = %d, ofs = %d, %d, %d\n,%s,%05d", 14, 140, 0, 2,
             6, kCanSource, can_line::kExtendedRecordSize);
    return CAN_FORMAT_OTHER;
}

// The steps of one channel's tags; each failure prints its console line.
struct ChannelTags {
    CanDriverState *s;
    int channel;
    char name[kCanTagNameSize];

    const char *tag(const char *suffix)
    {
        std::snprintf(name, sizeof name, "SERVICE.ECAT.CAN.%02d.%s", channel, suffix);
        return name;
    }
    bool check(uint32_t status, const char *call, int line)
    {
        if (status == 0)
            return true;
        std::printf("E$CANBRIDGE[%05d] %s(%s) failed. Status[%08Xh]\n", line, call, name, status);
        return false;
    }
    bool entry(uint32_t *out, int line)
    {
        return check(KoTagGetProperty(name, "Entry", out, 4), "KoTagGetProperty", line);
    }
    bool fifo(const char *suffix, const char *description, uint32_t *out, int line)
    {
        char work[49];
        uint32_t word = 0;
        tag(suffix);
        return check(KoTagCreateFIFO(name, sizeof(CAN_COMM_DATA_EL6751_EXT), kCanFifoDepth, nullptr, description,
                                     work, sizeof work, &word),
                     "KoTagCreateFIFO", line) &&
               entry(out, line + 1);
    }
    bool flag(const char *suffix, const char *description, uint32_t *out, uint8_t value, int line)
    {
        tag(suffix);
        return check(KoTagCreateEx(name, KO_TYPE_U8, "", description), "KoTagCreateEx", line) && entry(out, line + 1) &&
               check(KoTagWriteByEntry(*out, &value, 1), "KoTagWriteByEntry", line + 2);
    }
    bool counter(const char *suffix, const char *description, uint32_t *out, int line)
    {
        tag(suffix);
        return check(KoTagCreateEx(name, KO_TYPE_I32, "", description), "KoTagCreateEx", line) && entry(out, line + 1);
    }
    bool number(const char *suffix, const char *description, uint32_t value, int line)
    {
        tag(suffix);
        return check(KoTagCreateEx(name, KO_TYPE_I32, "", description), "KoTagCreateEx", line) &&
               check(KoTagWrite(name, &value, 4), "KoTagWrite", line + 1);
    }
};

// Channel i's tags in their order, and the announcement of its segment.
bool publish_channel(CanDriverState *s, int i, const EhSlaveSearch &search)
{
    CAN_SLAVE_ENTRY &e = s->slaves[i];
    ChannelTags t{s, i, {}};
    // The entry is packed: its words are filled from aligned locals.
    uint32_t tx_fifo = 0, rx_fifo = 0, tx_overrun = 0, rx_overrun = 0;
    bool made = t.fifo("TxFrameFIFO", "QBX-CAN-E Tx Frame FIFO", &tx_fifo, 408) &&
                t.fifo("RxFrameFIFO", "QBX-CAN-E Rx Frame FIFO", &rx_fifo, 412) &&
                t.flag("TxFrameFIFO.Overrun", "QBX-CAN-E Tx Frame FIFO Overrun", &tx_overrun, e.tx_overrun, 419) &&
                t.flag("RxFrameFIFO.Overrun", "QBX-CAN-E Rx Frame FIFO Overrun", &rx_overrun, e.rx_overrun, 424);
    e.tx_fifo = tx_fifo;
    e.rx_fifo = rx_fifo;
    e.tx_overrun_entry = tx_overrun;
    e.rx_overrun_entry = rx_overrun;
    if (!made ||
        !t.number("SlaveType", "QBX-CAN-E Slave Type", e.format, 429) ||
        !t.number("SlaveIndex", "QBX-CAN-E Slave Index for QBX-ECAT", e.slave_index, 433) ||
        !t.number("VIOS_IN.Offset", "QBX-CAN-E Slave VIOS_IN Offset", search.in_offset, 437) ||
        !t.number("VIOS_IN.Size", "QBX-CAN-E Slave VIOS_IN Size", search.in_size, 441) ||
        !t.number("VIOS_OUT.Offset", "QBX-CAN-E Slave VIOS_OUT Offset", search.out_offset, 445) ||
        !t.number("VIOS_OUT.Size", "QBX-CAN-E Slave VIOS_OUT Size", search.out_size, 449))
        return false;
    char path[32], work[49];
    uint32_t word = 0;
    std::snprintf(path, sizeof path, "ECAT/%d", static_cast<int>(search.in_offset + search.in_size - kStateBytes));
    t.tag("DeviceStateImage");
    if (!t.check(KoTagCreateSegment(t.name, KO_TYPE_SEGMENT13, kStateBytes, path, "QBX-CAN-E Slave VIOS_IN DeviceState Image", work,
                                    sizeof work, &word),
                 "KoTagCreateSegment", 459))
        return false;
    uint32_t rx_lost = 0, tx_lost = 0;
    if (!t.counter("RxLost", "QBX-CAN-E Rx frames lost to a full FIFO", &rx_lost, 460) ||
        !t.counter("TxLost", "QBX-CAN-E Tx frames lost to a full FIFO", &tx_lost, 462))
        return false;
    e.rx_lost_entry = rx_lost;
    e.rx_lost = 0;
    uintptr_t mailbox = 0;
    uint32_t status = KoMailboxOpen(KoServiceShortName, KO_MAILBOX_SEND, &mailbox);
    int line = 464;
    const char *call = "KoMailboxOpen";
    if (status == 0) {
        status = KoMailboxSend(mailbox, KoServiceShortName, kAnnounceCode, t.name,
                               static_cast<uint32_t>(std::strlen(t.name) + 1));
        line = 465;
        call = "KoMailboxSend";
        if (status == 0) {
            status = KoMailboxClose(mailbox);
            line = 466;
            call = "KoMailboxClose";
        }
    }
    if (status != 0)
        std::printf("E$CANBRIDGE[%05d] %s(%s) failed. Status[%08Xh]\n", line, call, KoServiceShortName, status);
    return status == 0;
}

bool discover(CanDriverState *s)
{
    uint32_t status = s->eh.get_node_status != nullptr ? eh_status(s->eh.get_node_status(s->node_name, 0xFFFFFFFFu))
                                                       : unbound_status();
    if (status != 0) {
        std::printf("E$CANBRIDGE[%05d] EhGetEhNodeStatus() failed. Status[%04Xh]\n", 273, status);
        return false;
    }
    uint32_t open_status = unbound_status();
    s->eh_handle = s->eh.open != nullptr ? s->eh.open(s->node_name, &open_status) : 0;
    if (s->eh_handle == 0) {
        std::printf("E$CANBRIDGE[%05d] EhOpen() failed. Status[%04Xh]\n", 280, eh_status(open_status));
        return false;
    }
    int count = 0;
    for (EhSlaveSearch search = search_for(0); find_slave(s, search) == 0; search = search_for(++count)) {
    }
    s->slave_count = count;
    if (count == 0)
        LogPrint(KoServiceName, "WRN", "CAN: Can't find EL6751\n,%s,%05d", kCanSource, can_line::kNoGateway);
    s->slaves = static_cast<CAN_SLAVE_ENTRY *>(std::calloc(count > 0 ? count : 1, count > 0 ? sizeof(CAN_SLAVE_ENTRY) : 1));
    if (s->slaves == nullptr) {
        std::printf("E$CANBRIDGE[%05d] malloc() / AllocateRtMemory() failed. Status[%08Xh]\n", 317, GetLastRtError());
        return false;
    }
    uintptr_t in_base = 0, out_base = 0;
    uint32_t size = 0;
    status = s->eh.vios_in != nullptr ? eh_status(s->eh.vios_in(s->eh_handle, &in_base, &size)) : unbound_status();
    if (status != 0) {
        std::printf("E$CANBRIDGE[%05d] EhGetViosInAddress() failed. Status[%04Xh]\n", 343, status);
        return false;
    }
    status = s->eh.vios_out != nullptr ? eh_status(s->eh.vios_out(s->eh_handle, &out_base, &size)) : unbound_status();
    if (status != 0) {
        std::printf("E$CANBRIDGE[%05d] EhGetViosOutAddress() failed. Status[%04Xh]\n", 348, status);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        EhSlaveSearch search = search_for(static_cast<uint32_t>(i));
        status = find_slave(s, search);
        if (status != 0) {
            std::printf("E$CANBRIDGE[%05d] EhFindSlave(i = %d) failed. Status[%04Xh]\n", 360, i, status);
            return false;
        }
        CAN_SLAVE_ENTRY &e = s->slaves[i];
        e.slave_index = search.slave_index;
        e.in_image = reinterpret_cast<CAN_COMM_IMAGE_EL6751_IN *>(in_base + search.in_offset);
        e.out_image = reinterpret_cast<CAN_COMM_IMAGE_EL6751_OUT *>(out_base + search.out_offset);
        e.format = classify(i, search);
        LogPrint(KoServiceName, "DBG", "CAN: EL6751[%d] format type = [%02Xh]\n,%s,%05d", i, e.format, kCanSource, can_line::kFormatType);
        e.rx_overrun = e.tx_overrun = 0;
        if (!publish_channel(s, i, search))
            return false;
    }
    const char *count_tag = "SERVICE.ECAT.CAN.SlaveCount";
    if ((status = KoTagCreateEx(count_tag, KO_TYPE_I32, "", "QBX-CAN-E Slave Count")) != 0) {
        std::printf("E$CANBRIDGE[%05d] KoTagCreateEx(%s) failed. Status[%08Xh]\n", 479, count_tag, status);
        return false;
    }
    uint32_t slave_count = static_cast<uint32_t>(count);
    if ((status = KoTagWrite(count_tag, &slave_count, 4)) != 0) {
        std::printf("E$CANBRIDGE[%05d] KoTagWrite(%s) failed. Status[%08Xh]\n", 480, count_tag, status);
        return false;
    }
    return true;
}

}  // namespace

void CanCommThread(void *param)
{
    auto *s = static_cast<CanDriverState *>(param);
    WriteCanByte(s, kStatusTag, s->status, 1);
    for (;;) {
        uint8_t connected = 0;
        if (KoTagRead(s->names[kConnectedTag], &connected, 1) == 0 && connected != 0)
            break;
        if (can_flag(s->stop_request) != 0) {
            EndCanThread(s);
            return;
        }
        RtSleep(200);
    }
    set_can_flag(s->connected, 1);
    if (!discover(s)) {
        fail_start(s);
        return;
    }
    RunCanExchange(s);
}
