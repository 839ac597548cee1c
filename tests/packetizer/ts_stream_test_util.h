// Helpers for the packetizer tests: the packets a buffer holds, and the PES packets they
// carry; the H.264 NAL units and Annex B framing of the shared bit writer come with them.
#ifndef PALVEX_TESTS_PACKETIZER_TS_STREAM_TEST_UTIL_H_
#define PALVEX_TESTS_PACKETIZER_TS_STREAM_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/h264_bit_writer.h"
#include "support/pes_reader.h"
#include "ts/ts_packet_buffer.h"

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

// The PES packets that packets carry (beside a PAT and the PMTs it lists), read by the
// tests' PES reader, which also fails the test where a PES_packet_length disagrees with the
// bytes behind it.
inline std::vector<PesPacket> PesOf(const std::vector<std::vector<uint8_t>>& packets) {
  std::vector<uint8_t> joined;
  for (const auto& p : packets) joined.insert(joined.end(), p.begin(), p.end());
  PesReader reader;
  EXPECT_TRUE(reader.Read(joined.data(), joined.size())) << reader.errors().front();
  return reader.pes();
}

}  // namespace palvex_test

#endif  // PALVEX_TESTS_PACKETIZER_TS_STREAM_TEST_UTIL_H_
