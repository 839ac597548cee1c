#include "codec/key_picture.h"

#include "codec/bit_reader.h"
#include "codec/h264_syntax.h"
#include "codec/hevc_header_reader.h"
#include "codec/start_code.h"

namespace palvex {

namespace {

// The NAL units in front of the first slice (access unit delimiter, parameter sets, SEI)
// are short; a frame whose first slice lies further in is not looked at further.
constexpr size_t kHeaderScanLimit = 64 * 1024;

// slice_type of a slice NAL unit (behind its header byte): first_mb_in_slice ue(v), then
// slice_type ue(v); 2 and 7 are I slices (clause 7.4.3).
bool IsISlice(const uint8_t* rbsp, const uint8_t* end) {
  BitReader reader(rbsp, int32_t(end - rbsp));
  reader.ReadUe();                          // first_mb_in_slice
  const uint32_t sliceType = reader.ReadUe();  // slice_type
  return sliceType != BitReader::kInvalidUe && sliceType % 5 == 2;
}

bool IsH264KeyPicture(const uint8_t* data, const uint8_t* end) {
  bool sawSps = false;
  const uint8_t* code = FindStartCode(data, size_t(end - data));
  while (code != nullptr) {
    const uint8_t* nal = code + StartCodeLength(code);
    if (nal >= end) return false;
    const int type = NalUnitType(nal[0]);
    if (type == kNalUnitTypeIdrSlice) return true;
    if (type == kNalUnitTypeSlice) return sawSps && IsISlice(nal + 1, end);
    if (type == kNalUnitTypeSps) sawSps = true;
    code = FindStartCode(nal, size_t(end - nal));
  }
  return false;
}

// HEVC: the first VCL NAL unit (nal_unit_type below 32) decides.
bool IsHEVCKeyPicture(const uint8_t* data, const uint8_t* end) {
  const uint8_t* code = FindStartCode(data, size_t(end - data));
  while (code != nullptr) {
    const uint8_t* nal = code + StartCodeLength(code);
    if (nal >= end) return false;
    const int type = HEVCNalUnitType(nal);
    if (type < kHEVCNalVps) return type >= kHEVCNalBlaWLp && type <= kHEVCNalIrapLast;
    code = FindStartCode(nal, size_t(end - nal));
  }
  return false;
}

// MPEG-2 video and MPEG-4 Visual: start codes 00 00 01 xx up to the first picture header.
bool IsMPEGKeyPicture(bool mpeg4, const uint8_t* data, const uint8_t* end) {
  bool sawSequence = false;
  const uint8_t* code = FindStartCode(data, size_t(end - data));
  while (code != nullptr) {
    const uint8_t* body = code + StartCodeLength(code) + 1;
    if (body > end) return false;
    const uint8_t type = body[-1];
    if (!mpeg4) {
      if (type == kSequenceHeaderCode) sawSequence = true;
      // temporal_reference (10 bits), picture_coding_type (3 bits): 1 is an I picture.
      if (type == kPictureStartCode) return sawSequence && end - body >= 2 && (body[1] >> 3 & 7) == 1;
    } else {
      if (IsVideoObjectLayerStartCode(type)) sawSequence = true;
      // vop_coding_type (2 bits): 0 is an I-VOP.
      if (type == kVopStartCode) return sawSequence && end - body >= 1 && (body[0] >> 6) == 0;
    }
    code = FindStartCode(body, size_t(end - body));
  }
  return false;
}

}  // namespace

bool IsKeyPicture(VideoSyntax syntax, const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0) return false;
  const uint8_t* end = data + (size < kHeaderScanLimit ? size : kHeaderScanLimit);
  switch (syntax) {
    case VideoSyntax::kH264: return IsH264KeyPicture(data, end);
    case VideoSyntax::kHEVC: return IsHEVCKeyPicture(data, end);
    case VideoSyntax::kMPEG2Video: return IsMPEGKeyPicture(false, data, end);
    case VideoSyntax::kMPEG4Visual: return IsMPEGKeyPicture(true, data, end);
    default: return false;
  }
}

}  // namespace palvex
