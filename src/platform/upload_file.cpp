// SPDX-License-Identifier: Apache-2.0
// Linux: a file without a name (O_TMPFILE), or, where the file system
// refuses that, a named one unlinked at once.
#include "platform/upload_file.h"

#include <fcntl.h>
#include <stdlib.h>  // mkostemp
#include <unistd.h>

#include <cerrno>
#include <string>

namespace larkspur::platform {

UploadFile create_upload_file() {
  UploadFile upload;
  upload.fd.reset(::open(temp_dir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!upload.fd) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return upload;
    std::string path = temp_path("larkspur-upload-XXXXXX");
    upload.fd.reset(::mkostemp(path.data(), O_CLOEXEC));
    if (!upload.fd) return upload;
    if (::unlink(path.c_str()) != 0) {
      upload.fd.reset();
      return upload;
    }
  }
  upload.path = "/proc/self/fd/" + std::to_string(upload.fd.get());
  return upload;
}

}  // namespace larkspur::platform
