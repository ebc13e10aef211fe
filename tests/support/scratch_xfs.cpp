// SPDX-License-Identifier: Apache-2.0
#include "support/scratch_xfs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace larkspur::test {

namespace {

std::string system_tool(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    const std::string path = dir + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// Runs a system tool; empty on success, else what went wrong.
std::string run_tool(const std::string& name, std::vector<std::string> args) {
  const std::string program = system_tool(name);
  if (program.empty()) return name + " is not installed";
  Command command;
  command.program = program;
  command.argv = std::move(args);
  command.argv.insert(command.argv.begin(), program);
  command.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  ProcessResult result = run_process(command);
  if (result.exit_status == 0) return "";
  return name + " failed: " + result.err;
}

}  // namespace

ScratchXfs::ScratchXfs() {
  if (::geteuid() != 0) {
    reason_ = "mounting an XFS image through a loop device needs root";
    return;
  }
  const std::string image = image_dir_.file("xfs.img");
  mount_point_ = image_dir_.file("mnt");
  // mkfs.xfs refuses file systems below 300 MiB; the image is sparse.
  write_file(image, "");
  if (::truncate(image.c_str(), 320L << 20) != 0 || ::mkdir(mount_point_.c_str(), 0700) != 0) {
    reason_ = "cannot make the image file";
    return;
  }
  reason_ = run_tool("mkfs.xfs", {"-q", "-m", "reflink=1", image});
  if (reason_.empty()) reason_ = run_tool("mount", {"-o", "loop", image, mount_point_});
  mounted_ = reason_.empty();
}

ScratchXfs::~ScratchXfs() {
  if (!mounted_) return;
  // A process of the test still using it must not keep the loop device:
  // detach lazily when a plain unmount is refused.
  if (!run_tool("umount", {mount_point_}).empty()) run_tool("umount", {"-l", mount_point_});
}

}  // namespace larkspur::test
