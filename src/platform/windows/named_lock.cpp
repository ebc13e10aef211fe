// SPDX-License-Identifier: Apache-2.0
// Windows: the update lock is a named mutex. Its name has no namespace
// prefix, so it lives in the session's own object namespace, where every
// process the web server starts finds the same object.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace larkspur::platform {

NamedLock::NamedLock(std::string name) : name_(std::move(name)) {}

NamedLock::~NamedLock() {
  release();
  if (mutex_ != nullptr) ::CloseHandle(mutex_);
}

// No file stands behind a mutex.
std::string NamedLock::lock_file_path(std::string_view) { return {}; }

bool NamedLock::open() {
  if (mutex_ != nullptr) return true;
  mutex_ = ::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name_.c_str());
  if (mutex_ == nullptr) mutex_ = ::CreateMutexA(nullptr, FALSE, name_.c_str());
  return mutex_ != nullptr;
}

bool NamedLock::wait(std::chrono::milliseconds timeout) {
  if (mutex_ == nullptr) return false;
  // INFINITE is 0xFFFFFFFF: stay below it so that a long time-out still ends.
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1);
  switch (::WaitForSingleObject(mutex_, static_cast<DWORD>(ms))) {
    case WAIT_OBJECT_0:
      owned_ = true;
      return true;
    case WAIT_ABANDONED:
      // The last owner died holding it. Ownership passed to us all the same;
      // the wait still counts as failed, so give it back at once rather than
      // leave the next process another abandoned mutex when we exit.
      ::ReleaseMutex(mutex_);
      return false;
    default:  // time-out or failure
      return false;
  }
}

void NamedLock::release() {
  if (!owned_) return;
  ::ReleaseMutex(mutex_);
  owned_ = false;
}

}  // namespace larkspur::platform
