// The Apache AuthUserFile in memory: records of "user:hash" in file order.
// Lines without a colon are no records, yet they keep their places and are
// written back unchanged.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "passwd/file_buffer.h"

namespace larkspur::passwd {

// One record as seen from outside: views into the PasswordFile, valid until
// the next non-const call on it.
struct PasswordRecord {
  std::string_view user;
  std::string_view hash;
};

class SegmentSink;

// Line format, as read: lines end at a line feed (the last one need not).
// A line holding a colon is a record: the user name is everything before the
// first colon, the hash everything after it up to the first carriage return.
// Nothing is trimmed, duplicates are kept. Any other line is kept as it is,
// less the carriage returns that end it. As written: every line ends with
// exactly one line feed; records as user ":" hash. Text written so comes back
// unchanged from the next rewrite.
//
// The text is held as read and never indexed: lookups search it for the
// user's line start, and only the replaced hashes are kept on the side.
class PasswordFile {
 public:
  PasswordFile() = default;
  PasswordFile(PasswordFile&&) noexcept = default;
  PasswordFile& operator=(PasswordFile&&) noexcept = default;

  // True when the file could be opened and read (even with no record).
  // `path` is kept even when this fails; the lines held before then stay.
  bool load(const std::string& path);
  // Replaces every line and record by those of `text` (what load does after
  // reading).
  void parse(std::string text);
  // A copy of the first matching record's hash, or empty.
  std::string find_hash(std::string_view user) const;
  // Gives every record of `user` the new hash. A hash holding a line feed or
  // carriage return, or no memory to keep it, leaves the file unsaveable
  // rather than silently unchanged.
  void set_hash(std::string_view user, std::string_view hash);
  // Rewrites the file through "<path>.tmp" and one atomic replace, the new
  // file taking the old one's permission bits, and its owner and group where
  // permitted. True only when the new text is in place and durable; on false
  // the file holds what it held and no temporary file of ours is left.
  bool save() const;

  const std::string& path() const { return path_; }

  // The exact bytes save would write; false when memory ran out.
  bool text(std::string& out) const;

  // Calls f(const PasswordRecord&) for each record in file order.
  template <typename F>
  void for_each_record(F&& f) const {
    using Fn = std::remove_reference_t<F>;
    visit_records([](void* context, const PasswordRecord& r) { (*static_cast<Fn*>(context))(r); },
                  const_cast<void*>(static_cast<const void*>(std::addressof(f))));
  }

 private:
  // The stored hash at [begin, end) of the text reads replacements_[hash].
  struct Edit {
    std::size_t begin;
    std::size_t end;
    std::size_t hash;
  };

  std::string_view content() const;
  // Where the hash of the first record of `user` at or after `from` begins;
  // npos when there is none.
  std::size_t find_record(std::string_view user, std::string_view needle, std::size_t from) const;
  const Edit* edit_at(std::size_t begin) const;
  void visit_records(void (*f)(void*, const PasswordRecord&), void* context) const;
  void emit(SegmentSink& sink) const;

  std::string path_;
  FileBuffer loaded_;        // the text, when load read it
  std::string given_;        // the text, when parse was given it
  std::vector<Edit> edits_;  // in text order
  std::vector<std::string> replacements_;
  bool unsaveable_ = false;
  // Where find_hash found the first record of a user, for the set_hash that
  // follows it. This makes even const calls unsafe to share between threads.
  mutable bool looked_up_ = false;
  mutable std::string looked_up_user_;
  mutable std::size_t looked_up_begin_ = 0;
};

}  // namespace larkspur::passwd
