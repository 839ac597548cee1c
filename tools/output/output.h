// Where palvex-mux's transport stream goes: a file, standard output, or UDP / RTP
// datagrams of whole 188-byte packets. Every write is of whole packets; a file that could
// not take a write whole is cut back to its last whole packet. A regular file is written
// beside its place and put there when the run ends well, so that a run that fails before
// its first packet leaves an existing file as it was and creates none; a run that fails
// later (a full disk during a recording) keeps the whole packets it wrote (Keep). Devices
// and FIFOs are written as they are.
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
  // The run ended well: a file written beside its place takes it. False with error() set
  // when it cannot. A sink destroyed without Commit leaves its place as it was.
  virtual bool Commit() { return true; }
  // After a failure: a file written beside its place that holds whole packets takes the
  // place as Commit does, so that a recording is not lost; note then names it (or says
  // where it stays and why). False when there is nothing to keep: the place stays as it was.
  virtual bool Keep(std::string* /*note*/) { return false; }
  const std::string& error() const { return m_error; }
  // The write failed because the reader of a pipe or socket closed it (EPIPE).
  bool readerGone() const { return m_readerGone; }
  // Datagrams the network stack did not take (a full send queue): lost, the run goes on.
  uint64_t lostDatagrams() const { return m_lostDatagrams; }

 protected:
  std::string m_error;
  bool m_readerGone = false;
  uint64_t m_lostDatagrams = 0;
};

struct SinkOptions {
  int ttl = -1;                    // -1: the system's default
  std::string multicastInterface;  // IPv4 address, or IPv6 interface name
  int stdoutFd = 1;                // where "-" writes (the tool keeps the real stdout here)
  bool overwrite = false;          // an existing regular file may be replaced
};

bool IsNetworkOutput(const std::string& target);

// The form of target alone, before anything is opened: "-", a path, or udp:// / rtp:// with
// a host, a port and a TTL of 0-255 when the query gives one; false with a one-line error.
bool CheckOutputName(const std::string& target, std::string* error);

// Whether a local target may be written, before the input is opened: not a directory, and
// an existing regular file only with overwrite. Nothing is created or changed.
bool CheckOutputFile(const std::string& target, bool overwrite, std::string* error);

// A hidden file beside target that a run over the same name left (killed before it could
// put it in place or remove it): a one-line note naming it, or "" when there is none.
std::string LeftoverNote(const std::string& target);

// Removes the file a run is writing beside its place, if any; async-signal-safe, for a
// process that ends at once on a second signal.
void RemovePendingFile();

// Opens target ("-", a file, udp://host:port, rtp://host:port, with ?ttl=N&localaddr=ADDR);
// null with a one-line error (the system's reason) when it cannot.
std::unique_ptr<Sink> OpenSink(const std::string& target, const SinkOptions& options, std::string* error);

// True when output names the same file as input (another path, a hard or symbolic link,
// or standard output redirected onto it): st_dev and st_ino compared.
bool SameFile(const std::string& input, const std::string& output, int stdoutFd);

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_OUTPUT_H_
