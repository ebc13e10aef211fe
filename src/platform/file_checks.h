// SPDX-License-Identifier: Apache-2.0
// Questions about files that --check and the diagnostics ask, answered
// without changing anything an administrator can see. Each answer is what
// the program's own readers and writers would meet, as the same user.
#pragma once

#include <string>
#include <string_view>

namespace larkspur::platform {

// `name` after the current directory and the system's separator; `name`
// alone when the current directory is unknown.
std::string in_current_directory(std::string_view name);

// The directory `path` is in, as the system splits paths ("." when it
// names none): a change creates its temporary file there.
std::string directory_of(const std::string& path);

enum class FileKind {
  kNone,  // nothing could be learnt; errno says why (ENOENT: nothing there)
  kRegular,
  kDirectory,
  kLink,  // a symbolic link (on Windows, any reparse point)
  kOther,
};

// What `path` names. A link at `path` itself is kLink unless
// `follow_link`, which gives what it leads to.
FileKind file_kind(const std::string& path, bool follow_link) noexcept;

// Why the effective user may not create (and remove) files in `dir`: 0
// when it may, else an errno value.
int directory_write_error(const std::string& dir) noexcept;

// Why the existing file `path` cannot be opened for appending, without
// creating it, following a link at its name or waiting on a FIFO: 0 when it
// can (nothing is written), else an errno value.
int append_open_error(const std::string& path) noexcept;

}  // namespace larkspur::platform
