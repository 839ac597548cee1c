// ADTS framing of one raw AAC stream: a 7-byte adts_fixed_header and adts_variable_header
// without CRC, built once from the stream's AudioSpecificConfig and completed with each
// frame's frame_length, and the detection over the stream's first frames of whether they
// already carry headers. Each AAC stream has its own; the header goes into the frame's
// first TS packet, in front of the frame's bytes, which are never written.
#ifndef PALVEX_PACKETIZER_ADTS_FRAMING_H_
#define PALVEX_PACKETIZER_ADTS_FRAMING_H_

#include <cstdint>

namespace palvex {

class ADTSFraming {
 public:
  // adts_fixed_header + adts_variable_header without CRC (protection_absent 1).
  static constexpr int32_t kHeaderSize = 7;
  // frame_length is 13 bits and counts the header: payloads above 8191 - 7 bytes do not fit.
  static constexpr int32_t kMaxPayload = 0x1FFF - kHeaderSize;
  // Frames examined before the decision.
  static constexpr int32_t kFramesExamined = 3;
  // checked() once the decision is taken.
  static constexpr int32_t kDecided = 4;

  // Arms the stream: headers are to be inserted (AAC without the no-ADTS marker) or not,
  // the template from the AudioSpecificConfig, detection from its start.
  void Arm(bool insert, const uint8_t* config, int32_t configSize) {
    m_insert = insert;
    m_checked = 0;
    m_found = 0;
    Build(config, configSize);
  }

  // Builds the template from an AudioSpecificConfig; false for a config that is absent or
  // shorter than two bytes (template unchanged).
  bool Build(const uint8_t* config, int32_t configSize) {
    if (config == nullptr || configSize < 2) return false;
    // AudioSpecificConfig: audioObjectType (5 bits), samplingFrequencyIndex (4),
    // channelConfiguration (4). The profile is written as AAC LC whatever the object type.
    const uint8_t frequencyIndex = uint8_t((config[0] & 0x07) << 1 | config[1] >> 7);
    const uint8_t channels = uint8_t(config[1] >> 3 & 0x0F);
    uint8_t* h = m_header;
    h[0] = 0xFF;                                                // syncword[11:4]
    h[1] = 0xF1;                                                // syncword[3:0], ID 0 (MPEG-4), layer '00', protection_absent 1
    h[2] = uint8_t(0x40 | frequencyIndex << 2 | (channels >> 2 & 1));  // profile '01', sampling_frequency_index, private_bit 0, channel_configuration[2]
    h[3] = uint8_t((channels & 3) << 6);                        // channel_configuration[1:0], original_copy, home, copyright_id_bit, copyright_id_start, frame_length[12:11]
    h[4] = 0x00;                                                // frame_length[10:3]
    h[5] = 0xFF;                                                // frame_length[2:0], adts_buffer_fullness[10:6] (0x7FF: variable rate)
    h[6] = 0xFC;                                                // adts_buffer_fullness[5:0], number_of_raw_data_blocks_in_frame 0
    m_built = true;
    return true;
  }

  // Advances the detection with one frame of the stream; true when the frame is to get a
  // header. Insertion stops for good only when all examined frames began with a syncword;
  // a frame that begins with one while the decision is pending gets none.
  bool TakesHeader(const uint8_t* data, int size) {
    if (!m_insert) return false;
    bool carriesSyncword = false;
    bool stillDeciding = false;
    if (m_checked < kFramesExamined) {
      carriesSyncword = BeginsWithSyncword(data, size);
      if (carriesSyncword) ++m_found;
      ++m_checked;
      stillDeciding = m_checked < kFramesExamined;
      if (m_checked == kFramesExamined) {
        if (m_found == kFramesExamined) m_insert = false;
        m_checked = kDecided;
      }
    }
    return m_insert && m_built && !(stillDeciding && carriesSyncword);
  }

  // The header for a payload of `size` bytes (0 to kMaxPayload), frame_length filled in.
  const uint8_t* HeaderFor(int32_t size) {
    const int32_t length = size + kHeaderSize;
    uint8_t* h = m_header;
    h[3] = uint8_t((h[3] & 0xFC) | (length >> 11 & 0x03));     // frame_length[12:11]
    h[4] = uint8_t(length >> 3);                                // frame_length[10:3]
    h[5] = uint8_t((length & 0x07) << 5 | (h[5] & 0x1F));       // frame_length[2:0], adts_buffer_fullness[10:6]
    return m_header;
  }

  bool insert() const { return m_insert; }
  bool built() const { return m_built; }
  int32_t checked() const { return m_checked; }
  int32_t found() const { return m_found; }
  const uint8_t* header() const { return m_header; }

 private:
  // The 12-bit syncword 0xFFF at the start of the frame; frames shorter than it have none.
  static bool BeginsWithSyncword(const uint8_t* data, int size) {
    return data != nullptr && size >= 2 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0;
  }

  uint8_t m_header[kHeaderSize] = {};
  bool m_built = false;
  bool m_insert = false;
  int32_t m_checked = 0;
  int32_t m_found = 0;
};

}  // namespace palvex

#endif  // PALVEX_PACKETIZER_ADTS_FRAMING_H_
