// SPDX-License-Identifier: Apache-2.0
// The DBM store on files made by htdbm, checked by htdbm: every type APR-util
// offers here, through the store interface.
#include "store/dbm_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "store/dbm_file.h"
#include "support/case_name.h"
#include "support/process.h"

namespace larkspur::store {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

// htpasswd -nbm alice n3w-pass
constexpr char kNewHash[] = "$apr1$eQ5lyN7h$cyHiBABHoTHsJbHeoZZIV.";
constexpr char kNewPassword[] = "n3w-pass";
constexpr char kOldPassword[] = "0ld-pass";

struct TypeCase {
  const char* label;    // the [dbm] type
  const char* htdbm;    // htdbm -T
  const char* other;    // another single-file type, whose file this one must refuse
  const char* refusal;  // why a file of another kind cannot be read
};
constexpr TypeCase kTypes[] = {
    {"db", "DB", "GDBM", "not a Berkeley DB hash file, or damaged"},
    {"gdbm", "GDBM", "DB", "not a GDBM file, or damaged, or held by a GDBM writer"},
    {"sdbm", "SDBM", nullptr, "not an SDBM file pair, or damaged"}};

// htdbm -T type args...; passwords on its command line, as only a test may.
test::ProcessResult run_htdbm(const char* type, const std::vector<std::string>& args) {
  test::Command command;
  command.program = "/usr/bin/htdbm";
  command.argv = {"htdbm", "-T", type};
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.env = {"PATH=/usr/bin:/bin"};
  return test::run_process(command);
}

class DbmStoreTest : public ::testing::TestWithParam<TypeCase> {
 public:
  std::string path() const { return dir_.file("users"); }

  test::ProcessResult htdbm(const std::vector<std::string>& args, const char* type = nullptr) {
    return run_htdbm(type != nullptr ? type : GetParam().htdbm, args);
  }

  // alice; bob with groups and a comment; carol whose comment holds colons;
  // then `extra` more users.
  void make_file(int extra = 20, const char* type = nullptr) {
    ASSERT_EQ(htdbm({"-cb", path(), "alice", kOldPassword}, type).exit_status, 0);
    ASSERT_EQ(htdbm({"-bt", path(), "bob", kOldPassword, "staff,admins:Bob B"}, type).exit_status,
              0);
    ASSERT_EQ(htdbm({"-bt", path(), "carol", kOldPassword, "x:y: z:"}, type).exit_status, 0);
    for (int i = 0; i < extra; ++i) {
      ASSERT_EQ(htdbm({"-bp", path(), "user" + std::to_string(i), "pw" + std::to_string(i)}, type)
                    .exit_status,
                0);
    }
  }

  std::unique_ptr<UserStore> open_store(const char* type = nullptr) {
    auto store = open_dbm_store({path(), type != nullptr ? type : GetParam().label});
    EXPECT_TRUE(store.ok());
    return store ? std::move(store).value() : nullptr;
  }

  std::string raw_value(const std::string& user) {
    auto type = parse_dbm_type(GetParam().label);
    auto file = DbmFile::open(type.value(), path(), DbmFile::Access::kRead);
    EXPECT_TRUE(file.ok());
    if (!file) return "(unopened)";
    auto value = file.value()->fetch(user);
    EXPECT_TRUE(value.ok());
    return value && value.value() ? *value.value() : "(none)";
  }

  // htdbm -l: the users and their comments (sorted: a change may move a
  // record within its page), or the failure.
  std::string listing() {
    const test::ProcessResult result = htdbm({"-l", path()});
    std::vector<std::string> lines;
    std::istringstream text(result.out + result.err);
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::string sorted = std::to_string(result.exit_status) + "\n";
    for (const std::string& line : lines) sorted += line + "\n";
    return sorted;
  }

  // Every file in the directory but our lock and counts, byte for byte.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> all;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename();
      if (name.ends_with(".lock") || name.ends_with(".failures")) continue;
      all[name] = test::read_file(entry.path());
    }
    return all;
  }

  TempDir dir_;
};

