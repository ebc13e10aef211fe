// SPDX-License-Identifier: Apache-2.0
// The change of one record of a DBM file through a private copy; see
// dbm_store.h for what each type guarantees.
#include "store/dbm_store.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <utility>

#include "platform/file_checks.h"
#include "platform/file_range.h"
#include "platform/platform.h"
#include "platform/posix_io.h"
#include "platform/rewrite_temp.h"
#include "store/failure_counts.h"

namespace larkspur::store {
namespace {

using platform::Error;
using platform::Step;

// One file of the DBM file (SDBM has two) and its private copy.
struct Piece {
  std::string name;
  std::string temp;
  platform::UniqueFd in;
  platform::UniqueFd out;
  platform::FileInfo before;
};

// Removes the copies unless they were put in place.
class TempFiles {
 public:
  explicit TempFiles(const std::vector<Piece>& pieces) : pieces_(pieces) {}
  ~TempFiles() {
    if (keep_) return;
    for (const Piece& piece : pieces_) platform::remove_file(piece.temp);
  }
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;
  void keep() { keep_ = true; }

 private:
  const std::vector<Piece>& pieces_;
  bool keep_ = false;
};

// A platform error told about the file it concerns.
Error with_subject(Error error, const std::string& subject) {
  error.subject = subject;
  return error;
}

// Whether two open files hold the same bytes; both are small (the .dir of
// SDBM has one bit per page of the .pag).
Result<bool> same_bytes(int a, int b, const std::string& subject) {
  const Result<platform::FileInfo> fa = platform::file_info(a);
  if (!fa) return with_subject(fa.error(), subject);
  const Result<platform::FileInfo> fb = platform::file_info(b);
  if (!fb) return with_subject(fb.error(), subject);
  const platform::FileInfo& ia = fa.value();
  if (ia.size != fb.value().size) return false;
  std::array<char, 16384> x{}, y{};
  for (std::uint64_t at = 0; at < ia.size;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(x.size(), ia.size - at));
    if (Status got = platform::read_at(a, at, x.data(), n); !got) {
      return with_subject(got.error(), subject);
    }
    if (Status got = platform::read_at(b, at, y.data(), n); !got) {
      return with_subject(got.error(), subject);
    }
    if (std::string_view(x.data(), n) != std::string_view(y.data(), n)) return false;
    at += n;
  }
  return true;
}

class DbmStore final : public UserStore {
 public:
  DbmStore(DbmType type, std::string file) : type_(type), file_(std::move(file)), lock_(file_) {}

  std::string describe() const override {
    return "the AuthDBMUserFile " + file_ + " (" + std::string(dbm_type_name(type_)) + ")";
  }

  Status lock(std::chrono::milliseconds timeout) override {
    auto names = dbm_file_names(type_, file_);
    if (!names) return names.error();
    for (const std::string& name : names.value()) {
      const Result<platform::FileKind> kind = platform::file_kind(name, true);
      if (!kind || kind.value() != platform::FileKind::kRegular) {
        return platform::fixed_error(Step::kMissing, name, "no such regular file");
      }
    }
    if (Status opened = lock_.open(); !opened) {
      if (opened.error().step == Step::kMissing) {
        return platform::fixed_error(Step::kMissing, platform::directory_of(file_),
                                     "no such directory");
      }
      return opened;
    }
    if (Status waited = lock_.wait(timeout); !waited) {
      return platform::fixed_error(Step::kWait, platform::UpdateLock::lock_file_path(file_),
                                   "held by another change");
    }
    locked_ = true;
    return {};
  }

  Result<std::string> look_up(std::string_view user) override {
    auto file = DbmFile::open(type_, file_, DbmFile::Access::kRead);
    if (!file) return file.error();
    auto value = file.value()->fetch(user);
    if (!value) return value.error();
    if (!value.value()) return std::string();
    const std::string& found = *value.value();
    return found.substr(0, found.find(':'));
  }

  Status replace(std::string_view user, std::string_view hash) override {
    if (!locked_) return platform::fixed_error(Step::kLock, file_, "changed without the lock");
    // A colon would move the groups; a NUL would end the hash for Apache.
    if (hash.empty() || hash.find_first_of(std::string_view(":\0", 2)) != std::string_view::npos) {
      return platform::fixed_error(Step::kWrite, file_, "a hash holding a colon or NUL");
    }
    auto names = dbm_file_names(type_, file_);
    if (!names) return names.error();
    auto temps = dbm_file_names(type_, file_ + ".tmp");
    if (!temps) return temps.error();
    if (temps.value().size() != names.value().size()) {
      return platform::fixed_error(Step::kWrite, file_, "the copy's files do not match");
    }

    // Declared before the guard so that they are closed after it: where
    // APR-util locks with fcntl rather than flock, closing any descriptor of
    // SDBM's .dir would drop its lock.
    std::vector<Piece> pieces(names.value().size());
    TempFiles temp_files(pieces);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      pieces[i].name = names.value()[i];
      pieces[i].temp = temps.value()[i];
      Result<platform::UniqueFd> in = platform::open_for_reading(pieces[i].name);
      if (!in) return in.error();
      pieces[i].in = std::move(in).value();
    }
    // Opened read-only as Apache does: SDBM then holds its shared lock and
    // GDBM its reader's lock, which keep htdbm's writes out of the copy.
    auto guard = DbmFile::open(type_, file_, DbmFile::Access::kRead);
    if (!guard) return guard.error();

