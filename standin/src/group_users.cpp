// Stand-in platform: the users group. setutxent(3), getutxent(3) and
// endutxent(3) over the active-logins database, and the default machine's
// logins.
//
// Like FreeBSD's libc, the database has one iterator for the whole process:
// setutxent rewinds it, getutxent reads the next record (opening the database
// if needed), endutxent closes it, whichever thread calls. Walks from several
// threads at once therefore interleave; every walk that starts while another
// one is in progress is counted in the starting machine's utmpx_overlaps.
// An open database counts as one R_UTMPX handle of the machine that opened it.
//
// Faults: "setutxent", "getutxent", "endutxent" (key ""); a failed getutxent
// returns no record.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

// The process-wide iterator. The mutex only keeps the simulation itself
// memory-safe; it does not make a walk exclusive.
struct Iterator {
    std::mutex mu;
    std::shared_ptr<const Machine> db;  // whose database is open, or null
    size_t pos = 0;
};
Iterator iter;

// Walks in progress anywhere in the process.
std::atomic<long> walks_in_progress{0};

// The calling thread's walk, from its first setutxent or getutxent to its
// endutxent: the counters of the machine it started on.
thread_local std::shared_ptr<Resources> walking;
// getutxent's answer (per thread, as FreeBSD's libc keeps it).
thread_local struct utmpx record;

void start_walk(const Machine &m) {
    if (walking)
        return;
    walking = m.resources;
    walking->utmpx_walkers.fetch_add(1);
    if (walks_in_progress.fetch_add(1) > 0)
        walking->utmpx_overlaps.fetch_add(1);
}

void end_walk() {
    if (!walking)
        return;
    walking->utmpx_walkers.fetch_sub(1);
    walks_in_progress.fetch_sub(1);
    walking.reset();
}

// Open (or reopen) the database of machine `m` at its first record. Called
// with iter.mu held.
void open_db(std::shared_ptr<const Machine> m) {
    if (iter.db != m) {
        if (iter.db)
            release(*iter.db, R_UTMPX);
        acquire(*m, R_UTMPX);
        iter.db = std::move(m);
    }
    iter.pos = 0;
}

// Fill a record's text field; a text as long as the field has no NUL.
template <size_t N>
void put(char (&field)[N], const char *text) {
    std::memcpy(field, text, std::min(std::strlen(text), N));
}

Bytes login(short type, const char *user, const char *line, const char *host, time_t sec,
            suseconds_t usec, pid_t pid, const char *id) {
    struct utmpx u;
    std::memset(&u, 0, sizeof u);
    u.ut_type = type;
    u.ut_tv.tv_sec = sec;
    u.ut_tv.tv_usec = usec;
    put(u.ut_id, id);
    u.ut_pid = pid;
    put(u.ut_user, user);
    put(u.ut_line, line);
    put(u.ut_host, host);
    return Bytes(reinterpret_cast<const char *>(&u), sizeof u);
}

}  // namespace

// The default machine: alice on the console and over ssh from 192.0.2.7, and
// a session that has ended.
void default_users(Machine &m) {
    const time_t boot = 1765180800;  // as the process table's boot
    m.users.entries = {
        login(BOOT_TIME, "", "", "", boot + 4, 0, 0, ""),
        login(USER_PROCESS, "alice", "ttyv0", "", boot + 95, 120000, 902, "v0"),
        login(DEAD_PROCESS, "bob", "pts/1", "198.51.100.23", boot + 1800, 0, 1150, "s/1"),
        login(USER_PROCESS, "alice", "pts/0", "192.0.2.7", boot + 3600 + 10, 532000, 1206, "s/0"),
    };
}

}  // namespace fakebsd

using namespace fakebsd;

extern "C" void fbsd_setutxent(void) {
    std::shared_ptr<const Machine> m = snapshot();
    Action a = check(*m, "setutxent", "");
    if (a.fail) {
        if (a.err)
            errno = a.err;
        return;
    }
    start_walk(*m);
    std::lock_guard<std::mutex> lock(iter.mu);
    open_db(std::move(m));
}

extern "C" struct utmpx *fbsd_getutxent(void) {
    std::shared_ptr<const Machine> m = snapshot();
    Action a = check(*m, "getutxent", "");
    if (a.fail) {
        if (a.err)
            errno = a.err;
        return nullptr;
    }
    start_walk(*m);
    std::lock_guard<std::mutex> lock(iter.mu);
    if (!iter.db)
        open_db(std::move(m));
    const std::vector<Bytes> &entries = iter.db->users.entries;
    if (iter.pos >= entries.size())
        return nullptr;
    const Bytes &e = entries[iter.pos++];
    std::memset(&record, 0, sizeof record);
    std::memcpy(&record, e.data(), std::min(e.size(), sizeof record));
    return &record;
}

extern "C" void fbsd_endutxent(void) {
    const Machine &m = current();
    Action a = check(m, "endutxent", "");
    if (a.fail) {
        if (a.err)
            errno = a.err;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(iter.mu);
        if (iter.db) {
            release(*iter.db, R_UTMPX);
            iter.db.reset();
        }
        iter.pos = 0;
    }
    end_walk();
}
