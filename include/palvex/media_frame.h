// The host's frame: one access unit of one elementary stream.
//
// Implemented by the host. The library calls slots 2, 3 and 5 only, and only during the
// ProcessFrame call that the frame was handed to. It only reads the frame: it never writes
// to its bytes, never reads past GetSize() of them and never calls SetSize, so a frame
// needs no room beyond its bytes and one frame may be handed to several muxers. The slot
// order is binary interface.
#ifndef PALVEX_MEDIA_FRAME_H_
#define PALVEX_MEDIA_FRAME_H_

#include <cstdint>

class IMediaFrame {
 public:
  virtual void Reserved0() = 0;            // slot 0, never called by the library
  virtual void Reserved1() = 0;            // slot 1, never called by the library
  virtual uint8_t* GetData() = 0;          // slot 2, first byte of the frame, may be null
  virtual int GetSize() = 0;               // slot 3, number of bytes
  virtual void SetSize(int size) = 0;      // slot 4, never called by the library
  virtual int64_t GetTime() = 0;           // slot 5, microseconds, negative = none: the
                                           // decode time of a video frame, the presentation
                                           // time of an audio frame, one clock for all

 protected:
  // Frames are owned and destroyed by the host, never through this interface; the
  // destructor is not virtual so that it adds no slot to the table.
  ~IMediaFrame() = default;
};

#endif  // PALVEX_MEDIA_FRAME_H_
