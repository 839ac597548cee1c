// palvex: multiplexes elementary-stream frames into an MPEG-2 transport stream.
//
// A host creates one muxer per outgoing stream with iptv::CreatePalvex, describes its
// media with AddMediaFormat, then Open, Start, ProcessFrame for every frame, Stop,
// Close, and iptv::RemovePalvex. The slot order of IVorlux is binary interface.
#ifndef PALVEX_PALVEX_H_
#define PALVEX_PALVEX_H_

#include <cstdint>
#include <vector>

#include "palvex/media_format.h"
#include "palvex/media_frame.h"
#include "palvex/media_stream.h"

// On Windows the functions come from palvex.dll (dllimport), unless the program links the
// library's objects statically and defines PALVEX_STATIC.
#if defined(_WIN32)
#  if defined(PALVEX_BUILDING_LIBRARY)
#    define PALVEX_API __declspec(dllexport)
#  elif defined(PALVEX_STATIC)
#    define PALVEX_API
#  else
#    define PALVEX_API __declspec(dllimport)
#  endif
#else
#  define PALVEX_API __attribute__((visibility("default")))
#endif

namespace iptv {

enum RESULT {
  RESULT_SUCCESS = 0,
  RESULT_FAILURE = -1,
};

class IVorlux {
 public:
  virtual int Open() = 0;                                            // slot 0
  virtual int Close() = 0;                                           // slot 1
  virtual int Start() = 0;                                           // slot 2
  virtual int Stop() = 0;                                            // slot 3
  virtual MediaFormat* AddMediaFormat(MediaFormat* format) = 0;      // slot 4
  virtual int RemoveMediaFormat(MediaFormat* entry) = 0;             // slot 5
  virtual std::vector<MediaFormat*> GetMediaFormats() = 0;           // slot 6
  virtual int ProcessFrame(int streamId, IMediaFrame* frame,
                           uint8_t** data, int* length) = 0;         // slot 7
  virtual void Reserved(int value) = 0;                              // slot 8

 protected:
  // A muxer is destroyed only through RemovePalvex; no destructor slot.
  ~IVorlux() = default;
};

// Returns a new muxer, or null when none can be made.
PALVEX_API IVorlux* CreatePalvex();
// Destroys a muxer made by CreatePalvex: 0, or -1 for a null argument.
PALVEX_API RESULT RemovePalvex(IVorlux* m);

}  // namespace iptv

#endif  // PALVEX_PALVEX_H_
