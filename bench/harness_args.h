// The command line the benchmark's native programs share:
//
//   SOURCE NEEDLE WITHOUT_PATH WITH_PATH [--ignore-case] [--code-page-stand-in]
//                                        [--without-off]
//
// --without-off: the without-string export is off, as in the form as it
// opens (an extraction): its lines are counted, not written.
// --code-page-stand-in: the code page is not UTF-8 (it holds ASCII only),
// as on a Windows system whose code page is 950 or 1252: the UTF-8 rule
// judges a source's UTF-8 lines.
#ifndef QUORVANE_BENCH_HARNESS_ARGS_H
#define QUORVANE_BENCH_HARNESS_ARGS_H

#include <cstdio>
#include <cstring>

#include "platform/posix/stand_ins.h"

struct HarnessArgs {
    const char* source;
    const char* needle;
    const char* withoutPath;
    const char* withPath;
    bool ignoreCase;
    bool withoutOff;
};

// False, with the usage told, when the words are off. Sets the code page
// stand-in when asked.
inline bool ReadHarnessArgs(int argc, char** argv, const char* program, HarnessArgs* args)
{
    const char* given[4] = {};
    int count = 0;
    args->ignoreCase = false;
    args->withoutOff = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ignore-case") == 0) {
            args->ignoreCase = true;
        } else if (std::strcmp(argv[i], "--without-off") == 0) {
            args->withoutOff = true;
        } else if (std::strcmp(argv[i], "--code-page-stand-in") == 0) {
            PosixCodePagePlan()->asciiOnly = true;
        } else if (count < 4) {
            given[count++] = argv[i];
        } else {
            count = 5;
        }
    }
    if (count != 4) {
        std::fprintf(stderr, "usage: %s SOURCE NEEDLE WITHOUT_PATH WITH_PATH [--ignore-case] [--code-page-stand-in] [--without-off]\n",
                     program);
        return false;
    }
    args->source = given[0];
    args->needle = given[1];
    args->withoutPath = given[2];
    args->withPath = given[3];
    return true;
}

#endif
