// The kernel's exported socket tables, shared by the system-wide and the
// per-process connection lists: reading a protocol control block list
// ("net.inet.tcp.pcblist", "net.local.stream.pcblist", ...) with its header,
// trailer and generation checks, walking its records without ever leaving
// the answer, and the two lookup tables built once per call over the file
// table (owner of a socket) and over the TCP list (state of a connection).
#pragma once

#include "../../morvex.h"

static_assert(sizeof(struct xfile) == 128, "struct xfile size");
static_assert(sizeof(struct xinpgen) == 64, "struct xinpgen size");
static_assert(sizeof(struct xinpcb) == 400, "struct xinpcb size");
static_assert(sizeof(struct xtcpcb) == 744, "struct xtcpcb size");
static_assert(sizeof(struct xunpgen) == 32, "struct xunpgen size");
static_assert(sizeof(struct xunpcb) == 904, "struct xunpcb size");

namespace pcblist {

// A kernel answer is read into a buffer that doubles until it fits. No table
// the kernel exports comes near this size; a kernel that keeps answering
// ENOMEM beyond it ends the call instead of the loop running on.
inline constexpr size_t kMaxAnswer = size_t{1} << 32;
// Re-reads of a list whose generation count changed while it was copied out.
inline constexpr int kRereads = 5;
inline constexpr size_t kListStart = 8192;

// A value of type T at p, wherever p points (answers are not always aligned).
template <class T>
inline T load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Double size and give buf a fresh buffer of that size; the old contents are
// not kept (the next read overwrites them). -1 with an exception when the
// bound is reached or the allocation fails; buf is then empty.
inline int grow(KernelBuf<char> &buf, size_t &size, const char *name) {
    buf.reset();
    if (size > kMaxAnswer / 2) {
        char msg[256];
        str_format(msg, sizeof msg, "sysctlbyname('%s') buffer allocation retry limit exceeded", name);
        PyErr_SetString(PyExc_RuntimeError, msg);
        return -1;
    }
    size *= 2;
    buf.reset(static_cast<char *>(std::malloc(size)));
    if (!buf) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// One protocol list answer: a header, the records, a trailer of the header's
// size. Records lie in [first, trailer).
struct List {
    KernelBuf<char> buf;
    size_t len = 0;
    size_t first = 0;
    size_t trailer = 0;
};

// How a list is framed: the header's size (its first field holds it) and the
// offset of its generation count.
struct Framing {
    size_t header;
    size_t gen_offset;
};
inline constexpr Framing kInetFraming = {sizeof(struct xinpgen), offsetof(struct xinpgen, xig_gen)};
inline constexpr Framing kUnixFraming = {sizeof(struct xunpgen), offsetof(struct xunpgen, xug_gen)};

// Read the list `name` into out: the buffer starts at 8192 bytes and doubles
// while the kernel answers ENOMEM; header and trailer must both carry the
// framing's size; a list whose header and trailer generations differ is read
// again, up to five times, and the last answer is then used as it is.
inline int read_list(const char *name, const Framing &framing, List &out) {
    size_t size = kListStart;
    KernelBuf<char> buf(static_cast<char *>(std::malloc(size)));
    if (!buf) {
        PyErr_NoMemory();
        return -1;
    }
    int rereads = kRereads;
    size_t len;
    for (;;) {
        len = size;
        if (sysctlbyname(name, buf.get(), &len, nullptr, 0) == -1) {
            if (errno != ENOMEM) {
                morvex_oserror();
                return -1;
            }
            if (grow(buf, size, name) < 0)
                return -1;
            continue;
        }
        const char *p = buf.get();
        if (len > size || len < 2 * framing.header || load<uint64_t>(p) != framing.header ||
            load<uint64_t>(p + len - framing.header) != framing.header) {
            morvex_runtime_error("struct xinpgen size mismatch");
            return -1;
        }
        uint64_t head_gen = load<uint64_t>(p + framing.gen_offset);
        uint64_t tail_gen = load<uint64_t>(p + len - framing.header + framing.gen_offset);
        if (head_gen == tail_gen || rereads == 0)
            break;
        rereads--;
        morvex_debug("%s changed while read, reading again", name);
    }
    out.buf = std::move(buf);
    out.len = len;
    out.first = framing.header;
    out.trailer = len - framing.header;
    return 0;
}

// Call fn(record) for each record of the list, in the kernel's order. Every
// record's own length field (its first) must be `size`, and the record must
// end before the trailer; otherwise RuntimeError `mismatch`. fn returns 0 or
// -1 (with an exception), which ends the walk.
template <class Fn>
inline int walk(const List &list, size_t size, const char *mismatch, Fn fn) {
    const char *base = list.buf.get();
    for (size_t pos = list.first; pos < list.trailer; pos += size) {
        size_t room = list.trailer - pos;
        if (room < size || load<uint64_t>(base + pos) != size) {
            morvex_runtime_error("%s", mismatch);
            return -1;
        }
        if (fn(base + pos) < 0)
            return -1;
    }
    return 0;
}

// Whether value is in the sequence: 1, 0, or -1 with the exception of the test.
inline int contains(PyObject *seq, long value) {
    PyRef v(PyLong_FromLong(value));
    if (!v)
        return -1;
    return PySequence_Contains(seq, v.get());
}

// (address text, port) of a 4- or 16-byte address and a port in network order.
inline PyObject *address(int family, const void *addr, uint16_t port) {
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(family, addr, text, sizeof text) == nullptr)
        return morvex_oserror();
    return Py_BuildValue("(si)", text, static_cast<int>(ntohs(port)));
}

// The fields of a protocol block the socket tables use, read from a struct
// xinpcb at p (a UDP record, or the xt_inp of a TCP record). Only these are
// read: a record is mostly counters and buffers nobody here looks at.
struct InpFields {
    kvaddr_t so;              // xi_socket.xso_so
    int32_t family;           // xi_socket.xso_family
    int32_t protocol;         // xi_socket.xso_protocol
    int16_t so_type;          // xi_socket.so_type
    uint8_t vflag;            // inp_vflag
    struct in_conninfo inc;   // inp_inc: ports and addresses
};

inline InpFields inp_fields(const char *p) {
    InpFields f;
    f.so = load<kvaddr_t>(p + offsetof(struct xinpcb, xi_socket.xso_so));
    f.family = load<int32_t>(p + offsetof(struct xinpcb, xi_socket.xso_family));
    f.protocol = load<int32_t>(p + offsetof(struct xinpcb, xi_socket.xso_protocol));
    f.so_type = load<int16_t>(p + offsetof(struct xinpcb, xi_socket.so_type));
    f.vflag = load<uint8_t>(p + offsetof(struct xinpcb, inp_vflag));
    std::memcpy(&f.inc, p + offsetof(struct xinpcb, inp_inc), sizeof f.inc);
    return f;
}

inline InpFields tcp_inp_fields(const char *p) { return inp_fields(p + offsetof(struct xtcpcb, xt_inp)); }
inline int32_t tcp_state(const char *p) { return load<int32_t>(p + offsetof(struct xtcpcb, t_state)); }

inline uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// Open-addressing table from a key to the value stored with its first
// insertion; later insertions of the same key are ignored, so a lookup gives
// what a scan from the start would have found first.
template <class Key, class Value>
class FirstTable {
  public:
    // Room for `count` keys; -1 with MemoryError.
    int reserve(size_t count) {
        size_t cap = 16;
        while (cap < count + count / 2)
            cap *= 2;
        slots_.reset(static_cast<Slot *>(std::calloc(cap, sizeof(Slot))));
        if (!slots_) {
            PyErr_NoMemory();
            return -1;
        }
        mask_ = cap - 1;
        return 0;
    }
    bool ready() const { return slots_ != nullptr; }
    // The table must have room (reserve(n) with n keys in all).
    void insert(const Key &key, const Value &value) {
        for (size_t i = key.hash() & mask_;; i = (i + 1) & mask_) {
            Slot &s = slots_.get()[i];
            if (!s.used) {
                s.used = true;
                s.key = key;
                s.value = value;
                return;
            }
            if (s.key == key)
                return;
        }
    }
    const Value *find(const Key &key) const {
        for (size_t i = key.hash() & mask_;; i = (i + 1) & mask_) {
            const Slot &s = slots_.get()[i];
            if (!s.used)
                return nullptr;
            if (s.key == key)
                return &s.value;
        }
    }

