// The registry's read cache. Internal to winport.
#ifndef WINPORT_SRC_REGISTRY_CACHE_H
#define WINPORT_SRC_REGISTRY_CACHE_H

#include "registry_vfs.h"

#include <winport/winport.h>

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>

namespace winport {
namespace reg {

// What a connection read, kept while the database has not changed.
//
// A lookup through SQLite costs about fifteen times one answered from what was kept. While
// the header of the WAL index reads the same as when something was read, that something is
// still what the database holds.
class read_cache {
public:
    using snapshot = wal_index_header::stamp;

    void attach(sqlite3* db)
    {
        db_ = db;
        header_.attach(db);
    }

    // The header as it stands; false when none can be had, a commit is writing it or the
    // connection is inside a transaction of its own.
    bool current(snapshot& s) const { return db_ && sqlite3_get_autocommit(db_) != 0 && header_.read(s); }

    // True when what was kept still holds in `now`, a header current() gave.
    bool unchanged(const snapshot& now) const
    {
        return kept_valid_ && std::memcmp(now.bytes, kept_.bytes, sizeof now.bytes) == 0;
    }

    // Called with the header read before a read statement and its result: keeps it when no
    // commit came between.
    bool may_keep(const snapshot& before)
    {
        snapshot after;
        if (!current(after) || std::memcmp(before.bytes, after.bytes, sizeof after.bytes) != 0)
            return false;
        if (!kept_valid_ || std::memcmp(kept_.bytes, before.bytes, sizeof before.bytes) != 0) {
            forget(paths);
            forget(values);
            kept_ = before;
            kept_valid_ = true;
        } else {
            make_room();
        }
        return true;
    }

    // The frames of the WAL that were folded back into the database (0 without an index).
    std::uint32_t wal_frames_folded() const { return header_.folded(); }

    // Before a write of this connection whose changes the caller then puts into what was
    // kept: the writes it began so far.
    unsigned writes_begun() const
    {
        const auto* w = header_.writes();
        return w ? w->count : 0;
    }

    // After that write succeeded as the one write since `begun`: true when it began from the
    // state that was kept, which with its changes put in (by the caller, now) is the state it
    // left. What was read survives the connection's own writes so.
    bool wrote(unsigned begun)
    {
        const auto* w = header_.writes();
        if (!w || !kept_valid_ || w->count != begun + 1 || !w->before_ok || !w->after_ok ||
            std::memcmp(w->before.bytes, kept_.bytes, sizeof kept_.bytes) != 0)
            return false;
        kept_ = w->after;
        make_room();
        return true;
    }

    struct kept_value {
        DWORD type;
        std::string data;
    };
    std::unordered_map<std::string, sqlite3_int64> paths;  // key path -> id, of keys that exist
    std::unordered_map<std::string, kept_value> values;    // id + '\\' + folded name -> value

    // Room for a key and its value read from each of some 100,000 keys, about 20 MB: enough
    // that a caller reading a registry that large at random is answered from here.
    static constexpr std::size_t max_kept = 1u << 18;
    static constexpr std::size_t max_kept_value = 1024;

private:
    // clear() keeps the buckets and zeroes them all: after a large read, every write would
    // pay for the map's largest size. The buckets go with the entries, so emptying a map
    // costs what it holds.
    template <typename Map>
    static void forget(Map& m)
    {
        m.clear();
        if (m.bucket_count() > min_buckets)
            m.rehash(0);
    }
    static constexpr std::size_t min_buckets = 64;

    void make_room()
    {
        if (paths.size() + values.size() >= max_kept) {
            // Full: a quarter goes, in no order that follows use, and the rest stays.
            evict(paths);
            evict(values);
        }
    }

    template <typename Map>
    static void evict(Map& m)
    {
        for (std::size_t n = m.size() / 4; n > 0; --n)
            m.erase(m.begin());
    }

    sqlite3* db_ = nullptr;
    wal_index_header header_;
    snapshot kept_{};
    bool kept_valid_ = false;
};

}  // namespace reg
}  // namespace winport

#endif
