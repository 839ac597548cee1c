// palvex-host: a host as one built by another compiler sees palvex. It loads the library at
// run time, resolves the two factory functions by name (on Windows by their Microsoft-
// decorated names), and drives the muxer through nothing but the pinned slot numbers of
// its table, with the 32-bit Windows member calling convention (thiscall). Its frames are
// objects with a hand-made table of six slots. The media description is made with the
// library's media classes compiled into this program, so the library copies it from a
// serialized form written by another build.
//
//   palvex-host LIBRARY FRAMES OUTPUT.ts
//
// Reads a frame file (frame_file.h), writes every packet the muxer hands back. The same
// source built for Linux (dlopen) produces the output the Windows build must equal.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "frame_file.h"
#include "palvex/media_format.h"
#include "palvex/media_stream.h"

#if defined(_WIN32) && defined(__i386__)
#define HOST_THISCALL __attribute__((thiscall))
#else
#define HOST_THISCALL
#endif

namespace {

struct Exports {
  void* (*create)();
  int32_t (*remove)(void*);
};

#if defined(_WIN32)
const char kCreateName[] = "?CreatePalvex@iptv@@YAPAVIVorlux@1@XZ";
const char kRemoveName[] = "?RemovePalvex@iptv@@YA?AW4RESULT@1@PAVIVorlux@1@@Z";
const char kCreateGnuName[] = "_ZN4iptv12CreatePalvexEv";
const char kRemoveGnuName[] = "_ZN4iptv12RemovePalvexEPNS_7IVorluxE";

bool Load(const char* path, Exports* exports, std::string* error) {
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) {
    *error = "LoadLibrary failed, error " + std::to_string(GetLastError());
    return false;
  }
  FARPROC create = GetProcAddress(module, kCreateName);
  FARPROC remove = GetProcAddress(module, kRemoveName);
  if (create == nullptr || remove == nullptr) {
    *error = "the Microsoft-decorated names are not exported";
    return false;
  }
  // Hosts built with mingw-w64 find the same two functions under their GNU names.
  if (GetProcAddress(module, kCreateGnuName) != create || GetProcAddress(module, kRemoveGnuName) != remove) {
    *error = "the GNU names do not resolve to the same functions";
    return false;
  }
  exports->create = reinterpret_cast<void* (*)()>(reinterpret_cast<void (*)()>(create));
  exports->remove = reinterpret_cast<int32_t (*)(void*)>(reinterpret_cast<void (*)()>(remove));
  return true;
}
#else
bool Load(const char* path, Exports* exports, std::string* error) {
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *error = dlerror();
    return false;
  }
  void* create = dlsym(module, "_ZN4iptv12CreatePalvexEv");
  void* remove = dlsym(module, "_ZN4iptv12RemovePalvexEPNS_7IVorluxE");
  if (create == nullptr || remove == nullptr) {
    *error = "the factory functions are not exported";
    return false;
  }
  exports->create = reinterpret_cast<void* (*)()>(create);
  exports->remove = reinterpret_cast<int32_t (*)(void*)>(remove);
  return true;
}
#endif

// Slot numbers of the muxer's table.
enum MuxerSlot { kOpen = 0, kClose = 1, kStart = 2, kStop = 3, kAddMediaFormat = 4, kProcessFrame = 7 };

// Calls slot `slot` of the table that the object's first word points at.
template <typename R, typename... A>
R CallSlot(void* object, int slot, A... args) {
  using Slot = R(HOST_THISCALL*)(void*, A...);
  void (**table)() = *static_cast<void (***)()>(object);
  return reinterpret_cast<Slot>(table[slot])(object, args...);
}

// A frame as a host of any compiler lays it out: the table pointer, then its own fields.
// The buffer has room behind the frame for the ADTS header the library may put in front.
// It carries no C++ type information, like the frames of a host of another compiler, so a
// library built with UBSan's vptr check reports the calls on it.
struct HostFrame {
  void (**table)();
  std::vector<uint8_t> storage;
  int size = 0;
  int64_t time = -1;
};

