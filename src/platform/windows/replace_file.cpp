// SPDX-License-Identifier: Apache-2.0
// Windows: one-step replacement with MoveFileEx, after the new file's data
// has reached the disk.
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace larkspur::platform {
namespace {

// The replacement must not reach the disk before the data it points to:
// flush the new file through a handle of its own, as its writer has closed
// it by now.
bool flush_file(const std::string& path) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = ::FlushFileBuffers(file) != 0;
  ::CloseHandle(file);
  return flushed;
}

}  // namespace

bool replace_file(const std::string& source, const std::string& target) {
  if (!flush_file(source)) return false;
  // WRITE_THROUGH: return only once the new name is on the disk.
  return ::MoveFileExA(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace larkspur::platform
