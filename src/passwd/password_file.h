// The Apache AuthUserFile in memory: records of "user:hash" in file order.
// Lines without a colon are no records, yet they keep their places and are
// written back unchanged.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace larkspur::passwd {

// TODO(passwd): representation is the store's own; see password_file.cpp.
struct PasswordRecord {
  std::string_view user;
  std::string_view hash;
};

class PasswordFile {
 public:
  // True when the file could be opened and read (even with no record).
  bool load(const std::string& path);
  // Replaces every line and record by those of `text` (what load does after reading).
  void parse(std::string text);
  // A copy of the first matching record's hash, or empty.
  std::string find_hash(std::string_view user) const;
  // Gives every record of `user` the new hash.
  void set_hash(std::string_view user, std::string_view hash);
  // Rewrites the file through "<path>.tmp" and one atomic replace.
  bool save() const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace larkspur::passwd
