// SPDX-License-Identifier: Apache-2.0
// The system calls a request makes once it is confined, and nothing else.
// libseccomp compiles this list when the program is built
// (syscall_filter_compiler.cpp); any other call ends the process at once.
#pragma once

#include <fcntl.h>
#include <seccomp.h>

namespace larkspur::platform::linux_confine {

// Each call with the reason the program makes it after confinement.
inline constexpr int kAllowedSyscalls[] = {
    SCMP_SYS(read),             // the request body; the failure counts
    SCMP_SYS(poll),             // waiting for the request body, at most the idle time
    SCMP_SYS(pread64),          // the AuthUserFile, in windows; the breached-password list
    SCMP_SYS(fadvise64),        // the breached-password list is searched without read-ahead
    SCMP_SYS(getdents64),       // libpwquality lists its configuration's .d directory
    SCMP_SYS(copy_file_range),  // its unchanged ranges, file to file
    SCMP_SYS(write),            // the page; uploads; the log line; the new AuthUserFile's
                                // changed pieces; the failure counts
    SCMP_SYS(pwrite64),         // Berkeley DB writes the changed pages of a DBM file's copy
    SCMP_SYS(writev),           // diagnostic lines, each in one call
    SCMP_SYS(openat),           // the AuthUserFile, its temporary file, the lock, the counts
    SCMP_SYS(memfd_create),     // uploads, in memory
    SCMP_SYS(close),            // each of those when done
    SCMP_SYS(newfstatat),       // fstat: regular files only; the AuthUserFile's mode and owner
    SCMP_SYS(ftruncate),        // a stale temporary file is emptied; the failure counts
    SCMP_SYS(lseek),            // the failure counts are rewritten from the start
    SCMP_SYS(fchmod),           // the new AuthUserFile keeps the old one's mode
    SCMP_SYS(fchown),           // ... and its owner and group
    SCMP_SYS(sync_file_range),  // the new AuthUserFile's writing to disk, started piece by piece
    SCMP_SYS(fsync),            // the new AuthUserFile, then its directory, reach the disk
    SCMP_SYS(fdatasync),        // Berkeley DB syncs a DBM file's copy when it is closed
    SCMP_SYS(msync),            // GDBM writes its mapped pages of a DBM file's copy
    SCMP_SYS(rename),           // the new AuthUserFile replaces the old one
    SCMP_SYS(unlink),           // a temporary file that did not become the AuthUserFile
    SCMP_SYS(flock),            // the update lock
    SCMP_SYS(clock_nanosleep),  // pauses while waiting for the lock
    SCMP_SYS(clock_gettime),    // the lock's deadline and the log's time where there is no vDSO
    SCMP_SYS(getrandom),        // salts
    SCMP_SYS(getcwd),           // the INI file's full name in a diagnostic line
    SCMP_SYS(getpid),           // Berkeley DB names its lockers after the process
    SCMP_SYS(brk),              // the heap
    SCMP_SYS(munmap),           // large blocks given back
    SCMP_SYS(futex),            // the C++ runtime's guards of one-time initialisation
    SCMP_SYS(exit_group),       // the end
    // Berkeley DB counts the CPUs it may use (the files under /sys and /proc
    // that would tell are out of reach).
    SCMP_SYS(sched_getaffinity),
};

// fcntl only to read or set close-on-exec, as APR-util and the DBM
// libraries do on the files they open: never to duplicate descriptors, change
// a file's flags or send signals.
inline constexpr int kAllowedFcntlCommands[] = {F_GETFD, F_SETFD};

// Allowed only without PROT_EXEC in their third argument: memory, but never
// memory that runs, so that injected code cannot be made executable.
inline constexpr int kAllowedUnlessExecutable[] = {
    SCMP_SYS(mmap),      // large blocks; GDBM maps a DBM file's copy
    SCMP_SYS(mprotect),  // the allocator's own use
};

// A database store's filter adds what its client library needs, found by
// tracing libpq, MariaDB's client and SQLite through a change; the file
// store's filter keeps none of it.
inline constexpr int kDatabaseClientSyscalls[] = {
    SCMP_SYS(connect),       // the server's Unix socket or TCP port; the resolver's server
    SCMP_SYS(sendto),        // requests to the server
    SCMP_SYS(recvfrom),      // its answers
    SCMP_SYS(sendmmsg),      // the resolver's queries for a server's host name
    SCMP_SYS(getsockopt),    // the outcome of a connection made without blocking
    SCMP_SYS(setsockopt),    // keep-alive, time-outs, TCP_NODELAY
    SCMP_SYS(getsockname),   // the client's own end, which libpq records
    SCMP_SYS(fcntl),         // non-blocking sockets; SQLite's file locks
    SCMP_SYS(pwrite64),      // SQLite's pages and journal
    SCMP_SYS(fdatasync),     // ... made durable
    SCMP_SYS(pselect6),      // APR-util's SQLite driver pausing before it tries a busy file again
    SCMP_SYS(geteuid),       // libpq's and SQLite's owner checks
    SCMP_SYS(getpid),        // SQLite notices a fork
    SCMP_SYS(rt_sigaction),  // the MariaDB client ignores SIGPIPE
    SCMP_SYS(sysinfo),       // the C library's sort asks for the memory size
};

// socket() only for these families: a Unix socket, TCP or UDP (the
// resolver's) over IPv4 or IPv6.
inline constexpr int kDatabaseSocketFamilies[] = {1 /* AF_UNIX */, 2 /* AF_INET */,
                                                  10 /* AF_INET6 */};

}  // namespace larkspur::platform::linux_confine