  private:
    struct Slot {
        Key key;
        Value value;
        bool used;
    };
    KernelBuf<Slot> slots_;
    size_t mask_ = 0;
};

// A kernel address (xf_data of a descriptor, xso_so of a socket).
struct AddrKey {
    uint64_t addr;
    size_t hash() const { return static_cast<size_t>(mix(addr)); }
    bool operator==(const AddrKey &o) const { return addr == o.addr; }
};

// The endpoints of a TCP connection as both the descriptor table and the TCP
// list carry them: ports in network order, IPv4 addresses in the first four
// bytes of the address fields.
struct ConnKey {
    int32_t family;
    int32_t protocol;
    uint16_t lport;
    uint16_t fport;
    unsigned char laddr[16];
    unsigned char faddr[16];
    size_t hash() const {
        uint64_t h = mix(static_cast<uint64_t>(static_cast<uint32_t>(family)) << 32 |
                         static_cast<uint32_t>(protocol));
        h = mix(h ^ (static_cast<uint64_t>(lport) << 16 | fport));
        for (size_t i = 0; i < 16; i += 8)
            h = mix(h ^ load<uint64_t>(reinterpret_cast<const char *>(laddr) + i));
        for (size_t i = 0; i < 16; i += 8)
            h = mix(h ^ load<uint64_t>(reinterpret_cast<const char *>(faddr) + i));
        return static_cast<size_t>(h);
    }
    bool operator==(const ConnKey &o) const { return std::memcmp(this, &o, sizeof o) == 0; }
};
static_assert(sizeof(ConnKey) == 44, "ConnKey has no padding");

// A zeroed key of the given family and protocol.
inline ConnKey conn_key(int family, int protocol) {
    ConnKey k;
    std::memset(&k, 0, sizeof k);
    k.family = family;
    k.protocol = protocol;
    return k;
}

// The TCP list as a table from a connection's endpoints to its state: the
// stream sockets of families AF_INET and AF_INET6, the first record of equal
// endpoints winning.
class TcpStates {
  public:
    int build(const List &list) {
        size_t count = (list.trailer - list.first) / sizeof(struct xtcpcb);
        if (table_.reserve(count) < 0)
            return -1;
        return walk(list, sizeof(struct xtcpcb), "struct xtcpcb size mismatch", [this](const char *p) {
            InpFields inp = tcp_inp_fields(p);
            if (inp.so_type != SOCK_STREAM || (inp.family != AF_INET && inp.family != AF_INET6))
                return 0;
            ConnKey k = conn_key(inp.family, inp.protocol);
            k.lport = inp.inc.inc_lport;
            k.fport = inp.inc.inc_fport;
            if (inp.family == AF_INET) {
                std::memcpy(k.laddr, &inp.inc.inc_laddr, sizeof(struct in_addr));
                std::memcpy(k.faddr, &inp.inc.inc_faddr, sizeof(struct in_addr));
            } else {
                std::memcpy(k.laddr, &inp.inc.inc6_laddr, sizeof(struct in6_addr));
                std::memcpy(k.faddr, &inp.inc.inc6_faddr, sizeof(struct in6_addr));
            }
            table_.insert(k, tcp_state(p));
            return 0;
        });
    }
    bool ready() const { return table_.ready(); }
    const int32_t *find(const ConnKey &k) const { return table_.find(k); }

  private:
    FirstTable<ConnKey, int32_t> table_;
};

}  // namespace pcblist
