// SPDX-License-Identifier: Apache-2.0
#include "store/dbm_file.h"

#include <apr_dbm.h>
#include <apr_errno.h>
#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_general.h>
#include <apr_pools.h>
#include <apu.h>

#include <cerrno>
#include <new>

#include "platform/random.h"

namespace larkspur::store {
namespace {

using platform::Error;
using platform::Step;

void initialise_apr() {
  // Reference-counted by APR; never undone, as the process ends soon.
  static const bool done = apr_initialize() == APR_SUCCESS;
  if (!done) throw std::bad_alloc();
}

// A reason the system gave, as an errno value; 0 for APR's and the DBM
// libraries' own codes, which say only "not this type" or "damaged". SDBM
// answers a damaged page with ENOSPC, which means a full disk only when
// writing.
int system_code(apr_status_t status, platform::Step step) {
  if (status <= 0 || status >= APR_OS_START_ERROR) return 0;
  switch (status) {
    case ENOSPC:
      return step == platform::Step::kWrite ? static_cast<int>(status) : 0;
    case ENOENT:
    case EACCES:
    case EPERM:
    case ENOTDIR:
    case EISDIR:
    case EROFS:
    case ELOOP:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case EIO:
    case EAGAIN:
    case ENAMETOOLONG:
      return static_cast<int>(status);
    default:
      return 0;
  }
}

// What each type is called by the INI file, by APR-util, and when a file
// is not of that type.
struct DbmTypeNames {
  DbmType type;
  std::string_view name;
  const char* apr_name;
  std::string_view not_this_type;
};

constexpr DbmTypeNames kTypeNames[] = {
    {DbmType::kDefault, "default", "default",
     "not a DBM file of APR-util's default type, or damaged"},
    {DbmType::kDb, "db", "DB", "not a Berkeley DB hash file, or damaged"},
    {DbmType::kGdbm, "gdbm", "GDBM", "not a GDBM file, or damaged, or held by a GDBM writer"},
    {DbmType::kSdbm, "sdbm", "SDBM", "not an SDBM file pair, or damaged"},
};

const DbmTypeNames& names_of(DbmType type) {
  for (const DbmTypeNames& names : kTypeNames) {
    if (names.type == type) return names;
  }
  return kTypeNames[0];
}

std::string_view not_this_type(DbmType type) { return names_of(type).not_this_type; }

apr_datum_t datum(std::string_view bytes) {
  // APR-util takes the key as non-const, but neither reads nor writes past it.
  return apr_datum_t{const_cast<char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::string_view dbm_type_name(DbmType type) { return names_of(type).name; }

const char* apr_type_name(DbmType type) { return names_of(type).apr_name; }

bool dbm_type_built_in(DbmType type) {
  switch (type) {
    case DbmType::kSdbm:
      return APU_HAVE_SDBM != 0;
#ifdef LARKSPUR_DBM_MODULES
    case DbmType::kDb:
      return APU_HAVE_DB != 0;
    case DbmType::kGdbm:
      return APU_HAVE_GDBM != 0;
    case DbmType::kDefault:
      return true;
#else
    case DbmType::kDb:
    case DbmType::kGdbm:
      return false;
    // Without the modules the default can only be used where it is SDBM,
    // which opening the file tells.
    case DbmType::kDefault:
      return true;
#endif
  }
  return false;
}

AprPool::AprPool() {
  initialise_apr();
  if (apr_pool_create(&pool_, nullptr) != APR_SUCCESS) throw std::bad_alloc();
}

AprPool::~AprPool() { apr_pool_destroy(pool_); }

Result<std::vector<std::string>> dbm_file_names(DbmType type, const std::string& path) {
  AprPool pool;
  const char* first = nullptr;
  const char* second = nullptr;
  const apr_status_t status =
      apr_dbm_get_usednames_ex(pool.get(), apr_type_name(type), path.c_str(), &first, &second);
  if (status != APR_SUCCESS || first == nullptr) {
    return platform::fixed_error(Step::kOpen, path,
                                 "APR-util cannot load this DBM type on this system");
  }
  std::vector<std::string> names{first};
  if (second != nullptr) names.emplace_back(second);
  return names;
}

std::string default_dbm_type() {
  AprPool pool;
  const char* temp = nullptr;
  if (apr_temp_dir_get(&temp, pool.get()) != APR_SUCCESS) return {};
  unsigned char random[8];
  if (!platform::random_bytes(random, sizeof random)) return {};
  std::string dir = std::string(temp) + "/larkspur-dbm-";
  for (const unsigned char byte : random) {
    dir += "0123456789abcdef"[byte >> 4];
    dir += "0123456789abcdef"[byte & 15];
  }
  // Private and new: apr_dir_make fails on a name that exists.
  if (apr_dir_make(dir.c_str(), APR_FPROT_UREAD | APR_FPROT_UWRITE | APR_FPROT_UEXECUTE,
                   pool.get()) != APR_SUCCESS) {
    return {};
  }
  const std::string path = dir + "/probe";
  std::string found;
  const char* first = nullptr;
  const char* second = nullptr;
  if (apr_dbm_get_usednames_ex(pool.get(), "default", path.c_str(), &first, &second) ==
      APR_SUCCESS) {
    apr_dbm_t* made = nullptr;
    if (apr_dbm_open_ex(&made, "default", path.c_str(), APR_DBM_RWCREATE,
                        APR_FPROT_UREAD | APR_FPROT_UWRITE, pool.get()) == APR_SUCCESS) {
      apr_dbm_close(made);
      for (const DbmType type : {DbmType::kDb, DbmType::kGdbm, DbmType::kSdbm}) {
        // SDBM is the only type of two files; the others know their own.
        if ((type == DbmType::kSdbm) != (second != nullptr) || !dbm_type_built_in(type)) continue;
        if (DbmFile::open(type, path, DbmFile::Access::kRead)) {
          found = dbm_type_name(type);
          break;
        }
      }
    }
    for (const char* name : {first, second}) {
      if (name != nullptr) apr_file_remove(name, pool.get());
    }
  }
  apr_dir_remove(dir.c_str(), pool.get());
  return found;
}

Result<std::unique_ptr<DbmFile>> DbmFile::open(DbmType type, const std::string& path,
                                               Access access) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    return platform::fixed_error(Step::kOpen, path, "not a usable file name");
  }
  std::unique_ptr<DbmFile> file(new DbmFile(type, path));
  const apr_int32_t mode = access == Access::kRead ? APR_DBM_READONLY : APR_DBM_READWRITE;
  // The permission bits apply only to files APR-util creates, which these
  // modes never do.
  const apr_status_t status = apr_dbm_open_ex(&file->dbm_, apr_type_name(type), path.c_str(), mode,
                                              APR_FPROT_OS_DEFAULT, file->pool_.get());
  if (status != APR_SUCCESS) {
    file->dbm_ = nullptr;
    return file->error(Step::kOpen, status);
  }
  return file;
}

DbmFile::~DbmFile() { close(); }

Error DbmFile::error(Step step, int status) const {
  const int code = system_code(status, step);
  if (code != 0) return Error{step, path_, code, {}, {}};
  if (status == APR_ENOTIMPL) {
    return platform::fixed_error(step, path_, "APR-util cannot load this DBM type on this system");
  }
  return platform::fixed_error(step, path_, not_this_type(type_));
}

Result<std::optional<std::string>> DbmFile::fetch(std::string_view key) {
  if (dbm_ == nullptr) return platform::fixed_error(Step::kRead, path_, "closed");
  apr_datum_t value{nullptr, 0};
  const apr_status_t status = apr_dbm_fetch(dbm_, datum(key), &value);
  if (status != APR_SUCCESS) return error(Step::kRead, status);
  // Each type answers a missing key with a null value.
  if (value.dptr == nullptr) return std::optional<std::string>();
  std::optional<std::string> found(std::in_place, value.dptr, value.dsize);
  apr_dbm_freedatum(dbm_, value);
  return found;
}

Status DbmFile::store(std::string_view key, std::string_view value) {
  if (dbm_ == nullptr) return platform::fixed_error(Step::kWrite, path_, "closed");
  const apr_status_t status = apr_dbm_store(dbm_, datum(key), datum(value));
  if (status != APR_SUCCESS) return error(Step::kWrite, status);
  return {};
}

Result<std::size_t> DbmFile::count() {
  if (dbm_ == nullptr) return platform::fixed_error(Step::kRead, path_, "closed");
  std::size_t n = 0;
  apr_datum_t key{nullptr, 0};
  apr_status_t status = apr_dbm_firstkey(dbm_, &key);
  while (status == APR_SUCCESS && key.dptr != nullptr) {
    ++n;
    status = apr_dbm_nextkey(dbm_, &key);
  }
  if (status != APR_SUCCESS) return error(Step::kRead, status);
  return n;
}

void DbmFile::close() noexcept {
  if (dbm_ == nullptr) return;
  apr_dbm_close(dbm_);
  dbm_ = nullptr;
}

}  // namespace larkspur::store
