// SPDX-License-Identifier: MIT
// The softtoken command: plugs, unplugs, inspects and configures the software token's state file.
#include <iostream>
#include <string>
#include <vector>

#include "softtoken/cli_commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  return softtoken::runSofttoken(words, std::cin, std::cout, std::cerr);
}
