// A packer wired to a packet buffer for the packer tests, which describe their streams with
// the support TestFormat; their PAT and PMT packets are read back with libdvbpsi
// (support/dvbpsi_tables.h).
#ifndef PALVEX_TESTS_PACKER_PACKER_FIXTURE_H_
#define PALVEX_TESTS_PACKER_PACKER_FIXTURE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "packer/pmt_program.h"
#include "packer/ts_packer.h"
#include "packetizer/ts_stream.h"
#include "palvex/media_format.h"
#include "palvex/media_stream.h"
#include "packetizer/ts_stream_test_util.h"
#include "support/dvbpsi_tables.h"
#include "support/test_format.h"
#include "ts/ts_packet_buffer.h"

namespace palvex_test {

enum MainType : int32_t {
  kVideo = kMediaMainTypeVideo,
  kAudio = kMediaMainTypeAudio,
  kData = kMediaMainTypeData,
};

// A packer with its output buffer, destroyed the way the muxer destroys it.
struct PackerDeleter {
  void operator()(palvex::TSPacker* packer) const {
    packer->RemoveAllPrograms();
    delete packer;
  }
};
using PackerPtr = std::unique_ptr<palvex::TSPacker, PackerDeleter>;

struct PackerRig {
  PackerRig() : packer(palvex::CreatePacker()) { packer->SetOutputBuffer(&buffer); }
  // The packets written since the last call, one vector of 188 bytes each.
  std::vector<std::vector<uint8_t>> TakePackets() {
    std::vector<std::vector<uint8_t>> packets = PacketsOf(buffer);
    buffer.Clear();
    return packets;
  }
  // Takes slots until only `free` remain.
  void LeaveFreeSlots(int free) {
    while (buffer.FreeSlots() > free) buffer.NextPacket();
  }
  palvex::TSPacketBuffer buffer;
  PackerPtr packer;
};

inline int PidOf(const std::vector<uint8_t>& packet) { return (packet[1] & 0x1F) << 8 | packet[2]; }

// The PAT or PMT of one packet as libdvbpsi reads it: none when it rejects the packet.
inline std::vector<DvbpsiPAT> PatOf(const std::vector<uint8_t>& packet) {
  return DecodePATs(packet.data(), packet.size());
}
inline std::vector<DvbpsiPMT> PmtOf(const std::vector<uint8_t>& packet, int programNumber) {
  return DecodePMTs(packet.data(), packet.size(), PidOf(packet), programNumber);
}
// stream_type and elementary_PID of each stream of a PMT.
inline std::vector<std::pair<int, int>> TypesAndPids(const DvbpsiPMT& pmt) {
  std::vector<std::pair<int, int>> out;
  for (const DvbpsiES& es : pmt.streams) out.emplace_back(es.type, es.pid);
  return out;
}

// Builds for targets without libdvbpsi (-m32, Windows) have no decoder: the checks that
// need one end the test as skipped at this point.
#if defined(PALVEX_HAVE_LIBDVBPSI)
#define PALVEX_NEEDS_LIBDVBPSI() \
  do {                           \
  } while (0)
#else
#define PALVEX_NEEDS_LIBDVBPSI() \
  do {                           \
    GTEST_SKIP() << "built without libdvbpsi"; \
  } while (0)
#endif

}  // namespace palvex_test

#endif  // PALVEX_TESTS_PACKER_PACKER_FIXTURE_H_
