// A constant-rate transport stream as a receiver that locks its clock to it sees it: the
// byte clock runs at the declared rate R from the first PCR (each byte 8 / R s after the
// one before), every PCR is compared with the time its byte position gives, and every
// access unit's first and last byte with its DTS. PCR_PID and the elementary PIDs come
// from the PAT and PMT.
#ifndef PALVEX_TESTS_SUPPORT_RATE_READER_H_
#define PALVEX_TESTS_SUPPORT_RATE_READER_H_

#include <cstddef>
#include <cstdint>
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

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_RATE_READER_H_
