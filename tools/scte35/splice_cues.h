// The splice cues of one service on their way out, beside the muxer's pictures:
//
// Carried. Each splice_info_section of the input is checked (a damaged one, with a wrong
// CRC_32 or a length past its bytes, is dropped with a line) and held until the next
// picture of the clock stream is muxed; it then leaves, before that picture's packets,
// with its pts_adjustment moved by the distance between the output's and the input's
// PTS of the pictures: splice_time + pts_adjustment (mod 2^33) then names on the output's
// clock the picture it named on the input's. That distance is learnt from the pictures
// themselves (the input's PTS and the PTS the muxer wrote for it), so it follows every
// move of the channel's clock: the start offset, --loop passes, re-based clock jumps (a
// step of more than two ticks starts the learning anew). Within one stretch it may vary
// by a tick from picture to picture (microsecond frame times truncated to 90 kHz); the
// smallest of the last pictures' is taken, so that a cue lands on its picture's PTS or at
// most that tick before it, never on the picture after; a cue naming a picture already
// muxed takes that picture's own distance, and lands on its PTS.
//
// Inserted. A break (a splice_insert with out_of_network_indicator 1 and break_duration
// with auto_return) is first sent when the stream time (the DTS of the picture being
// muxed) comes within 4.5 s of its splice time, so at least 4 s before it, or at once when
// it is asked for later than that; then once a second of stream time until the point.
// splice_event_ids count from 1, past the ids the input's last splice_inserts used.
//
// No libavformat here; times are 90 kHz, PTS and DTS mod 2^33.
#ifndef PALVEX_TOOLS_SPLICE_CUES_H_
#define PALVEX_TOOLS_SPLICE_CUES_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "splice_info.h"

namespace palvex_host {

// Whether the picture at a splice point is a key picture: not known while it has not
// been read (a live input's future picture).
enum class KeyPicture { kUnknown, kNo, kYes };
const char* KeyPictureText(KeyPicture key);

// A picture of the clock stream as muxed.
struct CuePicture {
  int64_t inPts = -1;   // the input's PTS, -1 when unknown
  int64_t outPts = -1;  // the PTS the muxer wrote
  int64_t outDts = -1;  // its DTS: the stream time
  int64_t step = 0;     // frame duration, 0 when unknown
  bool key = false;
};

// A break asked for, and what it became.
struct SpliceBreak {
  uint32_t eventId = 0;
  int64_t splicePts = -1;  // on the output's clock
  int64_t duration = 0;
  KeyPicture key = KeyPicture::kUnknown;
};

class SpliceCues {
 public:
  static constexpr int64_t kFirstLeadTicks = 90000 * 9 / 2;  // first sent 4.5 s ahead
  static constexpr int64_t kRepeatTicks = 90000;             // then once a second
  // The farthest ahead a break may be asked for (AddBreakIn): half a day, well inside the
  // 2^32 ticks (13.25 hours) a point on the 33-bit clock can lie ahead of the stream time
  // and still read as ahead of it, with room for the frames between DTS and PTS.
  static constexpr double kMaxLeadSeconds = 43200;

  // The output PID of the cues (the DVB stage's); none leaves before it is known.
  void SetPid(int pid) { m_pid = pid; }

  // A section of the input, as libavformat gives it. False (with the reason in *why) when
  // it is damaged: it is then dropped.
  bool Take(const uint8_t* data, size_t size, std::string* why);

  // A break at the input's picture of PTS inPts (its key flag known from a scan of the file).
  void AddBreakAtInput(int64_t inPts, int64_t duration, bool key);
  // A break in inTicks of stream time from the picture last muxed, at the first picture
  // at or after that point on the output's clock. False before any picture was muxed, or
  // when inTicks lies beyond kMaxLeadSeconds.
  bool AddBreakIn(int64_t inTicks, int64_t duration, SpliceBreak* placed);

  // A picture of the clock stream was muxed: what leaves before its packets (sections held,
  // breaks due), as packets of the cue PID appended to out.
  void OnPicture(const CuePicture& picture, std::vector<uint8_t>* out);

  // Lines to tell (breaks sent, key pictures met), taken once.
  std::vector<std::string> TakeLines();

  uint64_t carried() const { return m_carried; }
  uint64_t dropped() const { return m_dropped; }

 private:
  struct Pending {
    std::vector<uint8_t> section;
    int64_t named = -1;  // the input's time the section names (its first), -1 none
  };
  struct Break {
    SpliceBreak placed;
    int64_t inPts = -1;       // placed on the input's clock; splicePts follows once a picture gave the distance
    int64_t lastSent = -1;    // stream time of the last copy
    bool told = false;        // the key picture was told
    bool done = false;
  };

  uint32_t NextEventId();
  void Learn(const CuePicture& picture);
  void Emit(const std::vector<uint8_t>& section, std::vector<uint8_t>* out);
  void SendBreaks(const CuePicture& picture, std::vector<uint8_t>* out);

  int m_pid = -1;
  int m_cc = 0;
  std::vector<Pending> m_pending;
  std::deque<int64_t> m_distances;  // output PTS less input PTS of the last pictures (mod 2^33, signed)
  std::deque<CuePicture> m_recent;  // the last pictures muxed
  std::vector<Break> m_breaks;
  std::deque<uint32_t> m_inputEventIds;  // the input's last splice_event_ids
  uint32_t m_nextEventId = 1;
  std::vector<std::string> m_lines;
  uint64_t m_carried = 0;
  uint64_t m_dropped = 0;
};

// a - b on the 33-bit clock: the nearest, in (-2^32, 2^32].
int64_t PTSDifference(int64_t a, int64_t b);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_SPLICE_CUES_H_
