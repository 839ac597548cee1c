// Creates a muxer through the installed library, describes one AAC stream with the
// installed media classes, and muxes one frame.
#include <palvex/palvex.h>

#include <cstdio>
#include <vector>

namespace {

class Frame final : public IMediaFrame {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetData() override { return m_bytes.data(); }
  int GetSize() override { return m_size; }
  void SetSize(int size) override { m_size = size; }
  int64_t GetTime() override { return 0; }

 private:
  std::vector<uint8_t> m_bytes = std::vector<uint8_t>(64, 0x21);
  int m_size = 32;
};

}  // namespace

int main() {
  MediaFormat format;
  AudioStream audio;
  audio.SetMainType(kMediaMainTypeAudio);
  audio.SetCodec(kMediaCodecAAC);
  audio.SetStreamId(5);
  uint8_t config[2] = {0x12, 0x10};
  AudioFormatInfo info{};
  info.extraSize = 2;
  info.extraData = config;
  audio.SetFormat(&info);
  format.AddStream(&audio);

  iptv::IVorlux* mux = iptv::CreatePalvex();
  if (mux == nullptr || mux->AddMediaFormat(&format) == nullptr || mux->Open() != 0 || mux->Start() != 0)
    return 1;
  Frame frame;
  uint8_t* ts = nullptr;
  int length = 0;
  const int rc = mux->ProcessFrame(5, &frame, &ts, &length);
  // PAT, PMT and one audio packet; the bytes stay valid until the next call on the muxer.
  const bool ok = rc == 0 && length == 3 * 188 && ts[0] == 0x47;
  mux->Stop();
  mux->Close();
  iptv::RemovePalvex(mux);
  std::printf("muxed %d bytes\n", length);
  return ok ? 0 : 1;
}
