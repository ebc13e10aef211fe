// Apache MD5 hashing and verification. APR-util does the hashing; all we add
// is a salt. Neither apr_md5_encode nor apr_password_validate (which uses
// crypt_r for the system's own hash forms) touches pools or global state, so
// APR needs no initialisation here.

#include "passwd/hashing.h"

#include <apr_general.h>
#include <apr_md5.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace larkspur::passwd {

namespace {

constexpr std::size_t kSaltLength = 8;
constexpr std::string_view kMd5Prefix = "$apr1$";
// "$apr1$", the salt, "$" and 22 characters of digest.
constexpr std::size_t kHashLength = kMd5Prefix.size() + kSaltLength + 1 + 22;

// Fills `out` from the kernel's generator, else from APR's.
bool random_bytes(unsigned char* out, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    ssize_t got = ::getrandom(out + filled, size - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return filled == size || apr_generate_random_bytes(out, size) == APR_SUCCESS;
}

}  // namespace

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

bool password_matches(const char* password, const char* hash) {
  // An empty hash belongs to no one: crypt() must not get the chance to
  // compare it with something.
  if (password == nullptr || hash == nullptr || hash[0] == '\0') return false;
  return apr_password_validate(password, hash) == APR_SUCCESS;
}

}  // namespace larkspur::passwd
