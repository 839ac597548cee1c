// Helpers for the packetizer tests: a reader that takes the packets of one frame apart
// again; the H.264 NAL units and Annex B framing of the shared bit writer come with it.
#ifndef PALVEX_TESTS_PACKETIZER_TS_STREAM_TEST_UTIL_H_
#define PALVEX_TESTS_PACKETIZER_TS_STREAM_TEST_UTIL_H_

#include <cstdint>
#include <vector>

#include "support/h264_bit_writer.h"
#include "ts/ts_packet_buffer.h"
#include "ts_reader.h"

namespace palvex_test {

// The packets written into a buffer since its last Clear.
inline std::vector<std::vector<uint8_t>> PacketsOf(const palvex::TSPacketBuffer& buffer) {
  uint8_t* data = nullptr;
  const int bytes = buffer.GetBytes(&data);
  std::vector<std::vector<uint8_t>> packets;
  for (int off = 0; off + 188 <= bytes; off += 188)
    packets.emplace_back(data + off, data + off + 188);
  return packets;
}

// Payload bytes of a TS packet (behind the adaptation field, if any).
inline std::vector<uint8_t> TsPayload(const std::vector<uint8_t>& p) {
  size_t size = 0;
  const uint8_t* payload = palvex_host::PacketPayload(p.data(), &size);
  return std::vector<uint8_t>(payload, payload + size);
}

// One PES packet reassembled from the packets' payloads, split at payload_unit_start.
struct Pes {
  std::vector<uint8_t> header;   // 9 + PES_header_data_length bytes
  std::vector<uint8_t> payload;
  int declaredLength() const { return header[4] << 8 | header[5]; }
  bool hasPts() const { return (header[7] & 0x80) != 0; }
};

inline std::vector<Pes> PesOf(const std::vector<std::vector<uint8_t>>& packets) {
  std::vector<Pes> out;
  std::vector<uint8_t> pending;
  auto flush = [&] {
    if (pending.size() < 9) return;
    Pes pes;
    const size_t headerLength = 9 + size_t(pending[8]);
    pes.header.assign(pending.begin(), pending.begin() + long(headerLength));
    pes.payload.assign(pending.begin() + long(headerLength), pending.end());
    out.push_back(pes);
  };
  for (const auto& p : packets) {
    if (palvex_host::PacketUnitStart(p.data())) {
      flush();
      pending.clear();
    }
    const auto payload = TsPayload(p);
    pending.insert(pending.end(), payload.begin(), payload.end());
  }
  flush();
  return out;
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_PACKETIZER_TS_STREAM_TEST_UTIL_H_
