// A keyed file's store (vako/keydb.h, the 1.85 interface) made to fail one
// put or del of one key with EIO, as a failing disk would, while the fault
// lives; the calls after it and those of other keys go through.
#pragma once

#include <errno.h>

#include <string>

#include "vako/keydb.h"

namespace vakotest {

enum class StoreOp { Put, Del };

namespace storefault {

inline std::string gKey;
inline bool gArmed;
inline int (*gRealPut)(const DB *, DBT *, const DBT *, u_int);
inline int (*gRealDel)(const DB *, const DBT *, u_int);

inline bool Hit(const DBT *k)
{
    if (!gArmed || std::string(static_cast<char *>(k->data), k->size) != gKey)
        return false;
    gArmed = false;
    errno = EIO;
    return true;
}

inline int Put(const DB *db, DBT *k, const DBT *v, u_int flags) { return Hit(k) ? -1 : gRealPut(db, k, v, flags); }
inline int Del(const DB *db, const DBT *k, u_int flags) { return Hit(k) ? -1 : gRealDel(db, k, flags); }

} // namespace storefault

// key: the stored key whole, its NUL included.
class StoreFault {
public:
    StoreFault(DB *store, StoreOp op, const std::string &key) : store_(store)
    {
        storefault::gKey = key;
        storefault::gArmed = true;
        storefault::gRealPut = store->put;
        storefault::gRealDel = store->del;
        if (op == StoreOp::Put)
            store->put = storefault::Put;
        else
            store->del = storefault::Del;
    }
    ~StoreFault()
    {
        store_->put = storefault::gRealPut;
        store_->del = storefault::gRealDel;
        storefault::gArmed = false;
    }
    StoreFault(const StoreFault &) = delete;
    StoreFault &operator=(const StoreFault &) = delete;

private:
    DB *store_;
};

} // namespace vakotest
