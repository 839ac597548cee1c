// Helpers for the packetizer tests: H.264 NAL units built by the shared bit writer,
// Annex B framing, and a reader that takes the packets of one frame apart again.
#ifndef PALVEX_TESTS_STREAM_TS_STREAM_TEST_UTIL_H_
#define PALVEX_TESTS_STREAM_TS_STREAM_TEST_UTIL_H_

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "stream/ts_packet_buffer.h"
#include "support/h264_bit_writer.h"
#include "support/pes_reader.h"

namespace palvex_test {

// SPS with frame_num and pic_order_cnt_lsb 4 + extra bits wide (POC type 0), level 31,
// two reference frames, 320x240, no VUI.
inline std::vector<uint8_t> MakeSps(int profileIdc, int pocLsbBits = 4) {
  SpsFields sps;
  sps.profileIdc = profileIdc;
  sps.levelIdc = 31;
  sps.log2MaxPocLsbMinus4 = pocLsbBits - 4;
  sps.maxNumRefFrames = 2;
  return MakeSps(sps);
}

inline std::vector<uint8_t> MakePps() { return {0x68, 0xCE, 0x3C, 0x80}; }

// Slice header of type 5 (IDR) or 1, with pic_order_cnt_lsb, then a few slice data bytes.
inline std::vector<uint8_t> MakeSlice(int type, int refIdc, uint32_t pocLsb, int pocLsbBits = 4) {
  H264BitWriter w;
  w.Ue(0);                       // first_mb_in_slice
  w.Ue(type == 5 ? 7 : 5);       // slice_type (I or P, all slices alike)
  w.Ue(0);                       // pic_parameter_set_id
  w.Bits(0, 4);                  // frame_num
  if (type == 5) w.Ue(0);        // idr_pic_id
  w.Bits(pocLsb, pocLsbBits);    // pic_order_cnt_lsb
  std::vector<uint8_t> nal{uint8_t(refIdc << 5 | type)};
  for (uint8_t b : w.Trailing().Bytes()) nal.push_back(b);
  for (int i = 0; i < 16; ++i) nal.push_back(uint8_t(0x40 + i));  // stands for slice data
  return nal;
}

// Annex B: each NAL unit behind a start code of startCodeLength (3 or 4) bytes.
inline std::vector<uint8_t> AnnexB(std::initializer_list<std::vector<uint8_t>> nals,
                                   int startCodeLength = 4) {
  std::vector<uint8_t> out;
  for (const auto& nal : nals) {
    if (startCodeLength == 4) out.push_back(0);
    out.insert(out.end(), {0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

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
  size_t start = 4;
  if (p[3] & 0x20) start = 5 + p[4];
  if (!(p[3] & 0x10) || start > 188) return {};
  return std::vector<uint8_t>(p.begin() + long(start), p.end());
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
    if (p[1] & 0x40) {
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

#endif  // PALVEX_TESTS_STREAM_TS_STREAM_TEST_UTIL_H_
