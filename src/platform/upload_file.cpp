// SPDX-License-Identifier: Apache-2.0
// Linux: a file in memory that never had a name (memfd), so that a confined
// request needs no right over any directory for it; the body's bound keeps
// it small. Where the kernel lacks memfd: a file without a name in the
// temporary directory (O_TMPFILE), or, where the file system refuses that, a
// named one unlinked at once.
#include "platform/upload_file.h"

#include <fcntl.h>
#include <stdlib.h>  // mkostemp
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace larkspur::platform {

UploadFile create_upload_file() {
  UploadFile upload;
#ifdef MFD_CLOEXEC
  upload.fd.reset(::memfd_create("larkspur-upload", MFD_CLOEXEC));
  // Private like any other upload file, for whoever looks in /proc.
  if (upload.fd && ::fchmod(upload.fd.get(), 0600) != 0) upload.fd.reset();
  if (!upload.fd && errno == ENOSYS)
#endif
  {
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
  }
  if (!upload.fd) return upload;
  upload.path = "/proc/self/fd/" + std::to_string(upload.fd.get());
  return upload;
}

}  // namespace larkspur::platform
