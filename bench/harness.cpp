// Runs one strip on Linux, through the same RunStrip and the POSIX platform
// layer the native tests use, with the form filled in as a user would: both
// exports on, rewrite mode, both export paths given.
//
//   quorvane_bench_harness SOURCE NEEDLE WITHOUT_PATH WITH_PATH [--ignore-case]
//                          [--code-page-stand-in]
//
// (bench/harness_args.h.) Arguments are UTF-8. The run itself reports nothing (as in the program);
// the benchmark checks the exports it leaves.
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/harness_args.h"
#include "filter/filter.h"
#include "platform/posix/stand_ins.h"
#include "resources/resource_ids.h"

int main(int argc, char** argv)
{
    HarnessArgs args;
    if (!ReadHarnessArgs(argc, argv, "quorvane_bench_harness", &args)) {
        return 2;
    }

    PosixForm form;
    form.SetText(IDC_SOURCE_PATH, args.source);
    form.SetText(IDC_SEARCH_TEXT, args.needle);
    form.SetText(IDC_WITHOUT_PATH, args.withoutPath);
    form.SetText(IDC_WITH_PATH, args.withPath);
    form.SetCheck(IDC_EXPORT_WITHOUT, !args.withoutOff);
    form.SetCheck(IDC_EXPORT_WITH, true);
    form.SetCheck(IDC_APPEND_WITHOUT, false);
    form.SetCheck(IDC_APPEND_WITH, false);
    form.SetCheck(IDC_IGNORE_CASE, args.ignoreCase);

    // A file a run rewrites goes to a trash beside the exports, not the user's.
    const std::string with = args.withPath;
    std::string folder = with.substr(0, with.rfind('/') + 1);
    PosixSetTrashFolder(folder + ".quorvane-bench-trash");
    RunStrip(&form);
    return 0;
}
