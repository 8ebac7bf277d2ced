#include "tests/win_live/big_log.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const size_t kChunk = 8 << 20;

// The bytes of the pieces, in order, a chunk at a time.
class PieceStream {
public:
    explicit PieceStream(const std::vector<Piece>& pieces) : pieces_(pieces) {}
    // Up to capacity next bytes into buffer; their count (0 at the end).
    size_t Next(char* buffer, size_t capacity)
    {
        size_t filled = 0;
        while (filled < capacity && index_ < pieces_.size()) {
            const Piece& piece = pieces_[index_];
            if (done_ == piece.times || piece.text->empty()) {
                ++index_;
                done_ = 0;
                offset_ = 0;
                continue;
            }
            size_t n = piece.text->size() - offset_;
            if (n > capacity - filled) {
                n = capacity - filled;
            }
            memcpy(buffer + filled, piece.text->data() + offset_, n);
            filled += n;
            offset_ += n;
            if (offset_ == piece.text->size()) {
                offset_ = 0;
                ++done_;
            }
        }
        return filled;
    }

private:
    const std::vector<Piece>& pieces_;
    size_t index_ = 0;
    uint64_t done_ = 0;
    size_t offset_ = 0;
};

}  // namespace

const LogBlock& TheLogBlock()
{
    static const LogBlock block = [] {
        LogBlock b;
        char line[96];
        for (int i = 0; i < 16384; ++i) {
            if (i % 6 == 3) {
                snprintf(line, sizeof line, "2024-05-01 10:%02d:%02d ERROR request %05d failed: timeout\r\n",
                         i / 60 % 60, i % 60, i);
                b.withError += line;
            } else {
                snprintf(line, sizeof line, "2024-05-01 10:%02d:%02d INFO  request %05d served in %d ms\r\n",
                         i / 60 % 60, i % 60, i, i % 97);
                b.withoutError += line;
            }
            b.all += line;
        }
        return b;
    }();
    return block;
}

bool WriteFilePieces(const std::wstring& path, const std::vector<Piece>& pieces)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::vector<char> buffer(kChunk);
    PieceStream stream(pieces);
    bool ok = true;
    for (size_t n; ok && (n = stream.Next(buffer.data(), buffer.size())) > 0;) {
        DWORD written = 0;
        ok = WriteFile(file, buffer.data(), static_cast<DWORD>(n), &written, nullptr) && written == n;
    }
    return CloseHandle(file) && ok;
}

bool FileHoldsPieces(const std::wstring& path, const std::vector<Piece>& pieces, std::string* why)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = "cannot be opened, error " + std::to_string(GetLastError());
        return false;
    }
    std::vector<char> expected(kChunk);
    std::vector<char> actual(kChunk);
    PieceStream stream(pieces);
    uint64_t at = 0;
    bool same = true;
    for (;;) {
        size_t want = stream.Next(expected.data(), expected.size());
        DWORD got = 0;
        size_t total = 0;
        // Read as much as is expected, or one byte past the end.
        size_t ask = want == 0 ? 1 : want;
        while (total < ask && ReadFile(file, actual.data() + total, static_cast<DWORD>(ask - total), &got, nullptr) &&
               got > 0) {
            total += got;
        }
        if (total != want || memcmp(expected.data(), actual.data(), want) != 0) {
            size_t i = 0;
            while (i < want && i < total && expected[i] == actual[i]) {
                ++i;
            }
            *why = "differs at byte " + std::to_string(at + i) + ": expected \"" +
                   std::string(expected.data() + i, want - i < 40 ? want - i : 40) + "\", found \"" +
                   std::string(actual.data() + i, total - i < 40 ? total - i : 40) + "\"";
            same = false;
            break;
        }
        if (want == 0) {
            break;
        }
        at += want;
    }
    CloseHandle(file);
    return same;
}
