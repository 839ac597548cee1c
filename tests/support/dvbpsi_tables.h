// PAT, PMT, SDT, NIT and TDT as libdvbpsi, a PSI decoder independent of palvex, reads them from a
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
#include <dvbpsi/dr_40.h>
#include <dvbpsi/dr_41.h>
#include <dvbpsi/dr_48.h>
#include <dvbpsi/nit.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/sdt.h>
#include <dvbpsi/tot.h>
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
  int version = -1;
  std::vector<DvbpsiService> services;
};

struct DvbpsiChannel {
  int serviceId = -1;
  bool visible = false;
  int lcn = -1;
  bool operator==(const DvbpsiChannel& o) const {
    return serviceId == o.serviceId && visible == o.visible && lcn == o.lcn;
  }
};

struct DvbpsiNITStream {
  int tsId = -1;
  int originalNetworkId = -1;
  std::vector<std::pair<int, int>> services;  // service_list_descriptors: service_id, service_type
  std::vector<DvbpsiChannel> channels;        // logical_channel_descriptors (0x83), read by hand
};

struct DvbpsiNIT {
  int networkId = -1;
  int version = -1;
  std::string networkName;  // network_name_descriptor
  std::vector<DvbpsiNITStream> streams;
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
  t.version = sdt->i_version;
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

inline void OnNIT(void* data, dvbpsi_nit_t* nit) {
  DvbpsiNIT t;
  t.networkId = nit->i_network_id;
  t.version = nit->i_version;
  for (dvbpsi_descriptor_t* d = nit->p_first_descriptor; d != nullptr; d = d->p_next) {
    const dvbpsi_network_name_dr_t* dr = d->i_tag == 0x40 ? dvbpsi_DecodeNetworkNameDr(d) : nullptr;
    if (dr != nullptr) t.networkName.assign(reinterpret_cast<const char*>(dr->i_name_byte), dr->i_name_length);
  }
  for (dvbpsi_nit_ts_t* ts = nit->p_first_ts; ts != nullptr; ts = ts->p_next) {
    DvbpsiNITStream stream;
    stream.tsId = ts->i_ts_id;
    stream.originalNetworkId = ts->i_orig_network_id;
    for (dvbpsi_descriptor_t* d = ts->p_first_descriptor; d != nullptr; d = d->p_next) {
      if (d->i_tag == 0x41) {
        const dvbpsi_service_list_dr_t* dr = dvbpsi_DecodeServiceListDr(d);
        for (int i = 0; dr != nullptr && i < dr->i_service_count; ++i)
          stream.services.emplace_back(dr->i_service[i].i_service_id, dr->i_service[i].i_service_type);
      } else if (d->i_tag == 0x83) {  // logical_channel_descriptor: libdvbpsi has no decoder for it
        for (int i = 0; i + 4 <= d->i_length; i += 4) {
          const uint8_t* e = d->p_data + i;
          stream.channels.push_back({e[0] << 8 | e[1], (e[2] & 0x80) != 0, (e[2] & 0x03) << 8 | e[3]});
        }
      }
    }
    t.streams.push_back(stream);
  }
  static_cast<std::vector<DvbpsiNIT>*>(data)->push_back(t);
  dvbpsi_nit_delete(nit);
}

inline void OnTDT(void* data, dvbpsi_tot_t* tdt) {
  static_cast<std::vector<uint64_t>*>(data)->push_back(tdt->i_utc_time);
  dvbpsi_tot_delete(tdt);
}

// The subtable of one table_id on a PID, the first extension seen; other table_ids ignored.
struct SubtableBase {
  uint8_t tableId = 0;
  int extension = -1;
};
template <typename Table>
struct Subtable : SubtableBase {
  std::vector<Table> tables;
};

inline void OnNewTable(dvbpsi_t* handle, uint8_t tableId, uint16_t extension, void* data) {
  SubtableBase* base = static_cast<SubtableBase*>(data);
  if (tableId != base->tableId) return;
  if (tableId == 0x42) {
    auto* sdts = static_cast<Subtable<DvbpsiSDT>*>(base);
    if (sdts->extension < 0 && dvbpsi_sdt_attach(handle, tableId, extension, OnSDT, &sdts->tables))
      sdts->extension = extension;
  } else if (tableId == 0x40) {
    auto* nits = static_cast<Subtable<DvbpsiNIT>*>(base);
    if (nits->extension < 0 && dvbpsi_nit_attach(handle, tableId, extension, OnNIT, &nits->tables))
      nits->extension = extension;
  } else if (tableId == 0x70) {
    auto* tdts = static_cast<Subtable<uint64_t>*>(base);
    if (tdts->extension < 0 && dvbpsi_tot_attach(handle, tableId, extension, OnTDT, &tdts->tables))
      tdts->extension = extension;
  }
}

// Every table of one table_id (0x42 SDT, 0x40 NIT, 0x70 TDT) on its PID, through a demux.
template <typename Table>
std::vector<Table> DecodeSubtable(const uint8_t* ts, size_t size, int pid, uint8_t tableId,
                                  void (*detach)(dvbpsi_t*, uint8_t, uint16_t)) {
  Subtable<Table> subtable;
  subtable.tableId = tableId;
  PushPid(
      ts, size, pid, [&](dvbpsi_t* h) { return dvbpsi_AttachDemux(h, OnNewTable, static_cast<SubtableBase*>(&subtable)); },
      [&](dvbpsi_t* h) {
        if (subtable.extension >= 0) detach(h, tableId, uint16_t(subtable.extension));
        dvbpsi_DetachDemux(h);
      });
  return subtable.tables;
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
  return dvbpsi_detail::DecodeSubtable<DvbpsiSDT>(ts, size, 0x11, 0x42, dvbpsi_sdt_detach);
}

// The NIT of the actual network (table_id 0x40) on PID 0x0010.
inline std::vector<DvbpsiNIT> DecodeNITs(const uint8_t* ts, size_t size) {
  return dvbpsi_detail::DecodeSubtable<DvbpsiNIT>(ts, size, 0x10, 0x40, dvbpsi_nit_detach);
}

// The UTC_time (16-bit MJD, 24-bit BCD time) of every TDT (table_id 0x70) on PID 0x0014.
inline std::vector<uint64_t> DecodeTDTs(const uint8_t* ts, size_t size) {
  return dvbpsi_detail::DecodeSubtable<uint64_t>(ts, size, 0x14, 0x70, dvbpsi_tot_detach);
}
#else
inline std::vector<DvbpsiPAT> DecodePATs(const uint8_t*, size_t) { return {}; }
inline std::vector<DvbpsiPMT> DecodePMTs(const uint8_t*, size_t, int, int) { return {}; }
inline std::vector<DvbpsiSDT> DecodeSDTs(const uint8_t*, size_t) { return {}; }
inline std::vector<DvbpsiNIT> DecodeNITs(const uint8_t*, size_t) { return {}; }
inline std::vector<uint64_t> DecodeTDTs(const uint8_t*, size_t) { return {}; }
#endif

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_DVBPSI_TABLES_H_
