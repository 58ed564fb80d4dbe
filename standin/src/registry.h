// Reflection tables over the stand-in's FreeBSD records: every record that the
// control module can pack or unpack, with each field's offset, size and kind.
// The tables are derived from the record definitions themselves (offsetof,
// decltype), so the headers under include/fakebsd stay the one source of truth;
// the FreeBSD cross-compile check turns the same tables into static_asserts
// against FreeBSD's own headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace fakebsd {

enum class Kind {
    Int,       // signed integer scalar
    UInt,      // unsigned integer scalar
    IntArray,  // array of signed integers   (Python: list of int)
    UIntArray, // array of unsigned integers (Python: list of int)
    Chars,     // char array                 (Python: bytes or str)
    Bytes,     // anything else, opaque      (Python: bytes)
};

struct FieldInfo {
    std::string path;  // "ki_pid", "ki_rusage.ru_utime.tv_sec", "xt_inp.inp_inc.inc_lport"
    size_t offset;
    size_t size;       // whole field (whole array for arrays)
    Kind kind;
    size_t elem_size;  // element size for arrays, == size for scalars
};

struct RecordInfo {
    std::string name;   // registry name, e.g. "kinfo_proc", "cpuset_t"
    std::string ctype;  // the C type as FreeBSD spells it: "struct kinfo_proc", "cpuset_t"
    size_t size;
    std::vector<FieldInfo> fields;
};

template <class F>
FieldInfo make_field(const char *path, size_t offset) {
    using T = std::remove_cvref_t<F>;
    FieldInfo f{path, offset, sizeof(T), Kind::Bytes, sizeof(T)};
    if constexpr (std::is_array_v<T>) {
        using E = std::remove_cv_t<std::remove_all_extents_t<T>>;
        f.elem_size = sizeof(E);
        if constexpr (std::is_same_v<E, char> || std::is_same_v<E, unsigned char> ||
                      std::is_same_v<E, signed char>)
            f.kind = Kind::Chars;
        else if constexpr (std::is_integral_v<E> || std::is_enum_v<E>)
            f.kind = std::is_signed_v<E> ? Kind::IntArray : Kind::UIntArray;
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        f.kind = std::is_signed_v<T> ? Kind::Int : Kind::UInt;
    } else if constexpr (std::is_pointer_v<T>) {
        f.kind = Kind::UInt;  // kernel addresses travel as plain integers
    }
    return f;
}

// One field of record type T, by member designator (nested paths allowed).
#define FBSD_FIELD(T, path) ::fakebsd::make_field<decltype(((T *)nullptr)->path)>(#path, offsetof(T, path))
// A record: registry name, C spelling, type, then its FBSD_FIELD list.
#define FBSD_RECORD(name, ctype, T, ...) ::fakebsd::RecordInfo{name, ctype, sizeof(T), {__VA_ARGS__}}

// A named integer constant of the simulated platform (FreeBSD's value).
struct ConstInfo {
    std::string name;
    long long value;
};
#define FBSD_CONST(name) ::fakebsd::ConstInfo{#name, (long long)(name)}

// Each capability group contributes its records and constants; registry.cpp
// lists the groups.
const std::vector<RecordInfo> &all_records();
const RecordInfo *find_record(std::string_view name);
const std::vector<ConstInfo> &all_constants();

}  // namespace fakebsd
