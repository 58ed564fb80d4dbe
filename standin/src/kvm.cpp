// Stand-in libkvm: opening and closing handles, and their error text.
//
// Faults: "kvm_open" and "kvm_openfiles" (key: the core file) fail the open;
// the fault's answer, if any, is the library's error text. Past the caller's
// descriptor limit the open fails as libkvm's does ("/dev/null: Too many
// open files", errno EMFILE).
#include <cerrno>
#include <cstdio>

#include "kvm.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const char *kvm_set_error(struct __kvm *kd, std::string text) {
    kd->err = std::move(text);
    return kd->err.c_str();
}

void kvm_report(struct __kvm *kd, const std::string &text) {
    if (kd->to_stderr)
        std::fprintf(stderr, "%s: %s\n", kd->program.c_str(), text.c_str());
    else
        kvm_set_error(kd, text);
}

namespace {

kvm_t *open_handle(const char *call, const char *corefile, std::string *error) {
    const Machine &m = current();
    Action a = check(m, call, corefile ? corefile : "");
    if (a.fail) {
        if (a.err)
            errno = a.err;
        *error = a.raw ? *a.raw : std::string(call) + ": cannot open";
        return nullptr;
    }
    // A live handle opens the core file (/dev/null) twice; a failed open
    // leaves libkvm's _kvm_syserr text: the file, then strerror.
    if (int err = descriptors_exhausted(m, 2)) {
        *error = std::string(corefile ? corefile : "/dev/mem") + ": " + fbsd_strerror(err);
        errno = err;
        return nullptr;
    }
    auto *kd = new __kvm;
    kd->machine = snapshot();
    acquire(*kd->machine, R_KVM);
    return kd;
}

}  // namespace
}  // namespace fakebsd

using namespace fakebsd;

extern "C" kvm_t *fbsd_kvm_openfiles(const char *, const char *corefile, const char *, int,
                                     char *errbuf) {
    std::string error;
    kvm_t *kd = open_handle("kvm_openfiles", corefile, &error);
    if (!kd && errbuf)
        std::snprintf(errbuf, _POSIX2_LINE_MAX, "%s", error.c_str());
    return kd;
}

extern "C" kvm_t *fbsd_kvm_open(const char *, const char *corefile, const char *, int,
                                const char *errstr) {
    std::string error;
    kvm_t *kd = open_handle("kvm_open", corefile, &error);
    // libkvm writes its diagnostic, after the caller's prefix, to standard
    // error; so it does with every later error of this handle.
    if (!kd && errstr)
        std::fprintf(stderr, "%s: %s\n", errstr, error.c_str());
    if (kd && errstr) {
        kd->to_stderr = true;
        kd->program = errstr;
    }
    return kd;
}

extern "C" char *fbsd_kvm_geterr(kvm_t *kd) {
    static char empty[] = "";
    return kd ? kd->err.data() : empty;
}

extern "C" int fbsd_kvm_close(kvm_t *kd) {
    if (!kd)
        return -1;
    release(*kd->machine, R_KVM);
    delete kd;
    return 0;
}
