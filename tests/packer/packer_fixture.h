// A packer wired to a packet buffer for the packer tests, which describe their streams with
// the support TestFormat; and a libdvbpsi decoder for PAT and PMT.
#ifndef PALVEX_TESTS_PACKER_PACKER_FIXTURE_H_
#define PALVEX_TESTS_PACKER_PACKER_FIXTURE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#if defined(PALVEX_HAVE_LIBDVBPSI)
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#endif

#include "packer/pmt_program.h"
#include "packer/ts_packer.h"
#include "packetizer/ts_stream.h"
#include "palvex/media_format.h"
#include "palvex/media_stream.h"
#include "packetizer/ts_stream_test_util.h"
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

struct DecodedPat {
  bool decoded = false;
  uint16_t tsId = 0;
  uint8_t version = 0;
  bool currentNext = false;
  std::vector<std::pair<uint16_t, uint16_t>> programs;  // program_number, PMT PID
};

struct DecodedPmt {
  bool decoded = false;
  uint16_t programNumber = 0;
  uint16_t pcrPid = 0;
  std::vector<std::pair<uint8_t, uint16_t>> streams;  // stream_type, elementary_PID
};

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

#if defined(PALVEX_HAVE_LIBDVBPSI)
// One packet through a fresh libdvbpsi decoder; decoded stays false when it rejects it.
inline DecodedPat DecodePat(std::vector<uint8_t> packet) {
  DecodedPat out;
  dvbpsi_t* handle = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  auto callback = [](void* data, dvbpsi_pat_t* pat) {
    auto* result = static_cast<DecodedPat*>(data);
    result->decoded = true;
    result->tsId = pat->i_ts_id;
    result->version = pat->i_version;
    result->currentNext = pat->b_current_next;
    for (dvbpsi_pat_program_t* p = pat->p_first_program; p != nullptr; p = p->p_next)
      result->programs.emplace_back(p->i_number, p->i_pid);
    dvbpsi_pat_delete(pat);
  };
  if (handle != nullptr && dvbpsi_pat_attach(handle, callback, &out)) {
    dvbpsi_packet_push(handle, packet.data());
    dvbpsi_pat_detach(handle);
  }
  dvbpsi_delete(handle);
  return out;
}

inline DecodedPmt DecodePmt(std::vector<uint8_t> packet, uint16_t programNumber) {
  DecodedPmt out;
  dvbpsi_t* handle = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  auto callback = [](void* data, dvbpsi_pmt_t* pmt) {
    auto* result = static_cast<DecodedPmt*>(data);
    result->decoded = true;
    result->programNumber = pmt->i_program_number;
    result->pcrPid = pmt->i_pcr_pid;
    for (dvbpsi_pmt_es_t* es = pmt->p_first_es; es != nullptr; es = es->p_next)
      result->streams.emplace_back(es->i_type, es->i_pid);
    dvbpsi_pmt_delete(pmt);
  };
  if (handle != nullptr && dvbpsi_pmt_attach(handle, programNumber, callback, &out)) {
    dvbpsi_packet_push(handle, packet.data());
    dvbpsi_pmt_detach(handle);
  }
  dvbpsi_delete(handle);
  return out;
}
#else
// Never reached: PALVEX_NEEDS_LIBDVBPSI() has skipped the test before.
inline DecodedPat DecodePat(std::vector<uint8_t>) { return {}; }
inline DecodedPmt DecodePmt(std::vector<uint8_t>, uint16_t) { return {}; }
#endif

}  // namespace palvex_test

#endif  // PALVEX_TESTS_PACKER_PACKER_FIXTURE_H_
