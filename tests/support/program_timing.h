// One program of a transport stream on its own PCR clock, as a T-STD receiver of that
// program sees it: the PCRs of its PCR_PID (unwrapped past the 2^33 wrap), the stream's
// time at every byte interpolated between the two PCRs around it (extrapolated at the rate
// of the nearest interval before the first and after the last), and every access unit of
// its elementary streams (a PES packet with a DTS, else a PTS) against its decode time:
// its last byte must have arrived by then. Nothing here assumes a constant rate, so a
// multiplex, a single channel with or without --muxrate and a live recording are read the
// same way. PCR_PID and the elementary PIDs come from the PAT and the program's PMT.
#ifndef PALVEX_TESTS_SUPPORT_PROGRAM_TIMING_H_
#define PALVEX_TESTS_SUPPORT_PROGRAM_TIMING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace palvex_test {

struct ProgramTiming {
  int pcrPid = -1;
  size_t pcrs = 0;
  int64_t maxPCRIntervalNs = 0;    // between two PCRs of the PCR_PID, in PCR time
  size_t pcrStepsBack = 0;         // PCRs below the one before them
  size_t units = 0;                // access units of the program's PES streams
  size_t lateUnits = 0;            // whose last byte arrives after their decode time
  int64_t minSlackNs = 0;          // decode time - arrival of the last byte, the least
  std::vector<std::string> errors;  // no PAT/PMT/PCR; the first few late units
};

// programNumber: the PAT's program_number (a plan's service_id), -1 for the first one.
ProgramTiming ReadProgramTiming(const uint8_t* ts, size_t size, int programNumber = -1);

// The program_numbers of the first PAT, program 0 (the NIT's) left out.
std::vector<int> ProgramNumbers(const uint8_t* ts, size_t size);

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_PROGRAM_TIMING_H_
