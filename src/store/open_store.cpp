// SPDX-License-Identifier: Apache-2.0
#include "store/open_store.h"

#include <utility>

#include "store/dbd_params.h"
#include "store/dbd_settings.h"
#include "store/dbm_store.h"
#include "store/file_store.h"
#ifdef LARKSPUR_DBD
#include "store/sql_store.h"
#endif

namespace larkspur::store {
namespace {

// A store whose configuration is at fault: it fails every change at its
// lock, saying why. It keeps no counts.
class UnusableStore final : public UserStore {
 public:
  explicit UnusableStore(platform::Error error) : error_(std::move(error)) {}

  std::string describe() const override { return error_.subject; }
  Status lock(std::chrono::milliseconds) override { return error_; }
  Result<std::string> look_up(std::string_view) override { return error_; }
  Status replace(std::string_view, std::string_view) override { return error_; }
  void unlock() noexcept override {}
  bool throttled(const Attempt&, const ThrottleLimits&) override { return false; }
  void count_failure(const Attempt&, const ThrottleLimits&) override {}
  void forget_failures(const Attempt&, const ThrottleLimits&) override {}

 private:
  platform::Error error_;
};

std::unique_ptr<UserStore> unusable(platform::Error error) {
  error.step = platform::Step::kMissing;
  return std::make_unique<UnusableStore>(std::move(error));
}

std::unique_ptr<UserStore> open_database(const config::Settings& settings) {
  const DbdSettings dbd = dbd_settings(settings);
  const std::vector<std::string> problems = dbd_problems(dbd);
  if (!problems.empty()) {
    return unusable(
        platform::message_error(platform::Step::kMissing, "the [dbd] settings", problems.front()));
  }
#ifdef LARKSPUR_DBD
  Result<std::unique_ptr<UserStore>> opened = open_sql_store(dbd);
  if (!opened) return unusable(opened.error());
  return std::move(opened).value();
#else
  return unusable(platform::fixed_error(platform::Step::kMissing, "the [dbd] settings",
                                        "this build has no database stores"));
#endif
}

std::unique_ptr<UserStore> open_dbm(const config::Settings& settings) {
  const DbmSettings dbm = dbm_settings(settings);
  if (const Status prepared = prepare_dbm_store(dbm); !prepared) return unusable(prepared.error());
  Result<std::unique_ptr<UserStore>> opened = open_dbm_store(dbm);
  if (!opened) return unusable(opened.error());
  return std::move(opened).value();
}

}  // namespace

std::unique_ptr<UserStore> open_store(const config::Settings& settings) {
  if (dbd_settings(settings).configured()) return open_database(settings);
  if (!settings.dbm_file.empty()) return open_dbm(settings);
  if (!settings.auth_user_file.empty()) {
    return std::make_unique<FileStore>(settings.auth_user_file);
  }
  return nullptr;
}

std::string store_path(const config::Settings& settings) {
  const DbdSettings dbd = dbd_settings(settings);
  if (dbd.configured()) return dbd.driver == "sqlite3" ? dbd.params : std::string();
  if (!settings.dbm_file.empty()) return settings.dbm_file;
  return settings.auth_user_file;
}

StoreReach store_reach(const config::Settings& settings) {
  StoreReach reach;
#ifdef LARKSPUR_DBD
  // Without database stores in this build there is nothing to let through.
  const DbdSettings dbd = dbd_settings(settings);
  if (!dbd.configured() || !dbd_problems(dbd).empty()) return reach;
  reach.database_client = true;
  const ServerEndpoint endpoint = server_endpoint(dbd.driver, dbd.params);
  reach.tcp_port = endpoint.tcp_port;
  if (endpoint.host_name) {
    reach.read_only = {"/etc/hosts", "/etc/resolv.conf", "/etc/nsswitch.conf", "/etc/host.conf",
                       "/etc/gai.conf"};
  }
#else
  (void)settings;
#endif
  return reach;
}

std::string stores_offered() {
  std::string offered = "file, dbm (" + dbm_types_offered() + ")";
#ifdef LARKSPUR_DBD
  const std::string drivers = loadable_drivers();
  offered += ", dbd (" + (drivers.empty() ? std::string("no driver installed") : drivers) + ")";
#endif
  return offered;
}

}  // namespace larkspur::store
