// exchange.cpp - the second half of the CAN_COMM thread: once per EtherCAT
// cycle, received batches go from every gateway's input image into the
// channel's Rx FIFO, and waiting frames from the Tx FIFO into the output
// image, under the counter handshake. A pass allocates nothing and looks up
// no name: its counters are written by entry.
//
// Decisions:
// - A gateway that reports rx_count above 10 is served 10 records; nothing
//   beyond its image is read.
// - A gateway of unsupported image size (format 0) keeps its channel and
//   tags, but its images and handshake words are never touched.
// - The handshake words are read and written as atomic 16-bit words: the
//   master's side of the images runs in another thread.
// - A lost link stops the master's cycles, so the thread waits for a cycle
//   in slices and looks at the connection between them: a loss is reported
//   when it happens, not when the cycles resume. Error raised by a loss is
//   cleared, with one log line, once the link is back; Disconnects counts
//   the losses.
#include "can_driver.h"
#include "log_lines.h"
#include "kohgapi.h"
#include "log_options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr uint32_t kOperational = 8;
constexpr uint32_t kWatchSliceMs = 100;
constexpr size_t kTxCounter = CAN_IMAGE_TX_COUNTER, kRxAck = CAN_IMAGE_RX_ACK, kTxCount = CAN_IMAGE_TX_COUNT;
constexpr size_t kTxAck = CAN_IMAGE_TX_ACK, kRxCounter = CAN_IMAGE_RX_COUNTER, kRxCount = CAN_IMAGE_RX_COUNT;

enum class Pass { next, leave };

uint16_t word(const void *image, size_t offset)
{
    return __atomic_load_n(reinterpret_cast<const uint16_t *>(static_cast<const uint8_t *>(image) + offset),
                           __ATOMIC_ACQUIRE);
}

void set_word(void *image, size_t offset, uint16_t value)
{
    __atomic_store_n(reinterpret_cast<uint16_t *>(static_cast<uint8_t *>(image) + offset), value, __ATOMIC_RELEASE);
}

// One slice of the wait for the next cycle: 0 a cycle passed, EH_E_TIMEOUT
// none within the slice, anything else cancelled or failed.
uint32_t wait_cycle(CanDriverState *s)
{
    return s->eh.wait != nullptr ? eh_status(s->eh.wait(s->eh_handle, kWatchSliceMs)) : 0xFFFF;
}

uint32_t fifo_count(uint32_t entry, uint32_t &count)
{
    uint32_t status = KoTagGetFIFOCount(entry, &count);
    count &= 0xFFFF;
    return status;
}

Pass exchange_failure(CanDriverState *s, bool receive, int line, int channel, uint32_t status)
{
    std::printf(receive ? "E$CANBRIDGE[%05d] Cannot access CAN Rx Frame FIFO (%d). Status[%08Xh]\n"
                        : "E$CANBRIDGE[%05d] Cannot access CAN Tx Frame FIFO (%d). Status[%08Xh]\n",
                line, channel, status);
    WriteCanByte(s, kErrorTag, s->error, 1);
    return Pass::leave;
}

// The overrun flag of one side: set with its log line once until drained.
uint32_t raise_overrun(CanDriverState *s, uint8_t &flag, uint32_t entry, bool receive, int channel, uint32_t count)
{
    if (flag != 0)
        return 0;
    LogPrint(KoServiceName, s->overrun_ctrl == 0 ? "ERR" : "WRN",
             receive ? "CAN: Rx FIFO is full! slave=%d, remain=%d\n,%s,%05d"
                     : "CAN: Tx FIFO is full! slave=%d, remain=%d\n,%s,%05d",
             channel, static_cast<int>(count), kCanSource, receive ? can_line::kRxFifoFull : can_line::kTxFifoFull);
    flag = 1;
    return KoTagWriteByEntry(entry, &flag, 1);
}

