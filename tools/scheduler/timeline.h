// The frame times a channel hands to its muxer: the input's own times moved by an offset,
// so that the output's clock starts where the channel wants it and goes on, one continuous
// time line, whatever the input's clock does.
//
// Re-basing. A frame whose time steps back before the last one of its stream, or jumps
// more than a second past the latest frame end of the program (an encoder restart, a
// splice, a 2^33 wrap), moves the offset of the whole program so that the frame lands
// where the channel goes on: at the latest frame end, or later when the caller says the
// channel's own clock is further on (a live channel kept on air through a silence). The
// same happens when a frame of the clock stream (the one that carries the PCR) comes
// behind the earliest time the channel can still take it. All streams move alike, so
// lip sync holds; no time stamp steps back; a clock-stream frame lands a whole number of
// frame durations after the one before. A re-based frame also lands after every picture
// already presented (the latest presentation end), so that a stream cut mid-GOP, whose
// last pictures were due after its last decode time, shares no presentation time with
// what follows.
//
// Pictures in coded order. The muxer presents a reordered picture by its picture order
// count from the decode time of the key picture that began its GOP, so a GOP must keep
// one offset: after the offset moved, a stream whose pictures come reordered (a PTS after
// the decode time seen) leaves its pictures out (kCut) up to its next key picture.
//
// Input loss. A demuxer holds back the last frames of a live input until more data comes:
// when the input returns they come first, still on the input's old time line. After
// InputLost, each stream's frames that go on from its last one (within kStragglerUs of it)
// stay on the time line they had before the loss, or are left out (kLate) when that time
// is behind the channel's floor; the first frame of a stream that does not go on so ends
// this for the stream, and is mapped as any other.
//
// Passes (--loop). A pass of the clip lasts its own duration: each stream's last frame
// time plus its frame duration, less its first (the frame duration is the stream's longest:
// a container may cut its last frame short, but in a transport stream it plays whole). The clock stream's next pass starts where
// its last frame ended; so does each audio stream's, as long as that keeps it within half
// a frame of the clock stream (audio and video of a clip rarely last exactly as long);
// past that, the audio's first frame of the pass is left out, or its last frame sent once
// more, so that audio still steps by one frame duration and lip sync stays within half a
// frame over any number of passes. Other streams follow the clock stream's offset.
//
// Times in microseconds. No libavformat here.
#ifndef PALVEX_TOOLS_TIMELINE_H_
#define PALVEX_TOOLS_TIMELINE_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace palvex_host {

class Timeline {
 public:
  static constexpr int64_t kNone = std::numeric_limits<int64_t>::min();
  // A jump forward larger than this is a fault of the input's clock.
  static constexpr int64_t kMaxForwardUs = 1000000;
  // After an input loss, frames this close after a stream's last one are held-back ones.
  static constexpr int64_t kStragglerUs = 500000;

  // Where the channel's own clock stands, for a live channel (kNone: no bound).
  struct Bounds {
    int64_t floorUs = kNone;   // a clock-stream frame mapped before this is re-based, a held-back one left out
    int64_t resumeUs = kNone;  // a re-based frame lands no earlier than this
  };
  enum class Step {
    kOn,        // mapped on the current offset
    kRebased,   // the offset moved for this frame (see lastJumpUs)
    kDropped,   // left out at a pass seam
    kLate,      // left out: held back from before an input loss, behind the floor (see lateUs)
    kCut,       // left out: a reordered picture after the offset moved, before the next key picture
  };
  struct Repeat {
    size_t stream;
    int64_t timeUs;
  };

  // audio[i]: stream i is audio; clockStream carries the program's PCR.
  Timeline(const std::vector<bool>& audio, size_t clockStream);

  bool started() const { return m_started; }
  // The offset of the first pass (the channel's clock start less the input's first time).
  void Start(int64_t offsetUs);

  // The time to hand over for a frame of stream at the input's timeUs (durationUs 0 when
  // unknown), in *mappedUs. ptsUs: its presentation time on the input's scale (kNone: the
  // same as timeUs); key: a picture a GOP begins with (or not a picture).
  Step Map(size_t stream, int64_t timeUs, int64_t durationUs, const Bounds& bounds, int64_t* mappedUs,
           int64_t ptsUs = kNone, bool key = true);

  // The input fell silent: what comes next from before the silence keeps its time.
  void InputLost();

  // The end of a pass: the next one is laid after it. False when the pass had no frame.
  // repeats receives the audio frames to send once more (the stream's last frame, at the
  // time given) before the next pass.
  bool NextPass(std::vector<Repeat>* repeats);

  // The last re-base: how far the frame's time was from where it landed (negative: the
  // input's clock stepped back), and whether the channel's clock (not the input's) caused it.
  int64_t lastJumpUs() const { return m_lastJumpUs; }
  bool lastJumpBehind() const { return m_lastJumpBehind; }
  uint64_t rebases() const { return m_rebases; }
  // How far behind the floor the last kLate frame was.
  int64_t lateUs() const { return m_lateUs; }

 private:
  struct Stream {
    bool audio = false;
    int64_t shiftUs = 0;         // on top of the program offset (pass seams)
    bool seen = false;
    int64_t lastUs = 0;          // mapped time of the last frame
    int64_t endUs = 0;           // its end
    int64_t stepUs = 0;          // frame duration: the longest given, else the longest time step
    int64_t lastInputUs = kNone;
    bool inPass = false;
    int64_t passFirstUs = 0;     // input time of the pass's first frame
    int dropFirst = 0;           // frames to leave out at the start of the pass
    bool straggling = false;     // since an input loss, no frame off the old time line yet
    int64_t lossInputUs = 0;     // input time of the last frame before the loss
    bool reordered = false;      // a picture was presented after its decode time
    int64_t gopOffsetUs = kNone;  // offset (mapped less input time) of the GOP's key picture
  };

  // Records a frame mapped to mapped and hands it out.
  Step Keep(Stream& s, int64_t timeUs, int64_t mapped, int64_t shownAfterUs, bool key, Step step, int64_t* mappedUs);

  std::vector<Stream> m_streams;
  size_t m_clock;
  bool m_started = false;
  int64_t m_offsetUs = 0;
  int64_t m_latestEndUs = kNone;
  int64_t m_latestShownUs = kNone;  // the latest presentation end
  int64_t m_lossOffsetUs = 0;       // the offset when the input was lost
  int64_t m_lateUs = 0;
  int64_t m_lastJumpUs = 0;
  bool m_lastJumpBehind = false;
  uint64_t m_rebases = 0;
};

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_TIMELINE_H_
