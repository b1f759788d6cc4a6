// ozatool info and verify: an update file read the way the device opens it.
// info lists every chunk with its offset, length and decoded fields, the
// signature and what the device would refuse; verify says only whether the
// device would accept the file, in its exit status: 0 accepted, 1 refused,
// 2 when it cannot tell (no key for the signature or the cipher, an
// unreadable file, a usage error).
#include "tools/ozatool/format.h"
#include "tools/ozatool/inspect.h"

#include <cerrno>
#include <cstring>
#include <getopt.h>

namespace {

struct inspect_options {
    const char *file = nullptr;
    const char *block = nullptr, *mmc = nullptr;
    bool quiet = false;
    inspect_keys keys;
    key_store store;
};

bool read_record(const char *name, const std::string &path, size_t size, bool exact,
                 std::optional<bytes> *out) {
    bytes record;
    if (!read_whole(path, &record))
        return fail(name, "cannot read %s: %s", path.c_str(), strerror(errno)), false;
    if (exact ? record.size() != size : record.size() < size)
        return fail(name, "%s holds %zu bytes, not the %zu of a key record", path.c_str(),
                    record.size(), size),
               false;
    *out = record;
    return true;
}

// Parses the options common to info and verify; returns -1 to go on, or the
// exit status.
int parse_options(int argc, char **argv, inspect_options *o) {
    const char *name = argv[0];
    enum { opt_key = 256, opt_aes, opt_block, opt_mmc, opt_builtin };
    static const option long_options[] = {{"key", required_argument, nullptr, opt_key},
                                          {"aes", required_argument, nullptr, opt_aes},
                                          {"block", required_argument, nullptr, opt_block},
                                          {"mmc", required_argument, nullptr, opt_mmc},
                                          {"builtin", required_argument, nullptr, opt_builtin},
                                          {"quiet", no_argument, nullptr, 'q'},
                                          {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "q", long_options, nullptr)) != -1) {
        switch (opt) {
        case opt_key:
            if (!read_record(name, optarg, 144, true, &o->keys.key)) return 2;
            break;
        case opt_aes:
            if (!read_record(name, optarg, 2, false, &o->keys.aes)) return 2;
            break;
        case opt_block: o->block = optarg; break;
        case opt_mmc: o->mmc = optarg; break;
        case opt_builtin: {
            const std::string dir = optarg;
            if (!read_record(name, dir + "/slot5.keyrec", 144, true, &o->keys.builtin_slot5) ||
                !read_record(name, dir + "/fallback.keyrec", 144, true,
                             &o->keys.builtin_fallback) ||
                !read_record(name, dir + "/aes_default.keyrec", 18, true, &o->keys.builtin_aes))
                return 2;
            break;
        }
        case 'q': o->quiet = true; break;
        default: return usage(name);
        }
    }
    if (argc - optind != 1 || (o->block && o->mmc)) return usage(name);
    o->file = argv[optind];
    if (o->block || o->mmc) {
        std::string error;
        if (!load_key_store(o->block, o->mmc, &o->store, &error))
            return fail(name, "%s", error.c_str()), 2;
        o->keys.store = &o->store;
    }
    return -1;
}

int inspect_named(const char *name, const inspect_options &o, inspection *result) {
    bytes file;
    if (!read_whole(o.file, &file))
        return fail(name, "cannot read %s: %s", o.file, strerror(errno)), 2;
    inspect_file(file, o.keys, result);
    return -1;
}

std::string verdict(const inspection &r) {
    if (r.result == -1)
        return "malformed at offset " + std::to_string(r.result_offset) + ": " + r.result_text;
    return "the device stops with " + std::to_string(r.result) + " (" + oza_result_text(r.result) +
           ") at offset " + std::to_string(r.result_offset) + ": " + r.result_text;
}

} // namespace

int info_main(int argc, char **argv) {
    inspect_options o;
    int status = parse_options(argc, argv, &o);
    if (status >= 0) return status;
    inspection r;
    if ((status = inspect_named(argv[0], o, &r)) >= 0) return status;

    printf("%s: %llu bytes, %s\n", o.file, static_cast<unsigned long long>(r.size),
           r.enciphered ? "enciphered" : "plain");
    if (r.slot) printf("signature: slot %d, %s\n", r.slot, r.signature_text.c_str());
    printf("%10s %10s  chunk\n", "offset", "length");
    for (const inspected_chunk &c : r.chunks) {
        printf("%10llu %10llu  %-4s  %s\n", static_cast<unsigned long long>(c.offset),
               static_cast<unsigned long long>(c.length), c.fourcc.empty() ? "-" : c.fourcc.c_str(),
               c.fields.c_str());
        for (const finding &f : c.findings) {
            if (f.code > 0)
                printf("%29s! %d: %s\n", "", f.code, f.text.c_str());
            else
                printf("%29s%s: %s\n", "", f.code < 0 ? "! malformed" : "note", f.text.c_str());
        }
    }
    if (r.result)
        printf("result: %s\n", verdict(r).c_str());
    else if (!r.readable)
        printf("result: the chunks were not read\n");
    else
        printf("result: the device opens the file and walks every chunk%s\n",
               r.signature == signature_valid ? "" : " (signature not checked)");
    return 0;
}

int verify_main(int argc, char **argv) {
    inspect_options o;
    int status = parse_options(argc, argv, &o);
    if (status >= 0) return status;
    inspection r;
    if ((status = inspect_named(argv[0], o, &r)) >= 0) return status;

    if (r.result != 0) {
        if (!o.quiet) printf("%s: refused: %s\n", o.file, verdict(r).c_str());
        return 1;
    }
    if (r.signature != signature_valid || !r.readable) {
        if (!o.quiet)
            printf("%s: cannot tell: signature %s%s\n", o.file, r.signature_text.c_str(),
                   r.readable ? "" : "; the chunks cannot be deciphered");
        return 2;
    }
    if (!o.quiet)
        printf("%s: valid: signature slot %d %s\n", o.file, r.slot, r.signature_text.c_str());
    return 0;
}
