// Sizes of the fixed-length transport stream packet: every slot of the packet buffer and
// every packet the packetizers and the PSI writer fill is this long.
#ifndef PALVEX_TS_TS_PACKET_H_
#define PALVEX_TS_TS_PACKET_H_

namespace palvex {

constexpr int kTSPacketSize = 188;
constexpr int kTSHeaderSize = 4;  // sync_byte up to continuity_counter
constexpr int kTSPayloadRoom = kTSPacketSize - kTSHeaderSize;

}  // namespace palvex

#endif  // PALVEX_TS_TS_PACKET_H_
