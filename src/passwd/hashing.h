// Apache MD5 hashing and verification through APR-util.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace larkspur::passwd {

inline constexpr std::string_view salt_alphabet =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Writes `count` characters of salt_alphabet taken 6 bits at a time from `value`.
void fill_salt(char* out, int count, std::uint64_t value);

// Writes a fresh Apache MD5 hash of `password`, salted with 48 random bits,
// into `result` (39 bytes at least; the caller passes 128). 0 on success;
// otherwise non-zero and `result` holds the empty string. The password is not
// copied anywhere.
int encode_password(const char* password, char* result, std::size_t size);

// apr_password_validate(password, hash) == 0; never true for an empty hash.
bool password_matches(const char* password, const char* hash);

}  // namespace larkspur::passwd
