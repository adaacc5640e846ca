// What a compromised decoder would try, and what the libraries must still be
// able to do, once the helper's confinement is in place. The sandbox probe
// makes these attempts after installing the helper's filter with the
// helper's own code; the compromised-decoder library makes them from inside
// the real helper, in the middle of a request. Each attempt reports one
// line: its name and "ok" or the errno name.
#pragma once

#include <functional>
#include <string>

namespace quorvantelmic::sandbox_attempts {

using AttemptSink = std::function<void(const char* name, const char* outcome)>;

// Attempts whose arguments make them fail or do nothing without a filter,
// each with an outcome other than EPERM (or ENOSYS for clone3) then.
void harmlessAttempts(const AttemptSink& sink);

// Attempts that would change this process or start another one if the filter
// let them through, then the calls a library needs (a thread, a file read);
// execve comes last, since it would replace the process if it worked.
void refusedAttempts(const AttemptSink& sink);

// Paths: the password file, the given file and directory outside what was
// handed down, another process's /proc entries and the system directories;
// then descriptors 3 (a file, read only) and 4 (a directory).
void fileSystemAttempts(const AttemptSink& sink, const std::string& outsideFile, const std::string& outsideDirectory);

}  // namespace quorvantelmic::sandbox_attempts
