// SPDX-License-Identifier: Apache-2.0
// Takes the update lock the way larkspur.exe does, for the tests that need a
// process to hold it:
//   lock_holder FILE hold MS    holds it for MS milliseconds, then releases
//   lock_holder FILE abandon MS exits while holding it after MS milliseconds
// FILE is the AuthUserFile the lock belongs to; on Windows every one shares
// the same named mutex.
// Prints "held" once it owns the lock.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  larkspur::platform::UpdateLock lock{std::string(argv[1])};
  if (!lock.open() || !lock.wait(std::chrono::milliseconds(5000))) {
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  ::Sleep(argc > 3 ? static_cast<DWORD>(std::atoi(argv[3])) : 1000);
  // No destructor, no release. Only a process with a handle open sees the
  // mutex abandoned: with none, the object goes with the last handle.
  if (std::string(argv[2]) == "abandon") ::ExitProcess(0);
  lock.release();
  return 0;
}
