/*
 * osk-mkrelease: makes an update package from options or a manifest.
 */
#include <stdio.h>
#include <string.h>

#include "mkrelease.h"

#include "osk_banned.h"

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    mkrel_release rel;
    std::string err;

    for (const std::string &a : args) {
        if (a == "--help" || a == "-h") {
            fputs(mkrel_usage, stdout);
            return 0;
        }
    }
    if (args.empty()) {
        fputs(mkrel_usage, stderr);
        return 2;
    }
    if (mkrel_parse_args(&rel, args, &err) != 0) {
        fprintf(stderr, "osk-mkrelease: %s\nTry 'osk-mkrelease --help'.\n", err.c_str());
        return 2;
    }
    if (mkrel_build(&rel, &err) != 0) {
        fprintf(stderr, "osk-mkrelease: %s\n", err.c_str());
        return 1;
    }
    return 0;
}
