// SPDX-License-Identifier: Apache-2.0
// New hashes and verification. APR-util makes Apache MD5 and bcrypt hashes
// from a salt of ours; the crypt(3) schemes go to libcrypt (crypt_hash.cpp).
// Neither apr_md5_encode, apr_bcrypt_encode nor apr_password_validate (which
// uses crypt_r for the system's own hash forms) touches pools or global
// state, so APR needs no initialisation here.

#include "passwd/hashing.h"

#include <apr_general.h>
#include <apr_md5.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

#include "passwd/crypt_hash.h"
#include "platform/ascii.h"
#include "platform/random.h"
#include "platform/wipe.h"

namespace larkspur::passwd {

namespace {

constexpr std::size_t kSaltLength = 8;
constexpr std::string_view kMd5Prefix = "$apr1$";
// "$apr1$", the salt, "$" and 22 characters of digest.
constexpr std::size_t kHashLength = kMd5Prefix.size() + kSaltLength + 1 + 22;
// "$2y$", two digits of cost, "$", 22 characters of salt and 31 of digest.
constexpr std::size_t kBcryptLength = 60;
constexpr std::size_t kBcryptSaltBytes = 16;

struct SchemeInfo {
  Scheme scheme;
  std::string_view name;    // the value of key `hash`
  std::string_view prefix;  // how its hashes begin
  long min_cost;            // all 0: hash_cost means nothing to it
  long max_cost;
  long default_cost;
  std::string_view cost_name;
  bool libcrypt;  // made by libcrypt, absent from builds without it
};

// The highest costs keep one hash within about a second of CPU time
// (bcrypt 14, a million sha rounds) and 16 MiB of memory (yescrypt's needs
// double with each step: 16 MiB at 5, 1 GiB at 11). Apache computes the
// same hash again for every request of a logged-in user, so a dearer one
// serves no one, and each failed guess would cost the server as much.
constexpr std::array<SchemeInfo, 5> kSchemes = {{
    {Scheme::md5, "md5", "$apr1$", 0, 0, 0, "", false},
    {Scheme::bcrypt, "bcrypt", "$2y$", 4, 14, 5, "cost", false},
    {Scheme::sha256, "sha256", "$5$", 1000, 1000000, 5000, "rounds", true},
    {Scheme::sha512, "sha512", "$6$", 1000, 1000000, 5000, "rounds", true},
    {Scheme::yescrypt, "yescrypt", "$y$", 1, 5, 5, "cost", true},
}};

const SchemeInfo& info(Scheme scheme) {
  for (const SchemeInfo& s : kSchemes) {
    if (s.scheme == scheme) return s;
  }
  return kSchemes[0];
}

// Digits only; anything else, or more than fits, gives -1.
long parse_cost(std::string_view text) {
  if (text.size() > 12) return -1;
  const platform::ParsedInteger parsed =
      platform::parse_integer(text, platform::IntegerForm::kDigits);
  if (!parsed.whole(text)) return -1;
  // Windows' long has 32 bits: a huge cost stays huge rather than wrapping.
  return static_cast<long>(std::min<std::int64_t>(parsed.value, LONG_MAX));
}

// Fills `out` from the operating system's generator, else from APR's.
bool random_bytes(unsigned char* out, std::size_t size) {
  return platform::random_bytes(out, size) || apr_generate_random_bytes(out, size) == APR_SUCCESS;
}

int encode_bcrypt(const char* password, int cost, char* result, std::size_t size) {
  unsigned char salt[kBcryptSaltBytes];
  if (!random_bytes(salt, sizeof salt)) return -1;
  const apr_status_t status =
      apr_bcrypt_encode(password, static_cast<unsigned>(cost), salt, sizeof salt, result, size);
  platform::secure_wipe(salt, sizeof salt);
  if (status != APR_SUCCESS || std::strlen(result) != kBcryptLength ||
      std::strncmp(result, "$2y$", 4) != 0) {
    result[0] = '\0';
    return -1;
  }
  return 0;
}

}  // namespace

std::string parse_hash_choice(std::string_view hash, std::string_view cost, HashChoice& out) {
  HashChoice choice;
  if (platform::ascii_iequals(hash, "keep")) {
    choice.keep = true;
  } else if (!hash.empty()) {
    const SchemeInfo* found = nullptr;
    for (const SchemeInfo& s : kSchemes) {
      if (platform::ascii_iequals(hash, s.name)) found = &s;
    }
    if (found == nullptr) {
      return "hash = " + std::string(hash) +
             " is unknown: use md5, bcrypt, sha256, sha512, yescrypt or keep";
    }
    if (found->libcrypt && !crypt_schemes_available()) {
      return "hash = " + std::string(hash) + " is not available here: use md5 or bcrypt";
    }
    choice.scheme = found->scheme;
  }
  if (!cost.empty()) {
    const SchemeInfo& s = info(choice.scheme);
    if (choice.keep || s.max_cost == 0) {
      return "hash_cost = " + std::string(cost) +
             " has no meaning with hash = " + (choice.keep ? "keep" : std::string(s.name)) +
             "; leave it empty";
    }
    const long value = parse_cost(cost);
    if (value < s.min_cost || value > s.max_cost) {
      return "hash_cost = " + std::string(cost) + " is out of range: " + std::string(s.name) +
             " takes a " + std::string(s.cost_name) + " from " + std::to_string(s.min_cost) +
             " to " + std::to_string(s.max_cost);
    }
    choice.cost = static_cast<int>(value);
  }
  out = choice;
  return {};
}

std::optional<Scheme> scheme_of(std::string_view hash) {
  for (const SchemeInfo& s : kSchemes) {
    if (hash.starts_with(s.prefix)) return s.scheme;
  }
  // Other tools write bcrypt as $2a$ or $2b$; APR-util verifies all three.
  if (hash.starts_with("$2a$") || hash.starts_with("$2b$")) return Scheme::bcrypt;
  return std::nullopt;
}

Scheme scheme_for(const HashChoice& choice, std::string_view current_hash) {
  if (!choice.keep) return choice.scheme;
  const std::optional<Scheme> current = scheme_of(current_hash);
  // A crypt(3) hash this build cannot make again gets the default.
  if (!current || (info(*current).libcrypt && !crypt_schemes_available())) {
    return Scheme::md5;
  }
  return *current;
}

std::size_t longest_new_password(Scheme scheme) {
  return scheme == Scheme::bcrypt ? kLongestBcryptPassword : kLongestPassword;
}

std::size_t longest_new_password(const HashChoice& choice) {
  return choice.keep ? kLongestPassword : longest_new_password(choice.scheme);
}

void fill_salt(char* out, int count, std::uint64_t value) {
  for (int i = 0; i < count; ++i) {
    out[i] = salt_alphabet[value & 63];
    value >>= 6;
  }
}

int encode_password(const char* password, char* result, std::size_t size) {
  if (result == nullptr || size == 0) return -1;
  result[0] = '\0';
  if (password == nullptr) return -1;

  // 48 random bits feed all 8 salt characters, so two changes, even in the
  // same second, get different salts.
  unsigned char bytes[6];
  if (!random_bytes(bytes, sizeof bytes)) return -1;
  std::uint64_t value = 0;
  for (unsigned char byte : bytes) value = value << 8 | byte;
  char salt[kSaltLength + 1];
  fill_salt(salt, static_cast<int>(kSaltLength), value);
  salt[kSaltLength] = '\0';

  // The library cuts the hash short to fit a small buffer rather than
  // failing: anything but a whole hash must not reach the file.
  if (apr_md5_encode(password, salt, result, size) != APR_SUCCESS ||
      std::strlen(result) != kHashLength) {
    result[0] = '\0';
    return -1;
  }
  return 0;
}

int encode_password(const char* password, Scheme scheme, int cost, char* result, std::size_t size) {
  if (result == nullptr || size == 0) return -1;
  result[0] = '\0';
  if (password == nullptr) return -1;
  const SchemeInfo& s = info(scheme);
  if (cost == 0) cost = static_cast<int>(s.default_cost);
  if (s.max_cost != 0 && (cost < s.min_cost || cost > s.max_cost)) return -1;
  switch (scheme) {
    case Scheme::md5:
      return encode_password(password, result, size);
    case Scheme::bcrypt:
      return encode_bcrypt(password, cost, result, size);
    case Scheme::sha256:
    case Scheme::sha512:
    case Scheme::yescrypt:
      return crypt_encode(password, s.prefix.data(), static_cast<unsigned long>(cost), result,
                          size);
  }
  return -1;
}

bool password_matches(const char* password, const char* hash) {
  // An empty hash belongs to no one: crypt() must not get the chance to
  // compare it with something.
  if (password == nullptr || hash == nullptr || hash[0] == '\0') return false;
  return apr_password_validate(password, hash) == APR_SUCCESS;
}

}  // namespace larkspur::passwd
