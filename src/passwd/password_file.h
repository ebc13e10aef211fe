// SPDX-License-Identifier: Apache-2.0
// The Apache AuthUserFile: records of "user:hash" in file order, read where
// they lie and rewritten with only the changed hashes taken from memory.
//
// Line format, as read: lines end at a line feed (the last one need not).
// A line holding a colon is a record: the user name is everything before the
// first colon, the hash everything after it up to the first carriage return.
// Nothing is trimmed, duplicates are kept. Any other line is kept as it is,
// less the carriage returns that end it. As written: every line ends with
// exactly one line feed; records as user ":" hash. Text written so comes back
// unchanged from the next rewrite.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "passwd/text_source.h"
#include "platform/result.h"

namespace larkspur::passwd {

// One record as seen from outside: views valid during the call they are
// passed to.
struct PasswordRecord {
  std::string_view user;
  std::string_view hash;
};

// Every record of one user, found in one pass over the text.
struct UserRecords {
  struct Span {
    std::uint64_t begin;  // of the hash in the text held
    std::uint64_t end;
  };
  enum class Scan { skipped, done, failed };

  Scan scan = Scan::skipped;     // skipped: no record can carry this name
  platform::Error error;         // why, when the scan failed
  std::string hash;              // of the first record, as it stands now
  std::vector<Span> spans;       // in text order; empty for an unknown user
  bool carriage_return = false;  // anywhere in the text
};

class SegmentSink;

class PasswordFile {
 public:
  // Fine when the file could be opened as a regular file (even with no
  // record). It is read only as needed and held open until the next load;
  // `path` is kept even when this fails, the text held before then stays.
  platform::Status load(const std::string& path);
  // Holds `text` instead of a file, with no change made yet.
  void parse(std::string text);

  // Reads the whole text once. Never throws: running out of memory or a read
  // error gives Scan::failed.
  UserRecords look_up(std::string_view user) const;
  // The first record's hash, or empty (also when look_up failed).
  std::string find_hash(std::string_view user) const { return look_up(user).hash; }
  // Gives every record of a look_up of this text the new hash. A hash holding
  // a line feed or carriage return, a failed look_up or no memory to keep it
  // leave the file unsaveable rather than silently unchanged.
  void set_hash(const UserRecords& records, std::string_view hash);
  void set_hash(std::string_view user, std::string_view hash) { set_hash(look_up(user), hash); }

  // Rewrites the file through "<path>.tmp" and one atomic replace, the new
  // file taking the old one's permission bits, and its owner and group where
  // permitted. Fine only when the new text is in place and durable; on a
  // failure the file holds what it held and no temporary file of ours is
  // left. A file changed in place by another program since load is not
  // overwritten (platform::kFileChanged).
  platform::Status save() const;

  const std::string& path() const { return path_; }

  // The file held, as it was when loaded; none when text is held instead.
  const platform::FileInfo* loaded_file() const {
    return source_.is_file() ? &source_.info() : nullptr;
  }

  // The exact bytes save would write; false when memory ran out or reading
  // failed.
  bool text(std::string& out) const;

  // Calls f(const PasswordRecord&) for each record in file order.
  template <typename F>
  void for_each_record(F&& f) const {
    using Fn = std::remove_reference_t<F>;
    visit_records([](void* context, const PasswordRecord& r) { (*static_cast<Fn*>(context))(r); },
                  const_cast<void*>(static_cast<const void*>(std::addressof(f))));
  }

 private:
  // The hash at [begin, end) of the text is replaced by `hash`.
  struct Edit {
    std::uint64_t begin;
    std::uint64_t end;
    std::string hash;
  };
  enum class CarriageReturns { unknown, none, some };

  std::vector<Edit>::const_iterator edit_at_or_after(std::uint64_t begin) const;
  const Edit* edit_at(std::uint64_t begin) const;
  void visit_records(void (*f)(void*, const PasswordRecord&), void* context) const;
  platform::Status has_carriage_return(bool& found) const;
  bool emit(SegmentSink& sink) const;
  platform::Status write_and_replace(const std::string& temp) const;
  void forget_changes();

  std::string path_;
  TextSource source_;
  std::vector<Edit> edits_;  // in text order
  CarriageReturns carriage_returns_ = CarriageReturns::unknown;
  bool unsaveable_ = false;
};

}  // namespace larkspur::passwd
