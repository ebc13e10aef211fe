// SPDX-License-Identifier: Apache-2.0
// The helper of dbm_bench.sh:
//   dbm_tool make TYPE FILE N      a new DBM file of N users "user%07d", each with
//                                  an Apache MD5 hash and a group, made
//                                  through APR-util in one run
//   dbm_tool change TYPE FILE USER HASH
//                                  one change as a request makes it: lock,
//                                  look up, replace, unlock
#include <apr_dbm.h>
#include <apr_general.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/dbm_store.h"

int main(int argc, char** argv) {
  using larkspur::store::DbmSettings;
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "make" && argc == 5) {
    apr_initialize();
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apr_dbm_t* dbm = nullptr;
    if (apr_dbm_open_ex(&dbm, argv[2], argv[3], APR_DBM_RWCREATE, APR_FPROT_OS_DEFAULT, pool) !=
        APR_SUCCESS) {
      std::fprintf(stderr, "cannot create %s\n", argv[3]);
      return 1;
    }
    const long n = std::atol(argv[4]);
    for (long i = 0; i < n; ++i) {
      char key[32], value[96];
      const int k = std::snprintf(key, sizeof key, "user%07ld", i);
      const int v =
          std::snprintf(value, sizeof value, "$apr1$%08lx$abcdefghijklmnopqrstuv:staff", i);
      if (apr_dbm_store(dbm, apr_datum_t{key, static_cast<apr_size_t>(k)},
                        apr_datum_t{value, static_cast<apr_size_t>(v)}) != APR_SUCCESS) {
        std::fprintf(stderr, "cannot store %s\n", key);
        return 1;
      }
    }
    apr_dbm_close(dbm);
    return 0;
  }
  if (mode == "change" && argc == 6) {
    auto store = larkspur::store::open_dbm_store(DbmSettings{argv[3], argv[2]});
    if (!store) return 1;
    auto& s = *store.value();
    if (!s.lock(std::chrono::milliseconds(5000))) return 1;
    auto old = s.look_up(argv[4]);
    if (!old || old.value().empty()) return 1;
    const auto done = s.replace(argv[4], argv[5]);
    s.unlock();
    if (!done) {
      std::fprintf(stderr, "%s: %s\n", done.error().subject.c_str(), done.error().reason().c_str());
      return 1;
    }
    return 0;
  }
  std::fprintf(stderr, "usage: dbm_tool make TYPE FILE N | change TYPE FILE USER HASH\n");
  return 2;
}
