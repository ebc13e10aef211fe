// SPDX-License-Identifier: Apache-2.0
// The temporary file of an upload: private, unique, and gone with its last
// descriptor, or with the process however it ends, so that no upload
// outlives its request.
#pragma once

#include <string>

#include "platform/posix_io.h"
#include "platform/result.h"

namespace larkspur::platform {

struct UploadFile {
  UniqueFd fd;       // read and write
  std::string path;  // a name by which this process can open the file
};

// Creates one: on Linux in memory, elsewhere (or on a kernel without memfd)
// in temp_dir().
Result<UploadFile> create_upload_file();

}  // namespace larkspur::platform
