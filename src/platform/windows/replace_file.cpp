// SPDX-License-Identifier: Apache-2.0
// Windows: one-step replacement with MoveFileExA. The writer has flushed the
// new file (FlushFileBuffers) before it closed it.
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"

namespace larkspur::platform {

const bool kReplaceNeedsTargetClosed = true;

bool replace_file(const std::string& source, const std::string& target) {
  // Another program (Apache checking a login, a virus scanner) may hold the
  // old file open without sharing its deletion for a moment: try again for
  // up to a second before calling the rewrite failed.
  for (int attempt = 0;; ++attempt) {
    // WRITE_THROUGH: return only once the new name is on the disk.
    if (::MoveFileExA(source.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = ::GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || attempt == 50) {
      errno = error == ERROR_ACCESS_DENIED ? EACCES : EIO;
      return false;
    }
    ::Sleep(20);
  }
}

}  // namespace larkspur::platform
