// Whether a receiver can act on a transport stream's tables in the order they come: the
// PMT of every program goes out no later than the first PAT naming its program_map_PID,
// and nothing goes out on a PID a PMT lists (elementary stream, PCR-only packets, splice
// cues) before a PMT listing it has come behind a PAT naming that PMT; also the first
// access unit of every video PID, to tell whether it is a random-access point.
#ifndef PALVEX_TESTS_SUPPORT_TABLE_ORDER_H_
#define PALVEX_TESTS_SUPPORT_TABLE_ORDER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace palvex_test {

struct TableOrder {
  // "PMT 0x0100 first at packet 5, after the PAT naming it at packet 2", one per program.
  std::vector<std::string> pmtAfterPAT;
  // "PID 0x0101 at packet 4, before its PMT", one per PID.
  std::vector<std::string> beforePMT;
  // Per video PID (stream_type 0x01, 0x02, 0x1B, 0x24): the payload of its first PES packet.
  std::map<int, std::vector<uint8_t>> firstVideo;
};

TableOrder ReadTableOrder(const uint8_t* ts, size_t size);

// An H.264 access unit (Annex B) that starts with an IDR picture: a NAL unit of type 5
// before any slice of another type.
bool StartsWithIDR(const std::vector<uint8_t>& payload);

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_TABLE_ORDER_H_
