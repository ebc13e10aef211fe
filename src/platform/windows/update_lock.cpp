// SPDX-License-Identifier: Apache-2.0
// Windows: the update lock is a named mutex, the same for every AuthUserFile.
// Its name has no namespace prefix, so it lives in the session's own object
// namespace, where every process the web server starts finds the same object.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace larkspur::platform {
namespace {

constexpr const char* kMutexName = "LarkspurByWren_ZmyPB7A";

}  // namespace

UpdateLock::UpdateLock(std::string auth_user_file) : auth_user_file_(std::move(auth_user_file)) {}

UpdateLock::~UpdateLock() {
  release();
  if (mutex_ != nullptr) ::CloseHandle(mutex_);
}

// No file stands behind a mutex.
std::string UpdateLock::lock_file_path(std::string_view) { return {}; }

UpdateLock::OpenResult UpdateLock::open() {
  if (mutex_ != nullptr) return OpenResult::kOpened;
  mutex_ = ::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kMutexName);
  if (mutex_ == nullptr) mutex_ = ::CreateMutexA(nullptr, FALSE, kMutexName);
  return mutex_ != nullptr ? OpenResult::kOpened : OpenResult::kFailed;
}

bool UpdateLock::wait(std::chrono::milliseconds timeout) {
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

void UpdateLock::release() {
  if (!owned_) return;
  ::ReleaseMutex(mutex_);
  owned_ = false;
}

}  // namespace larkspur::platform
