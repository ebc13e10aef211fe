// SPDX-License-Identifier: Apache-2.0
// New hashes in the scheme the administrator chose, and verification of old
// passwords against whatever hash the AuthUserFile holds. APR-util makes the
// Apache MD5 and bcrypt hashes, libcrypt the crypt(3) ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace larkspur::passwd {

inline constexpr std::string_view salt_alphabet =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The schemes a new hash can be made in.
enum class Scheme { md5, bcrypt, sha256, sha512, yescrypt };

// What keys `hash` and `hash_cost` of [setup] ask for.
struct HashChoice {
  bool keep = false;            // the scheme of the user's current hash
  Scheme scheme = Scheme::md5;  // the scheme when not `keep`
  int cost = 0;                 // 0: the scheme's default
};

// Reads the two keys as configured (empty: the default). Returns the empty
// text and fills `out`, or returns what is wrong, in one line, for the
// administrator. Unknown names and costs out of range are faults; so is a
// cost where no single scheme gives it a meaning (md5, keep). May throw
// std::bad_alloc.
std::string parse_hash_choice(std::string_view hash, std::string_view cost, HashChoice& out);

// The scheme of a stored hash, when it is one a change can write.
std::optional<Scheme> scheme_of(std::string_view hash);

// The scheme a change writes: the chosen one, or under `keep` that of the
// user's current hash, md5 when it is none of ours.
Scheme scheme_for(const HashChoice& choice, std::string_view current_hash);

// The longest new password accepted: a form value is cut after 80 bytes,
// and bcrypt would silently ignore everything after the 72nd.
inline constexpr std::size_t kLongestPassword = 80;
inline constexpr std::size_t kLongestBcryptPassword = 72;
std::size_t longest_new_password(Scheme scheme);
// For a page that does not know the user yet: under `keep` the most any
// scheme takes.
std::size_t longest_new_password(const HashChoice& choice);

// Writes `count` characters of salt_alphabet taken 6 bits at a time from `value`.
void fill_salt(char* out, int count, std::uint64_t value);

// Writes a fresh hash of `password` in `scheme` (cost 0: the default) into
// `result`, salted from the operating system's random source. 0 on success;
// otherwise non-zero and `result` holds the empty string. The password is
// not copied anywhere that outlives the call. 128 bytes hold every hash.
int encode_password(const char* password, Scheme scheme, int cost, char* result, std::size_t size);
// The Apache MD5 hash (at least 39 bytes of room).
int encode_password(const char* password, char* result, std::size_t size);

// apr_password_validate(password, hash) == 0; never true for an empty hash.
bool password_matches(const char* password, const char* hash);

}  // namespace larkspur::passwd
