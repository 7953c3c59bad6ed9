// An XMODEM-1K receiver in CRC mode, written from the protocol rather than from the sender, so
// that it checks what the sender puts on the line.
#include "peers.h"

namespace d2xxsim {
namespace {

const uint8_t STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
const size_t kPacketLength = 1029;

// Bitwise CRC-16/XMODEM.
uint16_t Crc16(const uint8_t* data, size_t length)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

}  // namespace

void XmodemReceiverModel::Reply(std::vector<uint8_t> bytes)
{
    if (line_ && !bytes.empty())
        line_->Deliver(bytes);
}

void XmodemReceiverModel::OnPurge(ULONG mask)
{
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!started_ && (mask & FT_PURGE_RX)) {
            started_ = true;
            start = true;
        }
    }
    if (start)
        Reply({'C'});
}

void XmodemReceiverModel::OnWrite(const uint8_t* data, size_t length)
{
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> lock(lock_);
        pending_.insert(pending_.end(), data, data + length);
        while (!pending_.empty()) {
            uint8_t first = pending_[0];
            if (first == STX) {
                if (pending_.size() < kPacketLength)
                    break;
                std::vector<uint8_t> packet(pending_.begin(), pending_.begin() + kPacketLength);
                pending_.erase(pending_.begin(), pending_.begin() + kPacketLength);
                canRun_ = 0;
                int index = packets_++;
                if (faults_.silentFromPacket >= 0 && index >= faults_.silentFromPacket)
                    continue;
                if (index == faults_.cancelAtPacket) {
                    reply = {CAN, CAN};
                    continue;
                }
                if (index == faults_.corruptPacket)
                    packet[100] ^= 0xFF;
                uint8_t block = packet[1];
                uint16_t crc = static_cast<uint16_t>(packet[1027] << 8 | packet[1028]);
                bool valid = static_cast<uint8_t>(block + packet[2]) == 0xFF &&
                             Crc16(packet.data() + 3, 1024) == crc;
                if (!valid || faults_.nakPackets.count(index)) {
                    ++naks_;
                    reply = {NAK};
                } else if (block == static_cast<uint8_t>(expectedBlock_)) {
                    received_.insert(received_.end(), packet.begin() + 3, packet.begin() + 1027);
                    blockNumbers_.push_back(block);
                    ++expectedBlock_;
                    reply = {ACK};
                } else if (block == static_cast<uint8_t>(expectedBlock_ - 1)) {
                    reply = {ACK};  // a repeat of a block already taken
                } else {
                    reply = {CAN, CAN};  // out of sequence: the transfer cannot go on
                }
            } else {
                pending_.erase(pending_.begin());
                if (first == CAN) {
                    if (++canRun_ >= 4)
                        senderCancelled_ = true;
                    continue;
                }
                canRun_ = 0;
                if (first != EOT)
                    continue;
                int index = packets_++;
                if (faults_.silentFromPacket >= 0 && index >= faults_.silentFromPacket)
                    continue;
                if (faults_.nakFirstEot && eots_++ == 0) {
                    ++naks_;
                    reply = {NAK};
                } else {
                    completed_ = true;
                    reply = {ACK};
                }
            }
        }
    }
    Reply(reply);
}

std::vector<uint8_t> XmodemReceiverModel::Received()
{
    std::lock_guard<std::mutex> lock(lock_);
    return received_;
}

std::vector<int> XmodemReceiverModel::BlockNumbers()
{
    std::lock_guard<std::mutex> lock(lock_);
    return blockNumbers_;
}

int XmodemReceiverModel::Packets()
{
    std::lock_guard<std::mutex> lock(lock_);
    return packets_;
}

int XmodemReceiverModel::Naks()
{
    std::lock_guard<std::mutex> lock(lock_);
    return naks_;
}

bool XmodemReceiverModel::Completed()
{
    std::lock_guard<std::mutex> lock(lock_);
    return completed_;
}

bool XmodemReceiverModel::SenderCancelled()
{
    std::lock_guard<std::mutex> lock(lock_);
    return senderCancelled_;
}

}  // namespace d2xxsim
