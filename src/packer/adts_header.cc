// ADTS framing of raw AAC frames: a 7-byte adts_fixed_header and adts_variable_header
// without CRC, built once from the AudioSpecificConfig and completed with each frame's
// frame_length.
#include <cstring>

#include "packer/ts_packer.h"

namespace palvex {

static_assert(TSPacker::kADTSMaxPayload <= TSPacker::kADTSMaxFrame,
              "every frame that gets a header fits the scratch area");

bool TSPacker::CreateADTSHeader(const uint8_t* config, int32_t configSize) {
  if (config == nullptr || configSize < 2) return false;
  // AudioSpecificConfig: audioObjectType (5 bits), samplingFrequencyIndex (4),
  // channelConfiguration (4). The profile is written as AAC LC whatever the object type.
  const uint8_t frequencyIndex = uint8_t((config[0] & 0x07) << 1 | config[1] >> 7);
  const uint8_t channels = uint8_t(config[1] >> 3 & 0x0F);
  uint8_t* h = m_adtsHeader;
  h[0] = 0xFF;                                                // syncword[11:4]
  h[1] = 0xF1;                                                // syncword[3:0], ID 0 (MPEG-4), layer '00', protection_absent 1
  h[2] = uint8_t(0x40 | frequencyIndex << 2 | (channels >> 2 & 1));  // profile '01', sampling_frequency_index, private_bit 0, channel_configuration[2]
  h[3] = uint8_t((channels & 3) << 6);                        // channel_configuration[1:0], original_copy, home, copyright_id_bit, copyright_id_start, frame_length[12:11]
  h[4] = 0x00;                                                // frame_length[10:3]
  h[5] = 0xFF;                                                // frame_length[2:0], adts_buffer_fullness[10:6] (0x7FF: variable rate)
  h[6] = 0xFC;                                                // adts_buffer_fullness[5:0], number_of_raw_data_blocks_in_frame 0
  m_adtsBuilt = true;
  return true;
}

int32_t TSPacker::InsertADTSHeader(IMediaFrame* frame) {
  uint8_t* data = frame->GetData();
  const int size = frame->GetSize();
  // frame_length counts the header and has 13 bits.
  if (data == nullptr || size < 0 || size > kADTSMaxPayload) return kADTSFrameRefused;
  const int32_t length = size + kADTSHeaderSize;
  uint8_t* h = m_adtsHeader;
  h[3] = uint8_t((h[3] & 0xFC) | (length >> 11 & 0x03));     // frame_length[12:11]
  h[4] = uint8_t(length >> 3);                                // frame_length[10:3]
  h[5] = uint8_t((length & 0x07) << 5 | (h[5] & 0x1F));       // frame_length[2:0], adts_buffer_fullness[10:6]
  std::memcpy(m_adtsScratch, h, kADTSHeaderSize);
  std::memcpy(m_adtsScratch + kADTSHeaderSize, data, size_t(size));
  // The host's buffer has room for the header in front of the payload.
  std::memcpy(data, m_adtsScratch, size_t(length));
  frame->SetSize(length);
  return kPackerOk;
}

}  // namespace palvex
