// Checks a strip run's exports against the reference models the native
// tests prove the line pass by: each line cut the plain way and searched
// the way the platform searches it.
//
//   quorvane_bench_worst_check SOURCE NEEDLE WITHOUT WITH [--ignore-case]
//                              [--code-page-stand-in]
//
// The harness's command line (bench/harness_args.h). Exit code 0 when both exports are what
// the reference gives, 1 when not (with the first difference), 2 on misuse.
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/harness_args.h"
#include "filter/search/search_needles.h"
#include "platform/posix/stand_ins.h"
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
    HarnessArgs args;
    if (!ReadHarnessArgs(argc, argv, "quorvane_bench_worst_check", &args)) {
        return 2;
    }
    const bool ignoreCase = args.ignoreCase;
    const std::string source = ReadFile(args.source);
    const std::u16string search = Utf8ToUtf16(args.needle);
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
    bool same = Same("without", ReadFile(args.withoutPath), mark + expected.without);
    same = Same("with", ReadFile(args.withPath), mark + expected.with) && same;
    return same ? 0 : 1;
}