    for (Piece& piece : pieces) {
      if (Status copied = copy_piece(piece); !copied) return copied;
    }
    if (Status changed = change_copy(user, hash); !changed) return changed;
    for (Piece& piece : pieces) {
      if (Status synced = platform::sync_file(piece.out.get()); !synced) {
        return with_subject(synced.error(), piece.temp);
      }
      if (Status closed = piece.out.close(); !closed)
        return with_subject(closed.error(), piece.temp);
      const Result<platform::FileInfo> found = platform::file_info(piece.in.get());
      if (!found) return with_subject(found.error(), piece.name);
      const platform::FileInfo& now = found.value();
      if (now.size != piece.before.size || now.modified_ns != piece.before.modified_ns) {
        return platform::fixed_error(Step::kWrite, piece.name,
                                     "changed by another program since it was opened");
      }
    }

    // SDBM: the .dir changes only when a page split.
    bool dir_changed = false;
    if (pieces.size() == 2) {
      Result<platform::UniqueFd> copy = platform::open_for_reading(pieces[0].temp);
      if (!copy) return copy.error();
      auto same = same_bytes(pieces[0].in.get(), copy.value().get(), pieces[0].temp);
      if (!same) return same.error();
      dir_changed = !same.value();
    }
    if (platform::kReplaceNeedsTargetClosed) {
      guard.value()->close();
      for (Piece& piece : pieces) piece.in.reset();
    }
    if (pieces.size() == 2 && !dir_changed) {
      platform::remove_file(pieces[0].temp);
      pieces.erase(pieces.begin());
    }
    for (Piece& piece : pieces) {
      if (Status replaced = platform::replace_file(piece.temp, piece.name); !replaced) {
        return with_subject(replaced.error(), piece.name);
      }
    }
    temp_files.keep();
    return {};
  }

  void unlock() noexcept override {
    lock_.release();
    locked_ = false;
  }

  bool throttled(const Attempt& attempt, const ThrottleLimits& limits) override {
    return throttle(attempt, limits).refuses();
  }
  void count_failure(const Attempt& attempt, const ThrottleLimits& limits) override {
    throttle(attempt, limits).count_failure();
  }
  void forget_failures(const Attempt& attempt, const ThrottleLimits& limits) override {
    throttle(attempt, limits).forget_name();
  }

 private:
  Throttle throttle(const Attempt& attempt, const ThrottleLimits& limits) const {
    return Throttle(file_, attempt.name, attempt.address, limits, attempt.now);
  }

  // The private copy of one file, in the kernel where it can.
  static Status copy_piece(Piece& piece) {
    const Result<platform::FileInfo> found = platform::file_info(piece.in.get());
    if (!found) return with_subject(found.error(), piece.name);
    piece.before = found.value();
    if (!piece.before.regular) {
      return platform::fixed_error(Step::kOpen, piece.name, "not a regular file");
    }
    Result<platform::UniqueFd> out = platform::open_rewrite_temp(piece.temp);
    if (!out) return out.error();
    piece.out = std::move(out).value();
    if (Status emptied = platform::empty_file(piece.out.get()); !emptied) {
      return with_subject(emptied.error(), piece.temp);
    }
    if (Status kept = platform::copy_file_attributes(piece.out.get(), piece.name); !kept) {
      return with_subject(kept.error(), piece.temp);
    }
    // In pieces, each handed to the disk once copied: the sync at the end
    // then has little left to wait for.
    constexpr std::uint64_t kPiece = std::uint64_t{4} << 20;
    platform::RangeCopier copier(piece.in.get(), piece.out.get());
    for (std::uint64_t at = 0; at < piece.before.size; at += kPiece) {
      if (Status copied = copier.copy(at, std::min(kPiece, piece.before.size - at)); !copied) {
        return with_subject(copied.error(), piece.temp);
      }
      platform::start_writeback(piece.out.get());
    }
    return {};
  }

  // The one record, changed in the copy: the hash replaced, the rest kept.
  Status change_copy(std::string_view user, std::string_view hash) {
    auto copy = DbmFile::open(type_, file_ + ".tmp", DbmFile::Access::kWrite);
    if (!copy) return copy.error();
    auto value = copy.value()->fetch(user);
    if (!value) return value.error();
    if (!value.value()) return platform::fixed_error(Step::kWrite, file_, "no such user any more");
    const std::string& old = *value.value();
    std::string updated(hash);
    if (const std::size_t colon = old.find(':'); colon != std::string::npos) {
      updated.append(old, colon);
    }
    if (Status stored = copy.value()->store(user, updated); !stored) return stored;
    copy.value()->close();
    return {};
  }

  DbmType type_;
  std::string file_;
  platform::UpdateLock lock_;
  bool locked_ = false;
};

}  // namespace

Result<std::unique_ptr<UserStore>> open_dbm_store(const DbmSettings& settings) {
  auto type = parse_dbm_type(settings.type);
  if (!type) return type.error();
  if (settings.file.empty()) {
    return platform::fixed_error(Step::kOther, "[dbm] file", "not set");
  }
  return std::unique_ptr<UserStore>(std::make_unique<DbmStore>(type.value(), settings.file));
}

}  // namespace larkspur::store
