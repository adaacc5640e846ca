// quorvantelmic-converter: the desktop converter. Every file it is given is
// read by quorvantelmic-helper in a process of its own, never by the window.
//
//   quorvantelmic-converter [--helper PATH] [FILE|FOLDER]...
#include <signal.h>

#include <string>
#include <vector>

#include "desktop/converter_application.hpp"

int main(int argc, char** argv) {
  // A helper that dies while a request is being written must be reported, not
  // end the application with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  // --helper names the helper binary (the tests run a slowed one); everything
  // else is GTK's.
  std::string helper;
  std::vector<char*> arguments;
  for (int index = 0; index < argc; ++index) {
    const std::string argument = argv[index];
    if (argument == "--helper" && index + 1 < argc) {
      helper = argv[++index];
    } else if (argument.starts_with("--helper=")) {
      helper = argument.substr(9);
    } else {
      arguments.push_back(argv[index]);
    }
  }
  arguments.push_back(nullptr);
  auto application = quorvantelmic::ConverterApplication::create(helper);
  return application->run(static_cast<int>(arguments.size() - 1), arguments.data());
}
