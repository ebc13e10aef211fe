// SPDX-License-Identifier: Apache-2.0
// The AuthUserFile as a store: the update lock "<file>.lock" beside it, the
// file rewritten whole through a private temporary file and one atomic
// replace, and the failed checks in "<file>.failures".
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "passwd/password_file.h"
#include "platform/platform.h"
#include "store/failure_counts.h"
#include "store/user_store.h"

namespace larkspur::store {

class FileStore final : public UserStore {
 public:
  explicit FileStore(std::string auth_user_file);

  std::string describe() const override;
  Status lock(std::chrono::milliseconds timeout) override;
  Result<std::string> look_up(std::string_view user) override;
  Status replace(std::string_view user, std::string_view hash) override;
  void unlock() noexcept override;

  bool throttled(const Attempt& attempt, const ThrottleLimits& limits) override;
  void count_failure(const Attempt& attempt, const ThrottleLimits& limits) override;
  void forget_failures(const Attempt& attempt, const ThrottleLimits& limits) override;

 private:
  Throttle& throttle(const Attempt& attempt, const ThrottleLimits& limits);
  Result<std::string> read_hash(std::string_view user);
  bool still_in_place() const;

  std::string path_;
  platform::UpdateLock lock_;
  passwd::PasswordFile file_;
  passwd::UserRecords records_;
  std::string records_user_;
  std::optional<Throttle> throttle_;
  bool locked_ = false;
};

}  // namespace larkspur::store
