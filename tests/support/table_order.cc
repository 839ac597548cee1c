#include "support/table_order.h"

#include <cstdio>
#include <set>

#include "ts_reader.h"

namespace palvex_test {
namespace {

std::string Hex(int pid) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", pid);
  return text;
}

}  // namespace

TableOrder ReadTableOrder(const uint8_t* ts, size_t size) {
  using namespace palvex_host;
  TableOrder order;
  std::map<int, size_t> namedAt;    // program_map_PID -> first PAT naming it
  std::set<int> pmtSeen;            // PIDs a PMT came on
  std::set<int> announced;          // PIDs a PMT listed behind a PAT naming it
  std::set<int> seen;               // PIDs a packet came on
  std::set<int> video;
  std::set<int> done;               // video PIDs whose first PES packet is whole
  std::map<int, SectionGatherer> sections;
  for (size_t i = 0; i + kTSPacketSize <= size; i += kTSPacketSize) {
    const uint8_t* p = ts + i;
    const int pid = PacketPid(p);
    const size_t index = i / kTSPacketSize;
    const bool table = pid == 0 || PacketTableId(p) == 0x02 || sections[pid].open();
    if (table && sections[pid].Push(p)) {
      const std::vector<uint8_t>& s = sections[pid].section();
      PAT pat;
      PMT pmt;
      if (pid == 0 && ReadPAT(s.data(), s.size(), &pat)) {
        for (const PATProgram& program : pat.programs) {
          if (program.number == 0 || namedAt.count(program.pid) != 0) continue;
          namedAt[program.pid] = index;
          if (pmtSeen.count(program.pid) == 0)
            order.pmtAfterPAT.push_back("no PMT on " + Hex(program.pid) + " before the PAT naming it at packet " +
                                        std::to_string(index));
        }
      } else if (pid != 0 && ReadPMT(s.data(), s.size(), &pmt)) {
        pmtSeen.insert(pid);
        for (const PMTStream& stream : pmt.streams) {
          if (namedAt.count(pid) != 0) announced.insert(stream.pid);
          if (stream.streamType == 0x01 || stream.streamType == 0x02 || stream.streamType == 0x1B ||
              stream.streamType == 0x24)
            video.insert(stream.pid);
        }
      }
    }
    if (table || pid == kNullPid || pmtSeen.count(pid) != 0 || (pid >= 0x10 && pid <= 0x1F)) continue;
    if (seen.insert(pid).second && announced.count(pid) == 0)
      order.beforePMT.push_back(Hex(pid) + " at packet " + std::to_string(index) + ", before a PMT listing it");
    // The first PES packet of a video PID, up to the next one's start.
    size_t payload = 0;
    const uint8_t* data = PacketPayload(p, &payload);
    if (video.count(pid) == 0 || data == nullptr || done.count(pid) != 0) continue;
    if (PacketUnitStart(p) && order.firstVideo.count(pid) != 0) {
      done.insert(pid);
    } else if (PacketUnitStart(p) && payload > 9 && payload > size_t{9} + data[8]) {
      order.firstVideo[pid].assign(data + 9 + data[8], data + payload);  // behind the PES header
    } else if (order.firstVideo.count(pid) != 0) {
      order.firstVideo[pid].insert(order.firstVideo[pid].end(), data, data + payload);
    }
  }
  return order;
}

bool StartsWithIDR(const std::vector<uint8_t>& b) {
  for (size_t i = 0; i + 3 < b.size(); ++i) {
    if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
    const int type = b[i + 3] & 0x1F;
    if (type == 5) return true;
    if (type >= 1 && type <= 4) return false;  // a slice of a picture that is no IDR
  }
  return false;
}

}  // namespace palvex_test
