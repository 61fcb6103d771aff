// datagram.cpp - the layout of EtherCAT frames and datagrams.
#include "datagram.h"

namespace ecatwire {
namespace {

constexpr uint16_t kLengthMask = 0x07FF;
constexpr uint16_t kMoreFollows = 0x8000;
constexpr uint16_t kTypeDatagrams = 0x1000;

size_t payload_length(const uint8_t *frame)
{
    return get16(frame + kEthernetHeader) & kLengthMask;
}

}  // namespace

void FrameBuilder::start(const uint8_t *source)
{
    std::memset(frame_, 0xFF, 6);
    std::memcpy(frame_ + 6, source, 6);
    frame_[12] = static_cast<uint8_t>(kEtherType >> 8);
    frame_[13] = static_cast<uint8_t>(kEtherType & 0xFF);
    used_ = kEthernetHeader + kFrameHeader;
    last_ = nullptr;
}

size_t FrameBuilder::room() const
{
    size_t overhead = kDatagramHeader + kWorkingCounter;
    return used_ + overhead > kMaxFrame ? 0 : kMaxFrame - used_ - overhead;
}

uint8_t *FrameBuilder::add(uint8_t command, uint8_t index, uint32_t address, uint16_t length)
{
    if (length > room())
        return nullptr;
    if (last_ != nullptr)
        put16(last_ + 6, static_cast<uint16_t>(get16(last_ + 6) | kMoreFollows));
    uint8_t *h = frame_ + used_;
    h[0] = command;
    h[1] = index;
    put32(h + 2, address);
    put16(h + 6, length);
    put16(h + 8, 0);
    std::memset(h + kDatagramHeader, 0, length + kWorkingCounter);
    used_ += kDatagramHeader + length + kWorkingCounter;
    last_ = h;
    return h + kDatagramHeader;
}

const uint8_t *FrameBuilder::finish(size_t &size)
{
    put16(frame_ + kEthernetHeader,
          static_cast<uint16_t>((used_ - kEthernetHeader - kFrameHeader) | kTypeDatagrams));
    size = used_;
    if (size < kMinFrame) {
        std::memset(frame_ + size, 0, kMinFrame - size);
        size = kMinFrame;
    }
    return frame_;
}

bool FrameReader::valid() const
{
    if (size_ < kEthernetHeader + kFrameHeader || frame_[12] != (kEtherType >> 8) || frame_[13] != (kEtherType & 0xFF))
        return false;
    uint16_t header = get16(frame_ + kEthernetHeader);
    return (header & 0xF000) == kTypeDatagrams && kEthernetHeader + kFrameHeader + payload_length(frame_) <= size_;
}

bool FrameReader::next(Datagram &d)
{
    size_t end = kEthernetHeader + kFrameHeader + payload_length(frame_);
    if (!more_ || at_ + kDatagramHeader + kWorkingCounter > end)
        return false;
    uint8_t *h = frame_ + at_;
    uint16_t flags = get16(h + 6);
    size_t length = flags & kLengthMask;
    if (at_ + kDatagramHeader + length + kWorkingCounter > end)
        return false;
    d.command = h[0];
    d.index = h[1];
    d.address = get32(h + 2);
    d.length = static_cast<uint16_t>(length);
    d.header = h;
    d.data = h + kDatagramHeader;
    more_ = (flags & kMoreFollows) != 0;
    at_ += kDatagramHeader + length + kWorkingCounter;
    return true;
}

}  // namespace ecatwire
