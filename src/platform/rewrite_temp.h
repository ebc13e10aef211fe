// SPDX-License-Identifier: Apache-2.0
// The temporary file of a rewrite, where the new AuthUserFile is written
// before it replaces the old one.
#pragma once

#include <string>

#include "platform/posix_io.h"
#include "platform/result.h"

namespace larkspur::platform {

// Opens `temp` for writing: created private when missing, else a stale one
// left by an earlier rewrite. A link, a FIFO, a directory or a file that has
// another name too is refused and left alone, so that nothing outside gets
// written.
Result<UniqueFd> open_rewrite_temp(const std::string& temp);

// Cuts the file to nothing.
Status empty_file(int fd) noexcept;

// Gives the file the owner, group and permission bits of `like`, when that
// exists (Linux). Windows files take their access from the directory.
Status copy_file_attributes(int fd, const std::string& like) noexcept;

// Deletes `path`; best effort.
void remove_file(const std::string& path) noexcept;

}  // namespace larkspur::platform
