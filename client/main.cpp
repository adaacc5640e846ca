// quorvantelmic-convert: converts files from the command line through the real
// helper, driving it exactly as the desktop application does.
#include <signal.h>

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
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const int status = quorvantelmic::runConvertCommand(arguments, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
