// Where palvex-mux's transport stream goes: a file, standard output, or UDP / RTP
// datagrams of whole 188-byte packets. Every write is of whole packets; a file that could
// not take a write whole is cut back to its last whole packet.
#ifndef PALVEX_TOOLS_OUTPUT_H_
#define PALVEX_TOOLS_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ts_reader.h"

namespace palvex_host {

constexpr size_t kPacketsPerDatagram = 7;  // 1316 bytes: fits a 1500-byte Ethernet MTU with RTP
constexpr uint8_t kRtpPayloadTypeMp2t = 33;

class Sink {
 public:
  virtual ~Sink() = default;
  // Writes whole packets. A network sink sends them in datagrams of kPacketsPerDatagram
  // packets; clocks90k, when given, holds the stream's 90 kHz time of each datagram (the
  // RTP time stamp).
  virtual bool Write(const uint8_t* data, size_t size, const uint32_t* clocks90k) = 0;
  virtual bool network() const = 0;
  const std::string& error() const { return m_error; }

 protected:
  std::string m_error;
};

struct SinkOptions {
  int ttl = -1;                    // -1: the system's default
  std::string multicastInterface;  // IPv4 address, or IPv6 interface name
  int stdoutFd = 1;                // where "-" writes (the tool keeps the real stdout here)
};

bool IsNetworkOutput(const std::string& target);

// Opens target ("-", a file, udp://host:port, rtp://host:port, with ?ttl=N&localaddr=ADDR);
// null with a one-line error (the system's reason) when it cannot.
std::unique_ptr<Sink> OpenSink(const std::string& target, const SinkOptions& options, std::string* error);

// True when output names the same file as input (another path, a hard or symbolic link,
// or standard output redirected onto it): st_dev and st_ino compared.
bool SameFile(const std::string& input, const std::string& output, int stdoutFd);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_OUTPUT_H_
