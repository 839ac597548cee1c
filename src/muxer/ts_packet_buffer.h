// The muxer's output area: a contiguous array of 188-byte transport stream packet slots,
// filled during one ProcessFrame call and emptied after it.
#ifndef PALVEX_MUXER_TS_PACKET_BUFFER_H_
#define PALVEX_MUXER_TS_PACKET_BUFFER_H_

#include <cstdint>

namespace palvex {

class TSPacketBuffer {
 public:
  static constexpr int kPacketSize = 188;
  static constexpr int kInitialPackets = 544;

  TSPacketBuffer();
  virtual ~TSPacketBuffer();
  TSPacketBuffer(const TSPacketBuffer&) = delete;
  TSPacketBuffer& operator=(const TSPacketBuffer&) = delete;

  // Next free slot, or null when the buffer is full. At most m_capacity - 1 slots are
  // handed out between two Clear calls. The slot's bytes are not cleared.
  uint8_t* NextPacket() {
    if (m_count >= m_capacity - 1) return nullptr;
    return m_data + static_cast<int64_t>(m_count++) * kPacketSize;
  }

  // Stores the start of the storage through data and returns the bytes written.
  int GetBytes(uint8_t** data) const {
    *data = m_data;
    return m_count * kPacketSize;
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

#endif  // PALVEX_MUXER_TS_PACKET_BUFFER_H_
