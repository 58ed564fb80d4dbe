// Stand-in platform: the users group. setutxent(3), getutxent(3) and
// endutxent(3) over the active-logins database, and the default machine's
// logins.
//
// As in FreeBSD's libc (lib/libc/gen/getutxent.c, utxdb.c), each thread has
// its own iterator and its own record: setutxent (re)opens the database at
// its first record, getutxent opens it if needed and reads the next record
// (at the end it returns none and leaves the database open and errno
// untouched; when the open fails, none with fopen's errno: ENOENT for a
// database that does not exist, EMFILE past the caller's descriptor limit),
// endutxent closes it. Walks
// in different threads never meet. An open database counts as one R_UTMPX
// handle of the machine that opened it; a thread that ends with its database
// open keeps the handle, as its FILE stays open on FreeBSD.
//
// The machine's records stand for what the database file holds. getutxent
// hands each out as futx_to_utx rebuilds it: a zeroed record with only the
// fields its type carries, texts cut to their field's size less one (so
// always terminated) and ending at their first NUL, the time as the file
// keeps it (unsigned microseconds), and an unknown type as an EMPTY record.
//
// Faults: "setutxent", "getutxent", "endutxent" (key ""); a failed getutxent
// returns no record. A raw answer of getutxent is returned as that call's
// record exactly as given (zero-filled or cut to the record's size), without
// moving the iterator: the way to place a record FreeBSD's libc never builds.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

// The calling thread's iterator: whose database it has open (null: none),
// and the next record's index.
struct Iterator {
    std::shared_ptr<const Machine> db;
    size_t pos = 0;
};
thread_local Iterator iter;
// getutxent's answer, per thread.
thread_local struct utmpx record;

void close_db() {
    if (iter.db) {
        release(*iter.db, R_UTMPX);
        iter.db.reset();
    }
    iter.pos = 0;
}

// setutxdb's fopen: false with errno set when the database cannot be
// opened (missing, unreadable, no descriptor left); the old one is closed
// first either way.
bool open_db(std::shared_ptr<const Machine> m) {
    close_db();
    int err = m->users.open_errno;
    if (!err)
        err = descriptors_exhausted(*m, 1);
    if (err) {
        errno = err;
        return false;
    }
    acquire(*m, R_UTMPX);
    iter.db = std::move(m);
    return true;
}

// The text up to its first NUL, at most the field's size less one: the rest
// of the zeroed field stays zero.
template <size_t N>
void copy_text(char (&to)[N], const char (&from)[N]) {
    std::memcpy(to, from, strnlen(from, N - 1));
}

// futx_to_utx: the record as getutxent hands it out.
void rebuild(const Bytes &stored, struct utmpx &out) {
    struct utmpx in;
    std::memset(&in, 0, sizeof in);
    std::memcpy(&in, stored.data(), std::min(stored.size(), sizeof in));
    std::memset(&out, 0, sizeof out);
    bool id_pid = false, names = false, host = false;
    switch (in.ut_type) {
    case BOOT_TIME:
    case OLD_TIME:
    case NEW_TIME:
    case SHUTDOWN_TIME:
        break;
    case USER_PROCESS:
        id_pid = names = host = true;
        break;
    case LOGIN_PROCESS:
        id_pid = names = true;
        break;
    case INIT_PROCESS:
    case DEAD_PROCESS:
        id_pid = true;
        break;
    default:
        out.ut_type = EMPTY;
        return;
    }
    if (id_pid) {
        std::memcpy(out.ut_id, in.ut_id, sizeof out.ut_id);
        out.ut_pid = in.ut_pid;
    }
    if (names) {
        copy_text(out.ut_user, in.ut_user);
        copy_text(out.ut_line, in.ut_line);
    }
    if (host)
        copy_text(out.ut_host, in.ut_host);
    out.ut_type = in.ut_type;
    // The file keeps the time as unsigned microseconds.
    uint64_t t = static_cast<uint64_t>(in.ut_tv.tv_sec) * 1000000u + static_cast<uint64_t>(in.ut_tv.tv_usec);
    out.ut_tv.tv_sec = static_cast<time_t>(t / 1000000u);
    out.ut_tv.tv_usec = static_cast<suseconds_t>(t % 1000000u);
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
        close_db();  // the old database is closed before the new open fails
        if (a.err)
            errno = a.err;
        return;
    }
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
    // Not open (never, or the last open failed): getutxent tries again, and
    // answers none with fopen's errno when that fails too.
    if (!iter.db && !open_db(std::move(m)))
        return nullptr;
    if (a.raw) {
        std::memset(&record, 0, sizeof record);
        std::memcpy(&record, a.raw->data(), std::min(a.raw->size(), sizeof record));
        return &record;
    }
    const std::vector<Bytes> &entries = iter.db->users.entries;
    if (iter.pos >= entries.size())
        return nullptr;  // errno untouched; the file stays open until endutxent
    rebuild(entries[iter.pos++], record);
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
    close_db();
}