TEST_P(DbmStoreTest, ChangeReplacesOnlyTheHash) {
  struct Row {
    const char* user;
    const char* kept;  // what follows the hash, kept byte for byte
  };
  const Row rows[] = {{"alice", ""}, {"bob", ":staff,admins:Bob B"}, {"carol", ":x:y: z:"}};
  make_file();
  for (const char* file : {"users", "users.pag", "users.dir"}) {
    ::chmod(dir_.file(file).c_str(), 0640);
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.user);
    const std::string before = listing();
    auto store = open_store();
    ASSERT_TRUE(store->lock(1000ms).ok());
    auto old = store->look_up(row.user);
    ASSERT_TRUE(old.ok());
    EXPECT_TRUE(old.value().starts_with("$apr1$")) << old.value();
    ASSERT_TRUE(store->replace(row.user, kNewHash).ok());
    store->unlock();

    EXPECT_EQ(raw_value(row.user), std::string(kNewHash) + row.kept);
    EXPECT_EQ(store->look_up(row.user).value(), kNewHash);
    EXPECT_EQ(htdbm({"-vb", path(), row.user, kNewPassword}).exit_status, 0);
    EXPECT_EQ(htdbm({"-vb", path(), row.user, kOldPassword}).exit_status, 3);
    // The same users with the same comments; nothing of the copy left.
    EXPECT_EQ(listing(), before);
    for (const auto& [name, bytes] : files()) {
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
      struct stat st {};
      ASSERT_EQ(::stat(dir_.file(name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    }
  }
  EXPECT_EQ(raw_value("user7"), "pw7");
}

void spoil_as_other(DbmStoreTest& t) {
  std::filesystem::remove(t.path());
  t.make_file(2, t.GetParam().other);
}

TEST_P(DbmStoreTest, RefusalsLeaveTheFileAlone) {
  struct Row {
    const char* label;
    void (*spoil)(DbmStoreTest&);  // what the file is made into
    const char* user;
    const char* hash;
    platform::Step lock_step;  // kOther: the lock is taken
    bool look_up_fails;
  };
  const Row rows[] = {
      {"user missing", nullptr, "nobody", kNewHash, platform::Step::kOther, false},
      {"hash with a colon", nullptr, "alice", "$apr1$x:y", platform::Step::kOther, false},
      {"another type's file", spoil_as_other, "alice", kNewHash, platform::Step::kOther, true},
      {"an AuthUserFile",
       [](DbmStoreTest& t) {
         std::string text;
         for (int i = 0; i < 60; ++i) text += "user" + std::to_string(i) + ":" + kNewHash + "\n";
         for (const char* file : {"users", "users.pag", "users.dir"}) {
           if (test::file_exists(t.dir_.file(file))) test::write_file(t.dir_.file(file), text);
         }
       },
       "alice", kNewHash, platform::Step::kOther, true},
      {"no file",
       [](DbmStoreTest& t) {
         for (const char* file : {"users", "users.pag", "users.dir"}) {
           std::filesystem::remove(t.dir_.file(file));
         }
       },
       "alice", kNewHash, platform::Step::kMissing, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directory(dir_.path());
    if (row.spoil == spoil_as_other && GetParam().other == nullptr) continue;
    make_file(2);
    if (row.spoil != nullptr) row.spoil(*this);
    const auto before = files();
    auto store = open_store();
    const Status locked = store->lock(1000ms);
    if (row.lock_step != platform::Step::kOther) {
      ASSERT_FALSE(locked.ok());
      EXPECT_EQ(locked.error().step, row.lock_step);
      continue;
    }
    ASSERT_TRUE(locked.ok());
    auto found = store->look_up(row.user);
    EXPECT_EQ(found.ok(), !row.look_up_fails);
    if (found) {
      EXPECT_EQ(found.value().empty(), row.user == std::string("nobody"));
    } else {
      EXPECT_EQ(found.error().reason(), GetParam().refusal);
    }
    const Status replaced = store->replace(row.user, row.hash);
    EXPECT_FALSE(replaced.ok());
    store->unlock();
    EXPECT_EQ(files(), before);
  }
}

// The writer killed at random points: every time the file lists whole, with
// the old hash or the new one, and every user can still be found.
TEST_P(DbmStoreTest, KilledWriterLeavesOldOrNew) {
  constexpr int kUsers = 150;
  make_file(kUsers);
  std::string hashes[2];
  hashes[1] = kNewHash;
  {
    auto store = open_store();
    hashes[0] = store->look_up("alice").value();
  }
  const std::string whole = listing();
  std::mt19937 random(std::random_device{}());
  int killed = 0;
  for (int round = 0; round < 60; ++round) {
    const std::string next = hashes[(round + 1) % 2];
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto store = open_dbm_store({path(), GetParam().label});
      const bool ok = store && store.value()->lock(5000ms) && store.value()->replace("alice", next);
      ::_exit(ok ? 0 : 1);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFSIGNALED(status))
      ++killed;
    else
      ASSERT_EQ(WEXITSTATUS(status), 0);

    ASSERT_EQ(listing(), whole) << "round " << round;
    auto store = open_store();
    const std::string now = store->look_up("alice").value();
    ASSERT_TRUE(now == hashes[0] || now == hashes[1]) << now;
    if (now == next) std::swap(hashes[0], hashes[1]);  // keep the next change a change
    for (int i = 0; i < kUsers; i += 7) {
      ASSERT_EQ(raw_value("user" + std::to_string(i)), "pw" + std::to_string(i));
    }
  }
  EXPECT_GT(killed, 0);
}

INSTANTIATE_TEST_SUITE_P(Types, DbmStoreTest, ::testing::ValuesIn(kTypes), test::LabelName{});

// SDBM: a record that no longer fits its page splits it, and the .dir
// changes too; every user is still found afterwards.
TEST(SdbmSplit, EveryUserFoundAfterASplit) {
  TempDir dir;
  const std::string path = dir.file("users");
  ASSERT_EQ(run_htdbm("SDBM", {"-cbp", path, "alice", "a"}).exit_status, 0);
  for (int i = 0; i < 120; ++i) {
    ASSERT_EQ(run_htdbm("SDBM", {"-bp", path, "user" + std::to_string(i), "pw"}).exit_status, 0);
  }
  const std::string dir_before = test::read_file(path + ".dir");
  auto store = open_dbm_store({path, "sdbm"}).value();
  ASSERT_TRUE(store->lock(1000ms).ok());
  const std::string long_hash(700, 'h');
  ASSERT_TRUE(store->replace("alice", long_hash).ok());
  store->unlock();
  EXPECT_NE(test::read_file(path + ".dir"), dir_before);
  EXPECT_EQ(store->look_up("alice").value(), long_hash);
  for (int i = 0; i < 120; ++i) EXPECT_EQ(store->look_up("user" + std::to_string(i)).value(), "pw");
}

TEST(DbmSettings, TypesAndCheck) {
  struct Row {
    const char* text;
    bool ok;
  };
  const Row rows[] = {{"default", true}, {"DB", true},   {"gdbm", true}, {"SDBM", true},
                      {"ndbm", false},   {"bdb", false}, {"", false},    {"db ", false}};
  for (const Row& row : rows) EXPECT_EQ(parse_dbm_type(row.text).ok(), row.ok) << row.text;
  EXPECT_EQ(dbm_types_offered(), "db gdbm sdbm");
  EXPECT_EQ(default_dbm_type(), "db");

  TempDir dir;
  ASSERT_EQ(run_htdbm("DB", {"-cbp", dir.file("u"), "a", "b"}).exit_status, 0);
  const DbmCheck good = check_dbm_store({dir.file("u"), "default"});
  EXPECT_TRUE(good.ok);
  EXPECT_EQ(good.lines,
            (std::vector<std::string>{"ok   dbm type default (db in this APR-util)",
                                      "ok   dbm file " + dir.file("u") + " (1 user)",
                                      "ok   dbm directory " + dir.path() + " (writable)"}));
  const DbmCheck wrong = check_dbm_store({dir.file("u"), "gdbm"});
  EXPECT_FALSE(wrong.ok);
  EXPECT_EQ(wrong.lines.at(1), "FAIL dbm file " + dir.file("u") +
                                   ": not a GDBM file, or damaged, or held by a GDBM writer");
}

}  // namespace
}  // namespace larkspur::store
