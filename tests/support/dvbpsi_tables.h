// PAT, PMT and SDT as libdvbpsi, a PSI decoder independent of palvex, reads them from a
// transport stream: every table it reports (when it first sees one and whenever its version
// changes), in stream order. A packet whose section libdvbpsi rejects (a wrong CRC_32)
// reports nothing. Builds without libdvbpsi (-m32, Windows: PALVEX_HAVE_LIBDVBPSI, which
// linking libdvbpsi defines, is not set) find no tables; their tests skip such checks.
#ifndef PALVEX_TESTS_SUPPORT_DVBPSI_TABLES_H_
#define PALVEX_TESTS_SUPPORT_DVBPSI_TABLES_H_

#if defined(PALVEX_HAVE_LIBDVBPSI)
extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/dr_05.h>
#include <dvbpsi/dr_0a.h>
#include <dvbpsi/dr_48.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/sdt.h>
}
#endif

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace palvex_test {

struct DvbpsiPAT {
  int tsId = -1;
  int version = -1;
  bool currentNext = false;
  std::vector<std::pair<int, int>> programs;  // program_number, program_map_PID
};

struct DvbpsiES {
  int type = -1;
  int pid = -1;
  std::string language;       // ISO_639_language_descriptor, the first code
  uint32_t registration = 0;  // registration_descriptor's format_identifier
  int ac3Descriptor = -1;     // tag of DVB's AC-3 (0x6A) or enhanced AC-3 (0x7A) descriptor,
                              // -2 when its flags announce optional fields
};

struct DvbpsiPMT {
  int programNumber = -1;
  int version = -1;
  int pcrPid = -1;
  std::vector<DvbpsiES> streams;  // in the PMT's order
};

struct DvbpsiService {
  int id = -1;
  int type = -1;  // service_descriptor's service_type
  int running = -1;
  bool freeCA = true;
  bool eit = true;  // EIT_schedule_flag or EIT_present_following_flag
  std::string provider, name;
};

struct DvbpsiSDT {
  int tsId = -1;
  int networkId = -1;  // original_network_id
  std::vector<DvbpsiService> services;
};

#if defined(PALVEX_HAVE_LIBDVBPSI)
namespace dvbpsi_detail {

// Every packet of pid through a fresh decoder that attach sets up and detach takes down.
template <typename Attach, typename Detach>
void PushPid(const uint8_t* ts, size_t size, int pid, Attach attach, Detach detach) {
  dvbpsi_t* handle = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
  if (handle != nullptr && attach(handle)) {
    uint8_t packet[188];
    for (size_t off = 0; off + 188 <= size; off += 188) {
      if (((ts[off + 1] & 0x1F) << 8 | ts[off + 2]) != pid) continue;
      std::memcpy(packet, ts + off, sizeof packet);
      dvbpsi_packet_push(handle, packet);
    }
    detach(handle);
  }
  dvbpsi_delete(handle);
}

inline void OnPAT(void* data, dvbpsi_pat_t* pat) {
  DvbpsiPAT t;
  t.tsId = pat->i_ts_id;
  t.version = pat->i_version;
  t.currentNext = pat->b_current_next;
  for (dvbpsi_pat_program_t* p = pat->p_first_program; p != nullptr; p = p->p_next)
    t.programs.emplace_back(p->i_number, p->i_pid);
  static_cast<std::vector<DvbpsiPAT>*>(data)->push_back(t);
  dvbpsi_pat_delete(pat);
}

inline void OnPMT(void* data, dvbpsi_pmt_t* pmt) {
  DvbpsiPMT t;
  t.programNumber = pmt->i_program_number;
  t.version = pmt->i_version;
  t.pcrPid = pmt->i_pcr_pid;
  for (dvbpsi_pmt_es_t* es = pmt->p_first_es; es != nullptr; es = es->p_next) {
    DvbpsiES e;
    e.type = es->i_type;
    e.pid = es->i_pid;
    for (dvbpsi_descriptor_t* d = es->p_first_descriptor; d != nullptr; d = d->p_next) {
      if (d->i_tag == 0x0A) {
        const dvbpsi_iso639_dr_t* dr = dvbpsi_DecodeISO639Dr(d);
        if (dr != nullptr && dr->i_code_count > 0)
          e.language.assign(reinterpret_cast<const char*>(dr->code[0].iso_639_code), 3);
      } else if (d->i_tag == 0x05) {
        const dvbpsi_registration_dr_t* dr = dvbpsi_DecodeRegistrationDr(d);
        if (dr != nullptr) e.registration = dr->i_format_identifier;
      } else if ((d->i_tag == 0x6A || d->i_tag == 0x7A) && d->i_length >= 1) {
        e.ac3Descriptor = d->p_data[0] == 0 ? d->i_tag : -2;  // libdvbpsi 1.3 has no decoder for them
      }
    }
    t.streams.push_back(e);
  }
  static_cast<std::vector<DvbpsiPMT>*>(data)->push_back(t);
  dvbpsi_pmt_delete(pmt);
}

inline void OnSDT(void* data, dvbpsi_sdt_t* sdt) {
  DvbpsiSDT t;
  t.tsId = sdt->i_extension;
  t.networkId = sdt->i_network_id;
  for (dvbpsi_sdt_service_t* s = sdt->p_first_service; s != nullptr; s = s->p_next) {
    DvbpsiService service;
    service.id = s->i_service_id;
    service.running = s->i_running_status;
    service.freeCA = s->b_free_ca;
    service.eit = s->b_eit_schedule || s->b_eit_present;
    for (dvbpsi_descriptor_t* d = s->p_first_descriptor; d != nullptr; d = d->p_next) {
      const dvbpsi_service_dr_t* dr = d->i_tag == 0x48 ? dvbpsi_DecodeServiceDr(d) : nullptr;
      if (dr == nullptr) continue;
      service.type = dr->i_service_type;
      service.provider.assign(reinterpret_cast<const char*>(dr->i_service_provider_name),
                              dr->i_service_provider_name_length);
      service.name.assign(reinterpret_cast<const char*>(dr->i_service_name), dr->i_service_name_length);
    }
    t.services.push_back(service);
  }
  static_cast<std::vector<DvbpsiSDT>*>(data)->push_back(t);
  dvbpsi_sdt_delete(sdt);
}

struct SDTs {
  std::vector<DvbpsiSDT> tables;
  int tsId = -1;  // of the subtable attached
};

inline void OnNewTable(dvbpsi_t* handle, uint8_t tableId, uint16_t extension, void* data) {
  auto* sdts = static_cast<SDTs*>(data);
  if (tableId == 0x42 && sdts->tsId < 0 && dvbpsi_sdt_attach(handle, tableId, extension, OnSDT, &sdts->tables))
    sdts->tsId = extension;
}

}  // namespace dvbpsi_detail

inline std::vector<DvbpsiPAT> DecodePATs(const uint8_t* ts, size_t size) {
  std::vector<DvbpsiPAT> tables;
  dvbpsi_detail::PushPid(
      ts, size, 0, [&](dvbpsi_t* h) { return dvbpsi_pat_attach(h, dvbpsi_detail::OnPAT, &tables); },
      [](dvbpsi_t* h) { dvbpsi_pat_detach(h); });
  return tables;
}

inline std::vector<DvbpsiPMT> DecodePMTs(const uint8_t* ts, size_t size, int pid, int programNumber) {
  std::vector<DvbpsiPMT> tables;
  dvbpsi_detail::PushPid(
      ts, size, pid,
      [&](dvbpsi_t* h) { return dvbpsi_pmt_attach(h, uint16_t(programNumber), dvbpsi_detail::OnPMT, &tables); },
      [](dvbpsi_t* h) { dvbpsi_pmt_detach(h); });
  return tables;
}

// The SDT of the actual transport stream (table_id 0x42) on PID 0x0011.
inline std::vector<DvbpsiSDT> DecodeSDTs(const uint8_t* ts, size_t size) {
  dvbpsi_detail::SDTs sdts;
  dvbpsi_detail::PushPid(
      ts, size, 0x11, [&](dvbpsi_t* h) { return dvbpsi_AttachDemux(h, dvbpsi_detail::OnNewTable, &sdts); },
      [&](dvbpsi_t* h) {
        if (sdts.tsId >= 0) dvbpsi_sdt_detach(h, 0x42, uint16_t(sdts.tsId));
        dvbpsi_DetachDemux(h);
      });
  return sdts.tables;
}
#else
inline std::vector<DvbpsiPAT> DecodePATs(const uint8_t*, size_t) { return {}; }
inline std::vector<DvbpsiPMT> DecodePMTs(const uint8_t*, size_t, int, int) { return {}; }
#endif

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_DVBPSI_TABLES_H_
