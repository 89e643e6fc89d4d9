#include "tablet-emulator/Emulator.hpp"

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  using namespace pd::tools::tablet;
  // A driving test may close our stdout first; a failed write must not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  OptionsParse parsed = parseOptions(args);
  if (parsed.help) {
    std::cout << usageText();
    return 0;
  }
  if (!parsed.options) {
    std::cerr << "tablet-emulator: " << parsed.error << "\n\n" << usageText();
    return 64;
  }
  try {
    Emulator emulator(std::move(*parsed.options));
    return emulator.run();
  } catch (const std::exception& e) {
    std::cerr << "tablet-emulator: " << e.what() << '\n';
    return 1;
  }
}
