// Compiled, not run: clang lays out the interfaces' tables for the Visual C++ ABI
// (i686-pc-windows-msvc) and for the ABI of g++ (i686-linux-gnu), and prints them with
// -fdump-vtable-layouts; check_abi.cmake compares them with the slot numbers the headers
// pin, and the decorated names of the two factory functions with palvex.def.
#include "palvex/palvex.h"

namespace {

// The pure interfaces, every slot overridden, so that both ABIs print their tables.
class ProbeMuxer final : public iptv::IVorlux {
 public:
  int Open() override;
  int Close() override { return 0; }
  int Start() override { return 0; }
  int Stop() override { return 0; }
  MediaFormat* AddMediaFormat(MediaFormat* format) override { return format; }
  int RemoveMediaFormat(MediaFormat*) override { return 0; }
  std::vector<MediaFormat*> GetMediaFormats() override { return {}; }
  int ProcessFrame(int, IMediaFrame*, uint8_t**, int*) override { return 0; }
  void Reserved(int) override {}
};
int ProbeMuxer::Open() { return 0; }

class ProbeFrame final : public IMediaFrame {
 public:
  void Reserved0() override;
  void Reserved1() override {}
  uint8_t* GetData() override { return nullptr; }
  int GetSize() override { return 0; }
  void SetSize(int) override {}
  int64_t GetTime() override { return 0; }
};
void ProbeFrame::Reserved0() {}

}  // namespace

// The factory functions as a host calls them, and the media classes as a host makes them.
void ProbeHost() {
  ProbeMuxer muxer;
  ProbeFrame frame;
  muxer.Open();
  frame.Reserved0();
  VideoStream video;
  MediaFormat format;
  iptv::RemovePalvex(iptv::CreatePalvex());
}
