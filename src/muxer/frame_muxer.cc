#include "muxer/frame_muxer.h"

#include <new>

#include "muxer/ts_packet_buffer.h"
#include "packer/ts_packer.h"

namespace palvex {

FrameMuxer::FrameMuxer() : m_packetBuffer(new (std::nothrow) TSPacketBuffer()) {}
FrameMuxer::~FrameMuxer() { delete m_packetBuffer; }
int FrameMuxer::Open() { return -1; }
int FrameMuxer::Close() { return -1; }
int FrameMuxer::Start() { return -1; }
int FrameMuxer::Stop() { return -1; }
MediaFormat* FrameMuxer::AddMediaFormat(MediaFormat*) { return nullptr; }
int FrameMuxer::RemoveMediaFormat(MediaFormat*) { return -1; }
std::vector<MediaFormat*> FrameMuxer::GetMediaFormats() { return m_formatList; }
int FrameMuxer::ProcessFrame(int, IMediaFrame*, uint8_t**, int*) { return -1; }
void FrameMuxer::Reserved(int) {}

}  // namespace palvex
