// The satellite's path: the module's whole path with ".mui", or none when
// the path does not fit, never a cut path with ".mui" after it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "tests/win/win_test_support.h"

namespace {

TEST(SatellitePath, IsTheWholeModulePathWithMuiOrNone)
{
    const std::wstring exe = OwnExePath();
    ASSERT_GT(exe.size(), 8u);
    const DWORD length = static_cast<DWORD>(exe.size());
    std::vector<WCHAR> buffer(length + 64);

    // Just room for the path, ".mui" and the terminator.
    std::fill(buffer.begin(), buffer.end(), L'#');
    ASSERT_TRUE(SatellitePath(nullptr, buffer.data(), length + 5));
    EXPECT_EQ(std::wstring(buffer.data()), exe + L".mui");
    EXPECT_EQ(buffer[length + 5], L'#');

    // Less room: the module's path fills the room it is given, or does not
    // fit at all. Nothing is written past the room.
    for (DWORD capacity : {length + 4, length + 1, length, length / 2, DWORD{5}, DWORD{1}, DWORD{0}}) {
        std::fill(buffer.begin(), buffer.end(), L'#');
        EXPECT_FALSE(SatellitePath(nullptr, buffer.data(), capacity)) << "capacity " << capacity;
        EXPECT_EQ(buffer[capacity], L'#') << "capacity " << capacity;
    }
}

}  // namespace
