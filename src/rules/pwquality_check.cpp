// SPDX-License-Identifier: Apache-2.0
// pwquality_check runs cracklib through FascistCheck, which looks up the
// process's own account in the system's user database: for a CGI that is the
// web server's account, the wrong one, and under confinement the lookup
// would open sockets and files a request may not. So the dictionary check is
// turned off in libpwquality and asked of cracklib here, for the web user by
// name; the reason is still libpwquality's words. The GECOS check is turned
// off for the same reason: web users are not system accounts.
#include "rules/pwquality_check.h"

#include <crack.h>
#include <pwquality.h>

#include <memory>

#include "platform/file_checks.h"
#include "platform/wipe.h"

namespace larkspur::rules {
namespace {

using platform::Step;

struct FreeSettings {
  void operator()(pwquality_settings_t* settings) const { pwquality_free_settings(settings); }
};
using Settings = std::unique_ptr<pwquality_settings_t, FreeSettings>;

// A NUL-terminated copy, wiped when done.
class SecretCopy {
 public:
  explicit SecretCopy(std::string_view text) : text_(text) {}
  ~SecretCopy() { platform::secure_wipe(text_); }
  SecretCopy(const SecretCopy&) = delete;
  SecretCopy& operator=(const SecretCopy&) = delete;
  const char* c_str() const { return text_.c_str(); }

 private:
  std::string text_;
};

std::string reason_of(int code, void* auxerror) {
  char buffer[256];
  const char* text = pwquality_strerror(buffer, sizeof buffer, code, auxerror);
  return text != nullptr ? text : "refused by libpwquality";
}

platform::Result<Settings> read_settings(const std::string& config_path) {
  Settings settings(pwquality_default_settings());
  if (!settings) throw std::bad_alloc();
  void* auxerror = nullptr;
  const int code = pwquality_read_config(settings.get(), config_path.c_str(), &auxerror);
  if (code != 0) {
    // The subject carries libpwquality's reason: it names the faulty line.
    return platform::fixed_error(Step::kRead, config_path + " (" + reason_of(code, auxerror) + ")",
                                 "cannot be read as a pwquality configuration");
  }
  return settings;
}

std::string dictionary_of(pwquality_settings_t* settings) {
  const char* path = nullptr;
  if (pwquality_get_str_value(settings, PWQ_SETTING_DICT_PATH, &path) != 0 || path == nullptr ||
      *path == '\0') {
    path = GetDefaultCracklibDict();
  }
  return path != nullptr ? path : "";
}

}  // namespace

platform::Result<std::string> quality_refusal(const std::string& config_path, std::string_view user,
                                              std::string_view old_password,
                                              std::string_view new_password) {
  platform::Result<Settings> read = read_settings(config_path);
  if (!read) return read.error();
  pwquality_settings_t* settings = read.value().get();
  int dictionary_check = 1;
  if (pwquality_get_int_value(settings, PWQ_SETTING_DICT_CHECK, &dictionary_check) != 0) {
    dictionary_check = 1;
  }
  pwquality_set_int_value(settings, PWQ_SETTING_DICT_CHECK, 0);
  pwquality_set_int_value(settings, PWQ_SETTING_GECOS_CHECK, 0);

  const SecretCopy password(new_password);
  const SecretCopy old(old_password);
  const std::string name(user);
  void* auxerror = nullptr;
  const int score =
      pwquality_check(settings, password.c_str(), old.c_str(), name.c_str(), &auxerror);
  if (score < 0) return reason_of(score, auxerror);
  if (dictionary_check != 0) {
    const std::string dictionary = dictionary_of(settings);
    // An empty GECOS: the user's real name is not known here.
    if (const char* why =
            FascistCheckUser(password.c_str(), dictionary.c_str(), name.c_str(), "")) {
      return reason_of(PWQ_ERROR_CRACKLIB_CHECK, const_cast<char*>(why));
    }
  }
  return std::string();
}

platform::Result<std::vector<std::string>> quality_files(const std::string& config_path) {
  platform::Result<Settings> read = read_settings(config_path);
  if (!read) return read.error();
  return std::vector<std::string>{config_path + ".d",
                                  platform::directory_of(dictionary_of(read.value().get()))};
}

}  // namespace larkspur::rules
