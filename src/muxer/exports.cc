// The library's only two exported functions.
#include <new>

#include "diagnostics/diagnostics.h"
#include "muxer/frame_muxer.h"
#include "palvex/palvex.h"

namespace iptv {

IVorlux* CreatePalvex() {
  try {
    palvex::ReadDiagnosticsSetting();
    auto* muxer = new (std::nothrow) palvex::FrameMuxer();
    if (muxer == nullptr) return nullptr;
    if (!muxer->HasPacketBuffer()) {
      delete muxer;
      return nullptr;
    }
    return muxer;
  } catch (...) {
    return nullptr;
  }
}

RESULT RemovePalvex(IVorlux* m) {
  if (m == nullptr) return RESULT_FAILURE;
  try {
    delete static_cast<palvex::FrameMuxer*>(m);
    return RESULT_SUCCESS;
  } catch (...) {
    return RESULT_FAILURE;
  }
}

}  // namespace iptv
