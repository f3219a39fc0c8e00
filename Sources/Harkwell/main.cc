// SPDX-License-Identifier: MIT
#include "Entry.h"
#include "Platform/SystemBackend.h"

int main(int argc, char** argv) {
  return harkwell::runMain(argc, argv, platform::makeSystemBackend);
}
