// SPDX-License-Identifier: Apache-2.0
// A small XFS with shared extents (reflink), made in an image file and
// mounted through a loop device, for tests that must also hold where the
// kernel shares blocks between files instead of copying them. Needs root and
// Debian's xfsprogs; otherwise reason() says why there is none.
#pragma once

#include <string>

#include "support/process.h"

namespace larkspur::test {

class ScratchXfs {
 public:
  ScratchXfs();
  // Unmounts (the loop device goes with it) and removes the image.
  ~ScratchXfs();
  ScratchXfs(const ScratchXfs&) = delete;
  ScratchXfs& operator=(const ScratchXfs&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  // A directory on the mounted file system.
  std::string dir() const { return mount_point_; }

 private:
  TempDir image_dir_;
  std::string mount_point_;
  std::string reason_;
  bool mounted_ = false;
};

}  // namespace larkspur::test
