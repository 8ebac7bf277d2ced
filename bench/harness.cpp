// Runs one strip on Linux, through the same RunStrip and the POSIX platform
// layer the native tests use, with the form filled in as a user would: both
// exports on, rewrite mode, both export paths given.
//
//   quorvane_bench_harness SOURCE NEEDLE WITHOUT_PATH WITH_PATH [--ignore-case]
//                          [--code-page-stand-in]
//
// --code-page-stand-in: the code page is not UTF-8 (it holds ASCII only),
// as on a Windows system whose code page is 950 or 1252: the UTF-8 rule
// judges a source's UTF-8 lines.
// Arguments are UTF-8. The run itself reports nothing (as in the program);
// the benchmark checks the exports it leaves.
#include <cstdio>
#include <cstring>
#include <string>

#include "filter/filter.h"
#include "platform/posix/posix_form.h"
#include "resources/resource_ids.h"

int main(int argc, char** argv)
{
    bool ignoreCase = false;
    const char* args[4] = {};
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ignore-case") == 0) {
            ignoreCase = true;
        } else if (std::strcmp(argv[i], "--code-page-stand-in") == 0) {
            PosixCodePagePlan()->asciiOnly = true;
        } else if (count < 4) {
            args[count++] = argv[i];
        } else {
            count = 5;
        }
    }
    if (count != 4) {
        std::fprintf(stderr,
                     "usage: quorvane_bench_harness SOURCE NEEDLE WITHOUT_PATH WITH_PATH "
                     "[--ignore-case] [--code-page-stand-in]\n");
        return 2;
    }

    PosixForm form;
    form.SetText(IDC_SOURCE_PATH, args[0]);
    form.SetText(IDC_SEARCH_TEXT, args[1]);
    form.SetText(IDC_WITHOUT_PATH, args[2]);
    form.SetText(IDC_WITH_PATH, args[3]);
    form.SetCheck(IDC_EXPORT_WITHOUT, true);
    form.SetCheck(IDC_EXPORT_WITH, true);
    form.SetCheck(IDC_APPEND_WITHOUT, false);
    form.SetCheck(IDC_APPEND_WITH, false);
    form.SetCheck(IDC_IGNORE_CASE, ignoreCase);

    RunStrip(&form);
    return 0;
}
