// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-cli: reads and writes object entries through KXRWebServer.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "CliMain.h"
#include "Settings.h"

int main(int argc, char* argv[]) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return KxrCli::Run("kxr-cli", args, KxrSettings::kSocketPath, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "kxr-cli: " << e.what() << "\n";
    return KxrCli::kExitNoAnswer;
  }
}