Pass receive(CanDriverState *s, int n, CAN_SLAVE_ENTRY &e, uint32_t &rx_pass)
{
    uint32_t count = 0;
    if (uint32_t status = fifo_count(e.rx_fifo, count); status != 0)
        return exchange_failure(s, true, 547, n, status);
    if (count == 0 && e.rx_overrun == 1) {
        e.rx_overrun = 0;
        if (uint32_t status = KoTagWriteByEntry(e.rx_overrun_entry, &e.rx_overrun, 1); status != 0)
            return exchange_failure(s, true, 551, n, status);
    }
    uint16_t rx_counter = word(e.in_image, kRxCounter);
    if (rx_counter == word(e.out_image, kRxAck))
        return Pass::next;
    uint32_t served = 0, lost = 0;
    for (uint32_t m = 0; m < std::min<uint32_t>(word(e.in_image, kRxCount), kBatchSlots); ++m) {
        if (count >= kCanFifoDepth) {
            if (uint32_t status = raise_overrun(s, e.rx_overrun, e.rx_overrun_entry, true, n, count); status != 0)
                return exchange_failure(s, true, 566, n, status);
            if (s->overrun_ctrl == 0) {
                WriteCanByte(s, kErrorTag, s->error, 1);
                return Pass::leave;
            }
        }
        CAN_COMM_DATA_EL6751_EXT record;
        if (e.format == CAN_FORMAT_STANDARD)
            CanFrameFromStd(&e.in_image->frames.standard[m], &record);
        else
            std::memcpy(&record, &e.in_image->frames.extended[m], sizeof record);
        uint32_t status = KoTagPutFIFO(e.rx_fifo, &record, sizeof record, &count);
        count &= 0xFFFF;
        if (status == KO_E_FIFO_FULL)
            ++lost;
        else if (status != 0)
            return exchange_failure(s, true, 588, n, status);
        served = m + 1;
    }
    if (lost != 0) {
        e.rx_lost += lost;
        uint32_t total = e.rx_lost;
        KoTagWriteByEntry(e.rx_lost_entry, &total, 4);
    }
    set_word(e.out_image, kRxAck, rx_counter);
    rx_pass += served;
    return Pass::next;
}

Pass send(CanDriverState *s, int n, CAN_SLAVE_ENTRY &e, uint32_t &tx_pass)
{
    uint32_t count = 0;
    if (uint32_t status = fifo_count(e.tx_fifo, count); status != 0)
        return exchange_failure(s, false, 616, n, status);
    if (count == 0) {
        if (e.tx_overrun == 1) {
            e.tx_overrun = 0;
            if (uint32_t status = KoTagWriteByEntry(e.tx_overrun_entry, &e.tx_overrun, 1); status != 0)
                return exchange_failure(s, false, 620, n, status);
        }
        return Pass::next;
    }
    uint16_t tx_ack = word(e.in_image, kTxAck);
    if (word(e.out_image, kTxCounter) != tx_ack)
        return Pass::next;  // the terminal has not taken the last batch yet
    uint16_t filled = 0;
    for (uint32_t m = 0; m < kBatchSlots; ++m) {
        if (count >= kCanFifoDepth) {
            if (uint32_t status = raise_overrun(s, e.tx_overrun, e.tx_overrun_entry, false, n, count); status != 0)
                return exchange_failure(s, false, 637, n, status);
            if (s->overrun_ctrl == 0) {
                WriteCanByte(s, kErrorTag, s->error, 1);
                return Pass::leave;
            }
        }
        uint32_t status;
        if (e.format == CAN_FORMAT_STANDARD) {
            CAN_COMM_DATA_EL6751_EXT record;
            status = KoTagGetFIFO(e.tx_fifo, &record, sizeof record, &count);
            if (status == 0)
                CanFrameToStd(&record, &e.out_image->frames.standard[m]);
        } else {
            status = KoTagGetFIFO(e.tx_fifo, &e.out_image->frames.extended[m], sizeof(CAN_COMM_DATA_EL6751_EXT), &count);
        }
        count &= 0xFFFF;
        if (status != 0)
            return exchange_failure(s, false, 662, n, status);
        ++filled;
        if (count == 0)
            break;
    }
    std::memcpy(reinterpret_cast<uint8_t *>(e.out_image) + kTxCount, &filled, sizeof filled);
    set_word(e.out_image, kTxCounter, static_cast<uint16_t>(tx_ack + 1));
    tx_pass += filled;
    return Pass::next;
}

