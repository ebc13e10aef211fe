// SPDX-License-Identifier: Apache-2.0
// Questions about files that --check and the diagnostics ask, answered
// without changing anything an administrator can see. Each answer is what
// the program's own readers and writers would meet, as the same user.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"

namespace larkspur::platform {

// `name` after the current directory and the system's separator; `name`
// alone when the current directory is unknown.
std::string in_current_directory(std::string_view name);

// The directory `path` is in, as the system splits paths ("." when it
// names none): a change creates its temporary file there.
std::string directory_of(const std::string& path);

enum class FileKind {
  kRegular,
  kDirectory,
  kLink,  // a symbolic link (on Windows, any reparse point)
  kOther,
};

// What `path` names. A link at `path` itself is kLink unless
// `follow_link`, which gives what it leads to. Step::kMissing when nothing
// is there.
Result<FileKind> file_kind(const std::string& path, bool follow_link);

// Whether the effective user may create (and remove) files in `dir`.
Status check_directory_writable(const std::string& dir);

// Whether the existing file `path` can be opened for appending, without
// creating it, following a link at its name or waiting on a FIFO. Nothing
// is written.
Status check_appendable(const std::string& path);

}  // namespace larkspur::platform