void HOST_THISCALL FrameReserved(HostFrame*) {}
uint8_t* HOST_THISCALL FrameGetData(HostFrame* f) { return f->storage.data(); }
int HOST_THISCALL FrameGetSize(HostFrame* f) { return f->size; }
void HOST_THISCALL FrameSetSize(HostFrame* f, int size) { f->size = size; }
int64_t HOST_THISCALL FrameGetTime(HostFrame* f) { return f->time; }

template <typename F>
void (*AsSlot(F function))() {
  return reinterpret_cast<void (*)()>(function);
}

void (*kFrameSlots[6])() = {
    AsSlot(&FrameReserved), AsSlot(&FrameReserved), AsSlot(&FrameGetData),  // slots 0, 1, 2
    AsSlot(&FrameGetSize),  AsSlot(&FrameSetSize),  AsSlot(&FrameGetTime),  // slots 3, 4, 5
};

void Describe(const std::vector<palvex_frames::Stream>& streams, MediaFormat* format) {
  for (const palvex_frames::Stream& s : streams) {
    std::vector<uint8_t> extra = s.extraData;
    if (s.mainType == 0) {
      VideoStream video;
      video.SetMainType(0);
      video.SetCodec(s.codec);
      video.SetStreamId(s.streamId);
      VideoFormatInfo info{};
      info.frameRate = s.frameRate;
      info.extraSize = static_cast<uint32_t>(extra.size());
      info.extraData = extra.empty() ? nullptr : extra.data();
      video.SetFormat(&info);
      format->AddStream(&video);
    } else if (s.mainType == 1) {
      AudioStream audio;
      audio.SetMainType(1);
      audio.SetCodec(s.codec);
      audio.SetStreamId(s.streamId);
      AudioFormatInfo info{};
      info.extraSize = static_cast<uint32_t>(extra.size());
      info.extraData = extra.empty() ? nullptr : extra.data();
      audio.SetFormat(&info);
      format->AddStream(&audio);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: palvex-host LIBRARY FRAMES OUTPUT.ts\n", stderr);
    return 2;
  }
  std::string error;
  std::vector<palvex_frames::Stream> streams;
  std::vector<palvex_frames::Frame> frames;
  if (!palvex_frames::Read(argv[2], &streams, &frames, &error)) {
    std::fprintf(stderr, "palvex-host: %s\n", error.c_str());
    return 1;
  }
  Exports exports{};
  if (!Load(argv[1], &exports, &error)) {
    std::fprintf(stderr, "palvex-host: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "palvex-host: cannot write %s\n", argv[3]);
    return 1;
  }

  void* mux = exports.create();
  if (mux == nullptr) {
    std::fprintf(stderr, "palvex-host: no muxer\n");
    return 1;
  }
  MediaFormat format;
  Describe(streams, &format);
  if (CallSlot<MediaFormat*, MediaFormat*>(mux, kAddMediaFormat, &format) != &format ||
      CallSlot<int>(mux, kOpen) != 0 || CallSlot<int>(mux, kStart) != 0) {
    std::fprintf(stderr, "palvex-host: the muxer refused the media description\n");
    return 1;
  }

  HostFrame frame;
  frame.table = kFrameSlots;
  size_t packets = 0;
  bool ok = true;
  for (const palvex_frames::Frame& f : frames) {
    frame.storage.assign(f.data.begin(), f.data.end());
    frame.storage.resize(f.data.size() + 16);
    frame.size = static_cast<int>(f.data.size());
    frame.time = f.timeUs;
    uint8_t* ts = nullptr;
    int length = -1;
    if (CallSlot<int, int, void*, uint8_t**, int*>(mux, kProcessFrame, f.streamId, &frame, &ts, &length) != 0 ||
        length < 0 || length % 188 != 0) {
      std::fprintf(stderr, "palvex-host: frame %zu refused\n", packets);
      ok = false;
      break;
    }
    if (length > 0 && std::fwrite(ts, 1, static_cast<size_t>(length), out) != static_cast<size_t>(length)) ok = false;
    packets += static_cast<size_t>(length) / 188;
  }
  if (CallSlot<int>(mux, kStop) != 0 || CallSlot<int>(mux, kClose) != 0 || exports.remove(mux) != 0) ok = false;
  if (std::fclose(out) != 0) ok = false;
  std::printf("palvex-host: %zu frames in, %zu packets out\n", frames.size(), packets);
  return ok ? 0 : 1;
}
