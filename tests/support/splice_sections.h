// SCTE-35 splice_info_sections for tests, and a transport stream with a cue PID written
// into it: its PMT lists the PID (stream_type 0x86, a 'CUEI' registration_descriptor in
// the program_info loop) and each section goes in front of a given picture.
#ifndef PALVEX_TESTS_SUPPORT_SPLICE_SECTIONS_H_
#define PALVEX_TESTS_SUPPORT_SPLICE_SECTIONS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace palvex_test {

constexpr int kInputCuePid = 0x01F0;

// splice_insert, splice_event_id event, out of network at time - adjustment (90 kHz),
// 15 s with auto_return; pts_adjustment = adjustment.
std::vector<uint8_t> SpliceInsertAt(int64_t time, int64_t adjustment, uint32_t event);
// time_signal at time with a segmentation_descriptor (provider advertisement start).
std::vector<uint8_t> TimeSignalAt(int64_t time);

struct InputCue {
  size_t beforePicture;  // decode order, counted from 0
  std::vector<uint8_t> section;
};
// ts (one program, H.264 video first in its PMT) with the cues on kInputCuePid.
std::vector<uint8_t> WithCues(const std::vector<uint8_t>& ts, const std::vector<InputCue>& cues);

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_SPLICE_SECTIONS_H_
