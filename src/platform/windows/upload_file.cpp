// SPDX-License-Identifier: Apache-2.0
// Windows: an upload's file is created in the temporary folder with
// FILE_FLAG_DELETE_ON_CLOSE, so Windows deletes it when its last handle
// closes, which is at the latest when the process ends, however it ends.
#include "platform/upload_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

namespace larkspur::platform {

UploadFile create_upload_file() {
  UploadFile upload;
  char name[64];
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    // CREATE_NEW never opens what is already there, so the name need only
    // be unlikely to be taken, not secret.
    std::snprintf(name, sizeof name, "larkspur-upload-%lu-%llu-%u", ::GetCurrentProcessId(),
                  static_cast<unsigned long long>(::GetTickCount64()), attempt);
    std::string path = temp_path(name);
    const HANDLE file =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      return upload;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (fd < 0) {
      ::CloseHandle(file);
      return upload;
    }
    upload.fd.reset(fd);
    upload.path = std::move(path);
    return upload;
  }
  return upload;
}

}  // namespace larkspur::platform
