// host/stormcontrol-state.cpp — checks a state file and writes it back, every field spelt out.
///
/// Usage: stormcontrol-state < FILE. The text is read as the daemon reads a state file; an
/// accepted one is printed back with every class and field written (the defaults included),
/// a refused one gives the daemon's refusal and exit status 2. The system tests learn the
/// file's classes, fields and defaults from it, so they restate none of them.
#include <iostream>
#include <iterator>
#include <string>

#include "host/switchstate/StateFile.h"
#include "host/switchstate/StateFileWriter.h"

int main() {
  const std::string text(std::istreambuf_iterator<char>(std::cin), {});
  std::string error;
  const std::unique_ptr<Host::StateFile> file = Host::StateFile::parse("stdin", text, error);
  if (!file) {
    std::cerr << error << '\n';
    return 2;
  }
  std::cout << Host::stateFileJson(*file) << '\n';
  return std::cout ? 0 : 1;
}
