// The access unit delimiter palvex-mux puts first in every H.264 and HEVC access unit that
// lacks one: the transport stream carriage of both wants one in each access unit, and
// hardware decoders and analyzers find the access units by it. The library carries the
// host's bytes as they are, so the host adds it.
//
// The access unit is Annex B (three- or four-byte start codes). A delimiter already first
// is kept as it is; one further in (behind parameter sets put in front of a key frame) is
// moved to the front; else one is made: H.264 primary_pic_type from the slice_type of every
// slice (the smallest set of types that holds them all, 7 when a slice header cannot be
// read), HEVC pic_type 0 when every picture is IRAP (I slices only), else 2, with the
// TemporalId of the access unit's first picture. Bytes are read only within the access
// unit; no libavformat here.
#ifndef PALVEX_TOOLS_ACCESS_UNIT_DELIMITER_H_
#define PALVEX_TOOLS_ACCESS_UNIT_DELIMITER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace palvex_host {

// True when the access unit changed (a delimiter made or moved to the front); bytes without
// a NAL unit are left as they are.
bool PutAccessUnitDelimiter(bool hevc, std::vector<uint8_t>* accessUnit);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_ACCESS_UNIT_DELIMITER_H_
