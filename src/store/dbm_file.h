// SPDX-License-Identifier: Apache-2.0
// One DBM file opened through APR-util (apr_dbm_open_ex, apr_dbm_fetch,
// apr_dbm_store), in the type Apache's AuthDBMType names. APR-util does the
// formats; this only owns its pool and handle and turns its status codes
// into Errors.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

struct apr_pool_t;
struct apr_dbm_t;

namespace larkspur::store {

using platform::Result;
using platform::Status;

// The types as this program names them; APR-util's spelling comes from
// apr_type_name.
enum class DbmType { kDefault, kDb, kGdbm, kSdbm };

std::string_view dbm_type_name(DbmType type);  // "default", "db", ...
const char* apr_type_name(DbmType type);       // "default", "DB", ...

// Whether this build can open `type` at all: SDBM is built into APR-util;
// Berkeley DB and GDBM are modules APR-util loads, which need the shared APR.
bool dbm_type_built_in(DbmType type);

// The files APR-util keeps for the DBM file `path`: the path itself, or the
// ".dir" and ".pag" pair of SDBM (first the .dir). Loading the type's module
// happens here first, so calling it before the process is confined leaves
// nothing to load afterwards.
Result<std::vector<std::string>> dbm_file_names(DbmType type, const std::string& path);

// What "default" is in this APR-util: db, gdbm or sdbm; empty when it cannot
// be told. Found by making a file of the default type in a private
// temporary directory, removed again, and opening it as each type.
std::string default_dbm_type();

// An owned APR pool; APR is initialised on first use.
class AprPool {
 public:
  AprPool();
  ~AprPool();
  AprPool(const AprPool&) = delete;
  AprPool& operator=(const AprPool&) = delete;
  apr_pool_t* get() const { return pool_; }

 private:
  apr_pool_t* pool_ = nullptr;
};

class DbmFile {
 public:
  enum class Access { kRead, kWrite };

  // Opens an existing file; never creates one. A file that is not of the
  // type gives Step::kOpen with a reason naming the type.
  static Result<std::unique_ptr<DbmFile>> open(DbmType type, const std::string& path,
                                               Access access);
  ~DbmFile();
  DbmFile(const DbmFile&) = delete;
  DbmFile& operator=(const DbmFile&) = delete;

  // The value stored under `key`, or nothing when there is none.
  Result<std::optional<std::string>> fetch(std::string_view key);
  Status store(std::string_view key, std::string_view value);
  // How many keys the file holds.
  Result<std::size_t> count();
  // Closes now, handing APR-util's buffered pages to the file (not to the
  // disk: the caller syncs); later calls fail.
  void close() noexcept;

 private:
  DbmFile(DbmType type, std::string path) : type_(type), path_(std::move(path)) {}
  platform::Error error(platform::Step step, int status) const;

  DbmType type_;
  std::string path_;
  AprPool pool_;
  apr_dbm_t* dbm_ = nullptr;
};

}  // namespace larkspur::store
