// Arbitrary packets through palvex-mux's DVB stage, and through the section gatherer of the
// TS reader beneath it: the first bytes choose the PMT PID, the first stream PID, the
// program number, the names' lengths and the chunking; the rest is cut into 188-byte
// packets (the sync byte forced; PATs, PMTs, sections over several packets, PES as they
// come). What leaves must be whole packets with the sync byte, never on 0x0001-0x001F but
// for the SDT on 0x0011, and the tables written (PID 0, the SDT) must be continuous and
// whole, each section with its CRC_32; the sanitizers watch the reads.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dvb_stage.h"

namespace {

using palvex_host::kTSPacketSize;

struct TableCheck {
  palvex_host::SectionGatherer sections;
  int lastCC = -1;
  bool open = false;  // a section started and not yet whole

  void Pass(const uint8_t* p) {
    const int cc = palvex_host::PacketContinuity(p);
    if (lastCC >= 0 && cc != ((lastCC + 1) & 0x0F)) std::abort();
    lastCC = cc;
    if (palvex_host::PacketUnitStart(p) && open) std::abort();  // the last one was cut short
    open = !sections.Push(p);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  palvex_host::DVBConfig config;
  config.pmtPid = 0x20 + (data[0] << 5 | data[1] >> 3) % (0x1FFF - 0x20);
  config.firstPid = 0x20 + (data[1] << 8 | data[2]) % (0x1FFF - 0x20);
  config.programNumber = data[3] % 2 == 0 ? -1 : data[3] << 7;
  config.transportStreamId = data[3] % 3 == 0 ? -1 : data[4];
  config.provider = std::string(data[4] % 200, 'p');
  config.name = std::string(data[5], '\xC3');  // not ASCII: UTF-8 behind the table byte
  for (int pid = 0x10; pid < 0x10 + (data[5] & 15); ++pid) {
    palvex_host::DVBStreamNote note;
    note.libraryPid = pid;
    note.language = pid % 5 == 0 ? "x" : "eng";
    note.height = pid * 100;
    config.streams.push_back(note);
  }
  const size_t chunk = 1 + data[2] % 8;  // packets per call
  palvex_host::DVBStage stage(config);
  TableCheck pat, sdt;
  std::vector<uint8_t> packets;
  for (size_t off = 6; off < size || !packets.empty(); off += kTSPacketSize) {
    if (off < size) {
      uint8_t p[kTSPacketSize];
      std::memset(p, 0xFF, sizeof p);
      std::memcpy(p, data + off, std::min(size - off, sizeof p));
      p[0] = 0x47;
      packets.insert(packets.end(), p, p + sizeof p);
      if (packets.size() < chunk * kTSPacketSize && off + kTSPacketSize < size) continue;
    }
    const std::vector<uint8_t>& out = stage.Rewrite(packets.data(), packets.size());
    packets.clear();
    if (out.size() % kTSPacketSize != 0) std::abort();
    for (size_t at = 0; at < out.size(); at += kTSPacketSize) {
      const uint8_t* p = &out[at];
      const int pid = palvex_host::PacketPid(p);
      if (p[0] != 0x47 || (pid > 0 && pid < palvex_host::kLowestFreePid && pid != palvex_host::kSDTPid)) std::abort();
      if (pid == 0) pat.Pass(p);
      if (pid == palvex_host::kSDTPid) sdt.Pass(p);
    }
    if (pat.open || sdt.open) std::abort();  // a table is written whole within one call
  }
  return 0;
}
