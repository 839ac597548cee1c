// The muxer's output area: a contiguous array of 188-byte transport stream packet slots,
// filled during one ProcessFrame call and emptied after it.
#ifndef PALVEX_TS_TS_PACKET_BUFFER_H_
#define PALVEX_TS_TS_PACKET_BUFFER_H_

#include <cstdint>

#include "ts/ts_packet.h"

namespace palvex {

class TSPacketBuffer {
 public:
  static constexpr int kInitialPackets = 544;

  TSPacketBuffer();
  virtual ~TSPacketBuffer();
  TSPacketBuffer(const TSPacketBuffer&) = delete;
  TSPacketBuffer& operator=(const TSPacketBuffer&) = delete;

  // Next free slot, or null when the buffer is full. At most m_capacity - 1 slots are
  // handed out between two Clear calls. The slot's bytes are not cleared.
  uint8_t* NextPacket() {
    if (m_count >= m_capacity - 1) return nullptr;
    return m_data + static_cast<int64_t>(m_count++) * kTSPacketSize;
  }

  // Up to `wanted` consecutive slots at once, the ones NextPacket would hand out one by one:
  // returns the first and stores how many were taken in *taken, fewer than wanted when the
  // buffer runs short (0, with null, when it is full).
  uint8_t* TakePackets(int32_t wanted, int32_t* taken) {
    const int32_t n = wanted < FreeSlots() ? wanted : FreeSlots();
    if (n <= 0) {
      *taken = 0;
      return nullptr;
    }
    uint8_t* p = m_data + static_cast<int64_t>(m_count) * kTSPacketSize;
    m_count += n;
    *taken = n;
    return p;
  }

  // Stores the start of the storage through data and returns the bytes written.
  int GetBytes(uint8_t** data) const {
    *data = m_data;
    return m_count * kTSPacketSize;
  }

  void Clear() { m_count = 0; }
  int GetCapacity() const { return m_capacityBytes; }

  // Replaces the storage with `bytes` bytes rounded down to whole packets. The earlier
  // contents are not kept. False when the allocation fails (the buffer is then empty).
  bool Resize(uint32_t bytes);

  // Number of slots still available before NextPacket returns null.
  int FreeSlots() const { return m_capacity - 1 > m_count ? m_capacity - 1 - m_count : 0; }

 private:
  uint8_t* m_data = nullptr;
  int32_t m_count = 0;
  int32_t m_capacity = 0;
  int32_t m_capacityBytes = 0;
};

}  // namespace palvex

#endif  // PALVEX_TS_TS_PACKET_BUFFER_H_