// The container's connection flag: a loss is reported once, a return
// clears the Error that the loss raised.
Pass watch_connection(CanDriverState *s)
{
    bool up = can_flag(s->connected) != 0;
    if (!up && s->link_lost == 0) {
        s->link_lost = 1;
        ++s->disconnects;
        KoTagWrite(s->names[kDisconnectsTag], &s->disconnects, 4);
        if (s->error == 0) {
            LogPrint(KoServiceName, "ERR", "CAN: Disconnected.\n,%s,%05d", kCanSource, can_line::kDisconnected);
            s->error_from_link = 1;
            WriteCanByte(s, kErrorTag, s->error, 1);
        }
    } else if (up && s->link_lost != 0) {
        s->link_lost = 0;
        LogPrint(KoServiceName, "OPE", "CAN: Connected again.\n,%s,%05d", kCanSource, can_line::kConnectedAgain);
        if (s->error_from_link != 0) {
            s->error_from_link = 0;
            WriteCanByte(s, kErrorTag, s->error, 0);
        }
    }
    return !up && s->overrun_ctrl == 0 ? Pass::leave : Pass::next;
}

Pass one_pass(CanDriverState *s)
{
    if (watch_connection(s) == Pass::leave)
        return Pass::leave;
    uint32_t rx_pass = 0, tx_pass = 0;
    for (int n = 0; n < s->slave_count; ++n)
        if (s->slaves[n].format != CAN_FORMAT_OTHER && receive(s, n, s->slaves[n], rx_pass) == Pass::leave)
            return Pass::leave;
    for (int n = 0; n < s->slave_count; ++n)
        if (s->slaves[n].format != CAN_FORMAT_OTHER && send(s, n, s->slaves[n], tx_pass) == Pass::leave)
            return Pass::leave;
    ++s->live;
    KoTagWriteByEntry(s->live_entry, &s->live, 4);
    if (rx_pass != 0) {
        s->rx_total += rx_pass;
        KoTagWriteByEntry(s->rx_count_entry, &s->rx_total, 4);
    }
    if (tx_pass != 0) {
        s->tx_total += tx_pass;
        KoTagWriteByEntry(s->tx_count_entry, &s->tx_total, 4);
    }
    return Pass::next;
}

void log_cancel(uint32_t status, int line)
{
    LogPrint(KoServiceName, "DBG", "CAN: Cancel[%04Xh]\n,%s,%05d", eh_status(status), kCanSource, line);
}

// Leave the loop; after an error stop idle on the cycle until cancelled.
void leave(CanDriverState *s, bool cancelled)
{
    WriteCanByte(s, kRunTag, s->run, 0);
    if (!cancelled) {
        uint32_t status;
        while ((status = wait_cycle(s)) == 0 || status == EH_E_TIMEOUT) {
        }
        log_cancel(status, can_line::kCancelAfterError);
    }
    EndCanThread(s);
}

}  // namespace

void RunCanExchange(CanDriverState *s)
{
    for (auto [tag, entry] : {std::pair{kLiveTag, &s->live_entry}, std::pair{kRxCountTag, &s->rx_count_entry},
                              std::pair{kTxCountTag, &s->tx_count_entry}})
        KoTagGetProperty(s->names[tag], "Entry", entry, 4);
    WriteCanByte(s, kRunTag, s->run, 1);
    for (;;) {
        uint16_t reserved = 0, state = 0;
        if (s->eh.get_state != nullptr && eh_status(s->eh.get_state(s->eh_handle, &reserved, &state)) == 0 &&
            state == kOperational)
            break;
        if (can_flag(s->stop_request) != 0) {
            leave(s, true);
            return;
        }
        RtSleep(10);
    }
    for (;;) {
        uint32_t status = wait_cycle(s);
        if (status == EH_E_TIMEOUT) {
            if (watch_connection(s) == Pass::leave) {
                leave(s, false);
                return;
            }
            continue;
        }
        if (status != 0) {
            log_cancel(status, can_line::kCancelInLoop);
            leave(s, true);
            return;
        }
        if (one_pass(s) == Pass::leave) {
            leave(s, false);
            return;
        }
    }
}

void EndCanThread(CanDriverState *s)
{
    LogPrint(KoServiceName, "DBG", "CAN: Finish\n,%s,%05d", kCanSource, can_line::kFinish);
    WriteCanByte(s, kStatusTag, s->status, 0);
    set_can_flag(s->finished, 1);
}
