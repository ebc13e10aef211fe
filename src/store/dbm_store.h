// SPDX-License-Identifier: Apache-2.0
// The users of an AuthDBMUserFile, the DBM file Apache's mod_authn_dbm reads
// and htdbm writes: the key is the user name, the value "hash[:rest]", where
// the rest (groups for mod_authz_dbm, a comment) is kept byte for byte.
//
// A change never edits the file Apache reads. Under the update lock
// ("<file>.lock", as for the AuthUserFile) the file is copied beside itself
// (blocks shared where the file system allows), the one record is changed in
// the copy through APR-util, the copy is synced and renamed over the file,
// and the directory synced: Apache's next open finds the old file or the
// new one, and so does a crash at any moment. The copy keeps the file's
// mode and, where permitted, its owner and group.
//
// SDBM keeps two files, "<file>.dir" (which pages were split) and
// "<file>.pag" (the records). Both are copied and the copy changed; when the
// change left the .dir as it was (it always does unless the record no longer
// fits its page and the page splits) only the .pag is renamed into place,
// one step as above. When the page split, the .dir is renamed first and then
// the .pag: a crash between the two renames leaves the records of that one
// page unfindable by lookups until the next change of the file rewrites the
// pair (they stay in the .pag, and `htdbm -l` still lists them), and a reader
// opening the two files just between the renames may miss those users once.
// Throughout, APR-util's own shared lock on the .dir is held, which keeps
// htdbm (which takes the exclusive one) out while the copy is made.
//
// What no writer here can prevent: htdbm takes no lock for Berkeley DB files,
// so an htdbm run during a change may be lost (as htpasswd's on an
// AuthUserFile); a change that finds the file changed under it fails instead
// of overwriting it, where the change is noticed before the rename.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "platform/result.h"
#include "store/dbm_file.h"
#include "store/user_store.h"

namespace larkspur::store {

// The [dbm] keys: `file` is the AuthDBMUserFile as Apache names it (for SDBM
// without ".dir"/".pag"); `type` the AuthDBMType, as Apache spells it or in
// lower case: default, db, gdbm, sdbm.
struct DbmSettings {
  std::string file;
  std::string type = "default";
};

// The type a setting names; an error saying why when this build cannot open
// it (an unknown name, NDBM, or a type a Windows build lacks).
Result<DbmType> parse_dbm_type(std::string_view text);

// The [dbm] keys as the settings record holds them. An empty `file` means
// the DBM file is not the store.
DbmSettings dbm_settings(const config::Settings& settings);

// The store, or the configuration fault of its type.
Result<std::unique_ptr<UserStore>> open_dbm_store(const DbmSettings& settings);

// Loads what APR-util loads for the type (its module), so that nothing is
// mapped executable after the process is confined. The confinement must then
// allow the DBM file's directory as it allows the AuthUserFile's: read,
// write, create, remove and rename within it.
Status prepare_dbm_store(const DbmSettings& settings);

// What --check says of the DBM store: the type (and what "default" means on
// this system), the file opened read-only with its number of users, and
// whether its directory is writable. `ok` is false when a change would fail.
struct DbmCheck {
  bool ok = true;
  std::vector<std::string> lines;
};
DbmCheck check_dbm_store(const DbmSettings& settings);

// The types this build offers, for --version: "db gdbm sdbm".
std::string dbm_types_offered();

}  // namespace larkspur::store
