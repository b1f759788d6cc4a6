// ozatool info and verify: an update file read the way the device opens it,
// with the device's rules on every chunk. info lists every chunk with its
// offset, length and decoded fields; verify says in one line whether the
// device would accept the file and walk all of it, and lists what it found.
// Both exit 0 when it would and every check passed, 1 when it would refuse
// it or a check failed, 2 on a usage error or when a key is missing to tell.
// --json prints one JSON document instead.
#include "tools/ozatool/check_options.h"
#include "tools/ozatool/cli.h"

#include <cstring>

namespace {

std::string verdict(const inspection &r) {
    return "the device stops with " + std::to_string(r.result) + " (" + oza_result_text(r.result) +
           ") at offset " + std::to_string(r.result_offset) + ": " + r.result_text;
}

// Parses the options of info and verify; -1 to go on, else the exit status.
int parse(int argc, char **argv, check_options *o, const char **file) {
    const char *name = argv[0];
    const std::vector<option> options = with_check_options(nullptr);
    int opt;
    while ((opt = cli_option(argc, argv, "", options.data())) != -1) {
        if (opt == cli_help) return help(name);
        if (opt == cli_bad) return usage(name);
        const int r = check_option(name, opt, optarg, o);
        if (r < 0) return 2;
        if (r == 0) return usage(name);
    }
    if (argc - optind != 1) return usage(name);
    *file = argv[optind];
    return check_finish(name, o) ? -1 : 2;
}

std::string where(const inspection &r, const finding &f) {
    return chunk_place(r, f);
}

// The common run of info and verify: the options, the inspection, the JSON
// document; report prints the text form. The exit status.
int run(int argc, char **argv,
        void (*report)(const char *file, const check_options &o, const inspection &r, int status)) {
    check_options o;
    const char *file = nullptr;
    int status = parse(argc, argv, &o, &file);
    if (status >= 0) return status;
    inspection r;
    if (!inspect_path(argv[0], file, o, &r)) return 2;
    status = inspection_status(r, o.strict);
    if (o.json)
        print_json(inspection_json(file, r, o.strict, o.device.target));
    else if (verbosity > 0)
        report(file, o, r, status);
    return status;
}

void info_report(const char *file, const check_options &o, const inspection &r, int status) {
    printf("%s: %llu bytes, %s\n", file, static_cast<unsigned long long>(r.size),
           r.enciphered ? "enciphered" : "plain");
    if (r.slot) printf("signature: slot %d, %s\n", r.slot, r.signature_text.c_str());
    printf("%10s %10s  chunk\n", "offset", "length");
    for (size_t i = 0; i < r.chunks.size(); i++) {
        const inspected_chunk &c = r.chunks[i];
        printf("%10llu %10llu  %-4s  %s\n", static_cast<unsigned long long>(c.offset),
               static_cast<unsigned long long>(c.length), c.fourcc.empty() ? "-" : c.fourcc.c_str(),
               c.summary.c_str());
        for (const finding &f : r.findings) {
            if (f.chunk != int(i)) continue;
            const char *level = f.level == severity_error     ? "!"
                                : f.level == severity_warning ? "warning"
                                                              : "note";
            std::string line = f.code ? std::string("! ") + std::to_string(f.code) : level;
            if (!f.field.empty()) line += " " + f.field;
            line += ": " + f.text;
            if (!f.suggestion.empty()) line += " (did you mean \"" + f.suggestion + "\"?)";
            printf("%29s%s\n", "", line.c_str());
        }
    }
    for (const finding &f : r.findings)
        if (f.chunk < 0)
            printf("%s: %s\n", f.level == severity_error ? "error" : "warning", f.text.c_str());
    for (const std::string &d : r.diagnoses) printf("likely cause: %s\n", d.c_str());
    if (verbosity > 1 || status == 2)
        for (const std::string &u : r.unchecked) printf("unchecked: %s\n", u.c_str());
    if (r.result)
        printf("result: %s\n", verdict(r).c_str());
    else if (!r.readable)
        printf("result: the chunks were not read\n");
    else if (r.faults(o.strict))
        printf("result: the device opens the file and walks every chunk%s, but %zu check%s "
               "failed\n",
               r.signature == signature_valid ? "" : " (signature not checked)", r.faults(o.strict),
               r.faults(o.strict) == 1 ? "" : "s");
    else
        printf("result: the device opens the file and walks every chunk%s\n",
               r.signature == signature_valid ? "" : " (signature not checked)");
}

void verify_report(const char *file, const check_options &o, const inspection &r, int status) {
    const char *target = o.device.target ? o.device.target->name : "full";
    if (r.result != 0)
        printf("%s: refused: %s\n", file, verdict(r).c_str());
    else if (status == 1)
        printf("%s: invalid: %zu check%s failed (the device, %s build, %s)\n", file,
               r.faults(o.strict), r.faults(o.strict) == 1 ? "" : "s", target,
               r.signature == signature_valid ? "walks the file but misreads or skips what is named"
                                              : "would misread or skip what is named");
    else if (status == 2)
        printf("%s: cannot tell: signature %s%s\n", file, r.signature_text.c_str(),
               r.readable ? "" : "; the chunks cannot be deciphered");
    else
        printf("%s: valid: the device (%s build) opens it and walks every chunk; signature slot "
               "%d %s\n",
               file, target, r.slot, r.signature_text.c_str());
    fputs(findings_text(r, [&](const finding &f) { return where(r, f); }).c_str(), stdout);
}

} // namespace

int info_main(int argc, char **argv) {
    return run(argc, argv, info_report);
}

int verify_main(int argc, char **argv) {
    return run(argc, argv, verify_report);
}
