#include "ts/ts_packet_buffer.h"

#include <new>

namespace palvex {

TSPacketBuffer::TSPacketBuffer() {
  m_data = new (std::nothrow) uint8_t[kInitialPackets * kTSPacketSize];
  if (m_data != nullptr) {
    m_capacity = kInitialPackets;
    m_capacityBytes = kInitialPackets * kTSPacketSize;
  }
}

TSPacketBuffer::~TSPacketBuffer() { delete[] m_data; }

bool TSPacketBuffer::Resize(uint32_t bytes) {
  delete[] m_data;
  m_data = nullptr;
  m_count = 0;
  m_capacity = 0;
  m_capacityBytes = 0;
  m_data = new (std::nothrow) uint8_t[bytes];
  if (m_data == nullptr) return false;
  m_capacity = static_cast<int32_t>(bytes / kTSPacketSize);
  m_capacityBytes = m_capacity * kTSPacketSize;
  return true;
}

}  // namespace palvex
