// Checks a strip run's exports against the reference models the native
// tests prove the line pass by: each line cut the plain way and searched
// the way the platform searches it.
//
//   quorvane_bench_worst_check SOURCE NEEDLE WITHOUT WITH [--ignore-case]
//                              [--code-page-stand-in]
//
// The options are the harness's. Exit code 0 when both exports are what
// the reference gives, 1 when not (with the first difference), 2 on misuse.
#include <cstdio>
#include <cstring>
#include <string>

#include "filter/search_needles.h"
#include "platform/posix/posix_form.h"
#include "tests/native/test_support.h"

namespace {

size_t FirstDifference(const std::string& a, const std::string& b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) {
        ++i;
    }
    return i;
}

bool Same(const char* what, const std::string& got, const std::string& expected)
{
    if (got == expected) {
        return true;
    }
    std::fprintf(stderr, "%s: %zu bytes, the reference %zu; first difference at %zu\n", what, got.size(),
                 expected.size(), FirstDifference(got, expected));
    return false;
}

}  // namespace

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
        std::fprintf(stderr, "usage: quorvane_bench_worst_check SOURCE NEEDLE WITHOUT WITH [--ignore-case] "
                             "[--code-page-stand-in]\n");
        return 2;
    }
    const std::string source = ReadFile(args[0]);
    const std::u16string search = Utf8ToUtf16(args[1]);
    SearchNeedles needles;
    if (!MakeSearchNeedles(search.c_str(), ignoreCase, &needles)) {
        std::fprintf(stderr, "the search text cannot be searched for\n");
        return 2;
    }
    TextRules rules;
    PlatformGetTextRules(&rules);
    std::string mark;
    Routed expected;
    if (source.compare(0, 2, "\xFF\xFE") == 0 || source.compare(0, 2, "\xFE\xFF") == 0) {
        mark = source.substr(0, 2);
        expected = ReferenceRouteUtf16(source.substr(2), needles.utf16, ignoreCase, mark[0] == '\xFE');
    } else {
        if (source.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            mark = source.substr(0, 3);
        }
        expected = ReferenceRouteUtf8(source.substr(mark.size()), needles, rules);
    }
    bool same = Same("without", ReadFile(args[2]), mark + expected.without);
    same = Same("with", ReadFile(args[3]), mark + expected.with) && same;
    return same ? 0 : 1;
}
