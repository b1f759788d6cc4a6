// devbox-tool: the command line of the device box (tools/devbox runs it).
#include "box_tool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char usage_text[] =
    "usage: devbox init DIR [--board NAME] [--revision REV] [--basic] [--unit NAME]\n"
    "                   [--keys DIR] [--charger KIND] [--voltage UV] [--current UA]\n"
    "                   [--usb-switch TEXT] [--fb WxHxBPP[xLINE]] [--inputs N]\n"
    "                   [--hdmi-mode R,W,H,PIXCLOCK,VMODE]... [--hdmi-max-pixclock KHZ]\n"
    "                   [--flash-protect START:LENGTH] [--boot-entry N]\n"
    "                   [--wifi-mac MAC] [--eth-mac MAC] [--loop] [--allow-weak-key]\n"
    "       devbox run [--bind PATH]... [--env NAME=VALUE]... [--fault SPEC] DIR [--]\n"
    "                  COMMAND [ARG]...\n"
    "       devbox start [--bind PATH]... [--env NAME=VALUE]... [--owner PID] DIR\n"
    "       devbox exec [--env NAME=VALUE]... [--fault SPEC] DIR [--] COMMAND [ARG]...\n"
    "       devbox stop DIR\n"
    "       devbox --help\n"
    "charger kinds: dcin twl-usb twl-usb-dc bq24167 none other missing\n"
    "--keys DIR takes aes.keyrec, image.keyrec, slot1.keyrec ... slot4.keyrec; public keys with\n"
    "an exponent below 65537 or a modulus below 1024 bits are refused unless --allow-weak-key.\n";

int usage() {
    fputs(usage_text, stderr);
    return 2;
}

int help() {
    fputs(usage_text, stdout);
    return 0;
}

bool is_help(const char *arg) {
    return strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0;
}

std::string absolute(const std::string &path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

bool number(const char *text, long &out) {
    char *end = nullptr;
    out = strtol(text, &end, 0);
    return *text != '\0' && *end == '\0';
}

// Parses "init" options; false on an unknown option or a bad value.
bool parse_init(int argc, char **argv, init_options &o) {
    if (const char *root = getenv("DEVBOX_ROOT")) o.keys = std::string(root) + "/keys/development";
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--basic") {
            o.basic = true;
            continue;
        }
        if (a == "--loop") {
            o.loop = true;
            continue;
        }
        if (a == "--allow-weak-key") {
            o.allow_weak_key = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            if (!o.dir.empty()) return false;
            o.dir = absolute(a);
            continue;
        }
        static const char *const valued[] = {
            "--board",      "--revision",  "--unit",          "--keys",     "--charger",
            "--usb-switch", "--hdmi-mode", "--flash-protect", "--wifi-mac", "--eth-mac",
            "--fb",         "--voltage",   "--current",       "--inputs",   "--hdmi-max-pixclock",
            "--boot-entry"};
        bool known = false;
        for (const char *k : valued) known = known || a == k;
        if (!known) {
            box_error("unknown option '%s'", a.c_str());
            return false;
        }
        if (i + 1 >= argc) {
            box_error("option '%s' needs a value", a.c_str());
            return false;
        }
        const char *v = argv[++i];
        long n = 0;
        if (a == "--board")
            o.board = v;
        else if (a == "--revision")
            o.revision = v;
        else if (a == "--unit")
            o.unit = v;
        else if (a == "--keys")
            o.keys = absolute(v);
        else if (a == "--charger")
            o.charger = v;
        else if (a == "--usb-switch")
            o.usb_switch = v;
        else if (a == "--hdmi-mode")
            o.hdmi_modes.push_back(v);
        else if (a == "--flash-protect")
            o.flash_protect = v;
        else if (a == "--wifi-mac")
            o.wifi_mac = v;
        else if (a == "--eth-mac")
            o.eth_mac = v;
        else if (a == "--fb") {
            unsigned w = 0, h = 0, bpp = 0, line = 0;
            int got = sscanf(v, "%ux%ux%ux%u", &w, &h, &bpp, &line);
            if (got < 3) return false;
            o.fb_width = w;
            o.fb_height = h;
            o.fb_bpp = bpp;
            o.fb_line = got == 4 ? line : 0;
        } else if (!number(v, n)) {
            box_error("option '%s': '%s' is not a number", a.c_str(), v);
            return false;
        } else if (a == "--voltage")
            o.voltage = n;
        else if (a == "--current")
            o.current = n;
        else if (a == "--inputs")
            o.inputs = static_cast<int>(n);
        else if (a == "--hdmi-max-pixclock")
            o.hdmi_max_pixclock = static_cast<unsigned>(n);
        else
            o.boot_entry = static_cast<int>(n);
    }
    return !o.dir.empty();
}

// Parses run/start/exec options, the box folder and the command.
bool parse_run(int argc, char **argv, bool want_command, run_options &o) {
    int i = 0;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--bind" && i + 1 < argc)
            o.binds.push_back(argv[++i]);
        else if (a == "--env" && i + 1 < argc && strchr(argv[i + 1], '=') != nullptr)
            o.env.push_back(argv[++i]);
        else if (a == "--fault" && i + 1 < argc && want_command)
            o.fault = argv[++i];
        else if (a == "--owner" && i + 1 < argc)
            o.owner = atoi(argv[++i]);
        else if (a.rfind("--", 0) == 0) {
            box_error("unknown option '%s'", a.c_str());
            return false;
        } else
            break;
    }
    if (i >= argc) return false;
    char real[4096];
    if (realpath(argv[i], real) == nullptr) {
        box_error("%s: no such box folder", argv[i]);
        return false;
    }
    o.dir = real;
    ++i;
    if (i < argc && strcmp(argv[i], "--") == 0) ++i;
    for (; i < argc; ++i) o.command.push_back(argv[i]);
    return want_command ? !o.command.empty() : o.command.empty();
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (is_help(argv[i])) return help();
    std::string verb = argv[1];
    if (verb == "init") {
        init_options o;
        if (!parse_init(argc - 2, argv + 2, o)) return usage();
        return box_init(o);
    }
    run_options o;
    if (verb == "run" || verb == "exec") {
        if (!parse_run(argc - 2, argv + 2, true, o)) return usage();
        return verb == "run" ? box_run(o) : box_exec(o);
    }
    if (verb == "start") {
        if (!parse_run(argc - 2, argv + 2, false, o)) return usage();
        return box_start(o);
    }
    if (verb == "stop") {
        if (!parse_run(argc - 2, argv + 2, false, o)) return usage();
        return box_stop(o.dir);
    }
    return usage();
}
