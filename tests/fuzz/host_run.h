#pragma once

// Randomised host runs against the plug-in library. A seed alone decides a whole run: the host
// (identity, interface version, threads, downsampling, missing callbacks), the frame (size,
// pixel format, pixels with NaN, infinities and random bits), texture layers of every size and
// wrong formats, every parameter (popup items; sliders at their limits, beyond them, NaN,
// infinities, huge and denormal values), an injected fault (abort at the n-th poll, allocation
// and lock failures, error codes from callbacks, missing or failing suites) and a sequence of
// host commands, among them the effect panel's: event contexts opened and closed, events of
// every type with plausible or hostile data, and arbitrary-data requests. After every command
// the run checks what must always hold:
//
//   - the answer is the one the command and the injected fault call for, and no exception
//     escaped the library;
//   - the host's books balance (suites, checkouts, handles: the only ones the effect may hold
//     between commands are the state blocks of open event contexts, and a context the host
//     closes takes its block with it);
//   - the input and texture worlds are untouched, and so is the padding after each output row;
//   - float output is finite where input and parameters are finite and in range, and 16-bit
//     output at most 32768 where they are in range.
//
// A signal or a sanitizer report ends the process; the campaign driver notices that and names
// the seed.

#include <cstdint>
#include <string>
#include <vector>

namespace brel::fuzz {

struct Run_Options {
  std::string library;   // the plug-in library to load
  bool verbose = false;  // print every step of the run
};

struct Run_Result {
  std::vector<std::string> failures;  // one line each; empty when every check held
  int64_t commands = 0;
};

// Runs the host run of `seed` in this process.
Run_Result run_seed(uint64_t seed, const Run_Options& options);

}  // namespace brel::fuzz
