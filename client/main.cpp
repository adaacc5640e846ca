// quorvantelmic-convert: converts files from the command line through the real
// helper, driving it exactly as the desktop application does.
#include <signal.h>
#include <sys/resource.h>

#include <iostream>
#include <string>
#include <vector>

#include "client/convert_commands.hpp"
#include "client/interruption.hpp"

int main(int argc, char** argv) {
  // A helper that dies while a request is being written must be reported, not
  // end this process with SIGPIPE; the helper itself gets the default back.
  ::signal(SIGPIPE, SIG_IGN);
  quorvantelmic::deferInterruptions();
  // images-to-pdf holds up to 500 sources open and passes copies of them down.
  rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 4096 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max < 4096 ? limit.rlim_max : 4096;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const int status = quorvantelmic::runConvertCommand(arguments, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
