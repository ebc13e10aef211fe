// The Apache AuthUserFile in memory: records of "user:hash" in file order.
// Lines without a colon are no records, yet they keep their places and are
// written back unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// exactly one line feed; records as user ":" hash.
class PasswordFile {
 public:
  // True when the file could be opened and read (even with no record).
  // `path` is kept even when this fails; the lines held before then stay.
  bool load(const std::string& path);
  // Replaces every line and record by those of `text` (what load does after
  // reading). False when memory ran out or a line is 4 GiB long: the file
  // then holds nothing and refuses to be saved.
  bool parse(std::string text);
  // A copy of the first matching record's hash, or empty.
  std::string find_hash(std::string_view user) const;
  // Gives every record of `user` the new hash. A hash holding a line feed or
  // carriage return, or no memory to keep it, leaves the file unsaveable
  // rather than silently unchanged.
  void set_hash(std::string_view user, std::string_view hash);
  // Rewrites the file through "<path>.tmp" and one atomic replace. True only
  // when the new text is in place; on false the file holds what it held.
  bool save() const;

  const std::string& path() const { return path_; }

  // The exact bytes save would write; false when memory ran out.
  bool text(std::string& out) const;

  // Calls f(PasswordRecord) for each record in file order.
  template <typename F>
  void for_each_record(F&& f) const {
    for (const Line& line : lines_) {
      if (line.colon != kNoColon) f(record_of(line));
    }
  }

 private:
  static constexpr std::uint32_t kNoColon = UINT32_MAX;

  // Offsets into text_, so that moving a PasswordFile keeps them right.
  // 24 bytes a line: a million-user file costs about half its size again.
  struct Line {
    std::size_t begin;       // first byte
    std::uint32_t length;    // bytes kept for a non-record, up to its line end
    std::uint32_t colon;     // from begin; kNoColon for a non-record
    std::uint32_t hash_end;  // from begin; where the stored hash is cut
    std::uint32_t hash;      // 0: the stored hash; n: replacements_[n - 1]
  };

  bool index_lines();
  PasswordRecord record_of(const Line& line) const;
  void emit(SegmentSink& sink) const;

  std::string path_;
  std::string text_;
  std::vector<Line> lines_;
  std::vector<std::string> replacements_;
  bool unsaveable_ = false;
};

}  // namespace larkspur::passwd
