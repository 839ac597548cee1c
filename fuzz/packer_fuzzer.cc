// Arbitrary program setups and frames through the packer: formats of up to six streams
// with any maintype, codec, stream id and extradata, then a run of frames, resets, stops
// and removals. Every packet written must begin with the sync byte, and every PAT and PMT
// section must carry a CRC with residue 0; the sanitizers watch for everything else
// (a frame reaching a destroyed stream, a write past a frame or a packet slot).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "packer/pmt_program.h"
#include "packer/ts_packer.h"
#include "packetizer/ts_stream.h"
#include "palvex/media_format.h"
#include "palvex/media_frame.h"
#include "palvex/media_stream.h"
#include "support/fake_frame.h"
#include "support/test_format.h"
#include "ts/crc32.h"
#include "ts/ts_packet_buffer.h"

namespace {

// Reads the input front to back; zeros once it is used up.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Empty() const { return m_pos >= m_size; }
  uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint32_t U16() { return uint32_t(Byte()) << 8 | Byte(); }
  int64_t I32() { return int32_t(U16() << 16 | U16()); }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// The codecs the stream tables know, and a few they do not.
constexpr int32_t kCodecs[] = {0, 1, 2, 3, 8, 10, 11, 12, 14, 128, 130, 135, 136, 9, 255};

std::unique_ptr<palvex_test::TestFormat> ReadFormat(Input* in) {
  auto format = std::make_unique<palvex_test::TestFormat>();
  const int count = in->Byte() % 7;
  for (int i = 0; i < count; ++i) {
    const int32_t mainType = in->Byte() % 4;
    const int32_t codec = kCodecs[in->Byte() % (sizeof kCodecs / sizeof kCodecs[0])];
    const uint8_t streamId = in->Byte() % 8;
    std::vector<uint8_t> extra(in->Byte() % 24);
    for (uint8_t& b : extra) b = in->Byte();
    format->Add(mainType, codec, streamId, std::move(extra));
  }
  return format;
}

// PID 0, or the PMT PID of exactly one program and of no stream. (A program added after a
// Reset, without the stop that the muxer always puts between, may reuse PIDs.)
bool IsPSIPid(const palvex::TSPacker& packer, int pid) {
  if (pid == 0) return true;
  int uses = 0;
  bool pmt = false;
  for (const palvex::PMTProgram* program : packer.programs()) {
    if (program->pmtPID() == pid) {
      pmt = true;
      ++uses;
    }
    for (const palvex::TSStream* stream : program->streams()) uses += stream->pid() == pid ? 1 : 0;
  }
  return pmt && uses == 1;
}

// framePid: the PID of the stream routed for the frame just muxed (-1 for none, or after
// an operation that muxes no frame): every packet that is not PSI is on it.
void CheckOutput(const palvex::TSPacker& packer, palvex::TSPacketBuffer* buffer, int framePid = -1) {
  uint8_t* data = nullptr;
  const int size = buffer->GetBytes(&data);
  for (int off = 0; off < size; off += 188) {
    const uint8_t* p = data + off;
    if (p[0] != 0x47) std::abort();
    const int pid = (p[1] & 0x1F) << 8 | p[2];
    bool pmt = pid == 0;
    for (const palvex::PMTProgram* program : packer.programs()) pmt = pmt || program->pmtPID() == pid;
    if (!pmt && pid != framePid) std::abort();
    if (!IsPSIPid(packer, pid) || (p[1] & 0x40) == 0 || (p[3] & 0x30) != 0x10 || p[4] != 0) continue;
    const size_t length = 3 + size_t((p[6] & 0x0F) << 8 | p[7]);
    if (length > 183) std::abort();
    if ((p[5] == 0x00 || p[5] == 0x02) && palvex::Crc32(p + 5, length) != 0) std::abort();
  }
  buffer->Clear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  Input in(data, size);
  palvex::TSPacketBuffer buffer;
  palvex::TSPacker* packer = palvex::CreatePacker();
  if (packer == nullptr) return 0;
  packer->SetOutputBuffer(&buffer);
  std::vector<std::unique_ptr<palvex_test::TestFormat>> formats;
  const int formatCount = 1 + in.Byte() % 4;
  for (int i = 0; i < formatCount; ++i) formats.push_back(ReadFormat(&in));
  auto start = [&] {
    for (auto& format : formats) packer->AddProgram(format.get());
    packer->Reset();
  };
  start();
  int64_t time = 0;
  for (int step = 0; step < 4000 && !in.Empty(); ++step) {
    const uint8_t op = in.Byte();
    if (op < 0xF0) {
      const int32_t streamId = op % 9;
      std::vector<uint8_t> bytes(op & 0x80 ? in.U16() % 12000 : in.Byte());
      const uint8_t fill = in.Byte();
      for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = uint8_t(fill + k);
      if (!bytes.empty() && (fill & 1)) bytes[0] = 0xFF;
      if (bytes.size() > 1 && (fill & 2)) bytes[1] = 0xF1;
      time += (op & 0x40) ? in.I32() : int64_t(in.Byte()) * 10000;
      const std::vector<uint8_t> original = bytes;
      // Exactly the frame's bytes: the packer reads them and never writes or grows the frame.
      palvex_test::FakeFrame frame(std::move(bytes), time, palvex_test::FakeFrame::Room::kExact);
      const palvex::TSStream* routed = packer->RoutedStream(streamId);
      packer->MuxFrame(streamId, &frame);
      if (frame.Bytes() != original || frame.setSizeCalls() != 0) std::abort();
      CheckOutput(*packer, &buffer, routed != nullptr ? routed->pid() : -1);
      continue;
    } else if (op == 0xF0) {
      packer->Reset();
    } else if (op == 0xF1) {
      packer->StopPacker();
      start();
    } else if (op == 0xF2) {
      packer->RemoveProgram(formats[in.Byte() % formats.size()].get());
    } else if (op == 0xF3) {
      packer->RemoveAllPrograms();
    } else if (op == 0xF4) {
      packer->AddProgram(formats[in.Byte() % formats.size()].get());
    } else {
      time = in.I32() * 1000;
    }
    CheckOutput(*packer, &buffer);
  }
  packer->RemoveAllPrograms();
  delete packer;
  return 0;
}
