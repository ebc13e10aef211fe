// SPDX-License-Identifier: Apache-2.0
// File-system confinement with Landlock, through the raw system calls, at
// the ABI the running kernel offers.
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/confine_linux.h"
#include "platform/file_checks.h"
#include "platform/platform.h"
#include "platform/posix_io.h"

namespace larkspur::platform::linux_confine {
namespace {

// Rights by ABI. The installed header may predate the later ones; their
// values are fixed by the kernel's interface.
constexpr std::uint64_t kAbi1Rights = (1ULL << 13) - 1;  // EXECUTE .. MAKE_SYM
constexpr std::uint64_t kRefer = 1ULL << 13;             // ABI 2
constexpr std::uint64_t kTruncate = 1ULL << 14;          // ABI 3
constexpr std::uint64_t kIoctlDev = 1ULL << 15;          // ABI 5

// The network rules of ABI 4, which the installed header may lack.
constexpr std::uint64_t kBindTcp = 1ULL << 0;
constexpr std::uint64_t kConnectTcp = 1ULL << 1;
constexpr int kRuleNetPort = 2;
struct RulesetWithNetwork {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
};
struct NetPortRule {
  std::uint64_t allowed_access;
  std::uint64_t port;
};

constexpr std::uint64_t kReadFile = LANDLOCK_ACCESS_FS_READ_FILE;
constexpr std::uint64_t kWriteFile = LANDLOCK_ACCESS_FS_WRITE_FILE;
constexpr std::uint64_t kReadDir = LANDLOCK_ACCESS_FS_READ_DIR;
constexpr std::uint64_t kMakeReg = LANDLOCK_ACCESS_FS_MAKE_REG;
constexpr std::uint64_t kRemoveFile = LANDLOCK_ACCESS_FS_REMOVE_FILE;

// The AuthUserFile's directory: read the file, write the temporary file,
// the lock and the failure counts, replace the file by a rename within the
// directory (which needs no REFER), and open the directory to fsync it.
constexpr std::uint64_t kStoreDirectory =
    kReadFile | kWriteFile | kTruncate | kReadDir | kMakeReg | kRemoveFile;
// Nothing else: the log's descriptor is open before the rules take hold
// (which never narrow a descriptor already open), and uploads are in memory,
// so no rule names the log or the temporary directory.
#ifdef LARKSPUR_SANITIZED
// LeakSanitizer reads the memory map at exit.
constexpr std::uint64_t kSanitizerProc = kReadFile | kReadDir;
#endif

std::uint64_t handled_rights(int abi) {
  std::uint64_t rights = kAbi1Rights;
  if (abi >= 2) rights |= kRefer;
  if (abi >= 3) rights |= kTruncate;
  if (abi >= 5) rights |= kIoctlDev;
  return rights;
}

// Grants `rights` beneath `path`: 0, or the error with which the kernel
// refused the rule. A path that cannot be opened is one the request could
// not use either, so it is simply left out.
int allow(int ruleset, const std::string& path, int open_flags, std::uint64_t rights) {
  if (path.empty() || path.find('\0') != std::string::npos) return 0;
  const UniqueFd target(::open(path.c_str(), O_PATH | O_CLOEXEC | open_flags));
  if (!target) return 0;
  landlock_path_beneath_attr rule{};
  rule.allowed_access = rights;
  rule.parent_fd = target.get();
  if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
    return errno;
  }
  return 0;
}

// A file is read; a directory's files are read and it may be listed.
int allow_read(int ruleset, const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return 0;
  return allow(ruleset, path, 0, S_ISDIR(st.st_mode) ? kReadFile | kReadDir : kReadFile);
}

// Lets TCP connect to `port` alone: 0, or the kernel's refusal.
int allow_tcp_port(int ruleset, int port) {
  if (port <= 0 || port > 65535) return 0;
  NetPortRule rule{kConnectTcp, static_cast<std::uint64_t>(port)};
  if (::syscall(SYS_landlock_add_rule, ruleset, kRuleNetPort, &rule, 0) != 0) return errno;
  return 0;
}

}  // namespace

int restrict_file_access(const ConfinePaths& paths, Problems& problems) noexcept {
  const long abi =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) {
    problems.add("Landlock", errno);
    return 0;
  }
  const std::uint64_t handled = handled_rights(static_cast<int>(abi));
  // A database client may connect by TCP to its server's port and nowhere
  // else, and listen nowhere, where the kernel has network rules.
  const bool network = paths.database_client && abi >= 4;
  RulesetWithNetwork attr{handled, network ? kBindTcp | kConnectTcp : 0};
  const std::size_t attr_size = network ? sizeof attr : sizeof(landlock_ruleset_attr);
  const UniqueFd ruleset(
      static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, attr_size, 0)));
  if (!ruleset) {
    problems.add("Landlock ruleset", errno);
    return 0;
  }
  try {
    const int refusals[] = {
        allow(ruleset.get(), paths.auth_user_file.empty() ? "" : directory_of(paths.auth_user_file),
              O_DIRECTORY, kStoreDirectory & handled),
        // Where the AuthUserFile is a link, its target is read as before.
        allow(ruleset.get(), paths.auth_user_file, 0, kReadFile),
#ifdef LARKSPUR_SANITIZED
        allow(ruleset.get(), "/proc/self", O_DIRECTORY, kSanitizerProc),
#endif
        network ? allow_tcp_port(ruleset.get(), paths.tcp_port) : 0,
    };
    for (const std::string& path : paths.read_only) {
      if (const int error = allow_read(ruleset.get(), path)) {
        problems.add("Landlock rule", error);
        return 0;
      }
    }
    for (const int error : refusals) {
      // A rule the kernel refuses would leave the request without a file it
      // needs: better no Landlock than a failed change.
      if (error != 0) {
        problems.add("Landlock rule", error);
        return 0;
      }
    }
  } catch (...) {
    problems.add("Landlock rule", ENOMEM);
    return 0;
  }
  if (::syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
    problems.add("Landlock", errno);
    return 0;
  }
  return static_cast<int>(abi);
}

}  // namespace larkspur::platform::linux_confine
