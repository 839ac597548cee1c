// A constant-rate transport stream as a receiver that locks its clock to it sees it: the
// byte clock runs at the declared rate R from the first PCR (each byte 8 / R s after the
// one before), every PCR is compared with the time its byte position gives, and every
// access unit's first and last byte with its DTS. PCR_PID and the elementary PIDs come
// from the PAT and PMT.
#ifndef PALVEX_TESTS_SUPPORT_RATE_READER_H_
#define PALVEX_TESTS_SUPPORT_RATE_READER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace palvex_test {

struct RateReport {
  size_t packets = 0;
  size_t nullPackets = 0;
  size_t pcrs = 0;
  int64_t maxPCRErrorNs = 0;        // |PCR - its byte position's time|, the worst
  int64_t maxPCRIntervalNs = 0;     // between two PCRs of the PCR_PID
  int64_t maxPATIntervalNs = 0;
  int64_t maxPMTIntervalNs = 0;
  size_t units = 0;                 // access units (PES packets with a DTS or PTS)
  size_t lateUnits = 0;             // whose last byte arrives after their DTS
  int64_t minSlackNs = 0;           // DTS - arrival of the last byte, the least
  int64_t maxLeadNs = 0;            // DTS - arrival of the first byte, the most
  std::vector<std::string> errors;  // first few late units, missing tables
};

// rate in bit/s; the stream must hold a PAT, a PMT and PCRs. programNumber: the program
// whose PMT, PCRs and access units are read (-1: the PAT's first program), on its own clock.
RateReport ReadConstantRate(const uint8_t* ts, size_t size, int64_t rate, int programNumber = -1);

// A recorded multiplex whose programs come and go (services added, removed and started
// anew by reloads), every program on its own clock. The PAT and PMTs are followed as they
// change; each elementary PID belongs to the program instance whose PMT listed it last, and
// its access units are judged on that instance's PCR_PID: the time of a byte is the PID's
// latest PCR carried on at the declared rate, so that a program started anew (a new clock,
// flagged by discontinuity_indicator) is judged on its new clock.
struct ProgramWire {
  size_t units = 0;             // access units (PES packets with a DTS or PTS)
  size_t lateUnits = 0;         // whose last byte arrives after their DTS
  size_t unclocked = 0;         // before any PCR of their PCR_PID
  int64_t maxLateNs = 0;
  int64_t maxPCRIntervalNs = 0; // between two PCRs of its PCR_PID while the PAT names it
  size_t pcrSteps = 0;          // PCRs off the clock of the one before (over 1 ms) without discontinuity_indicator
  size_t instances = 0;         // PMTs with another PCR_PID or PID set than the one before
  int64_t lastUnitNs = -1;      // where its latest access unit starts (from the start, at the rate)
  std::vector<std::string> errors;  // the first few late units and PCR steps
};
struct WireReport {
  size_t packets = 0;
  std::vector<std::string> continuityErrors;  // as TsChecker finds them
  size_t strayPCRs = 0;         // PCR-only packets on the PCR_PID of a program after it left the PAT
  int64_t strayPCRsAfterNs = 0; // the last of them, this long after its program left the PAT
  std::map<int, ProgramWire> programs;  // by program_number
};
WireReport ReadWire(const uint8_t* ts, size_t size, int64_t rate);

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_RATE_READER_H_
