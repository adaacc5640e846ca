// The helper never writes to standard error, and neither may the libraries it
// runs: dav1d, for one, logs a line for every damaged AV1 stream it is given.
#pragma once

namespace quorvantelmic {

// Points standard error at /dev/null for the rest of the process, whatever
// the parent passed as descriptor 2. In sanitizer builds the sanitizers'
// reports still reach the original standard error, through a duplicate of it
// that is closed on exec. Returns false when /dev/null cannot be opened; the
// parent's descriptor 2 is then left as it was.
bool silenceStandardError() noexcept;

}  // namespace quorvantelmic
