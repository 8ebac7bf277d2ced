// Large logs for runs that last seconds: one block of lines written many
// times, so that what a run should leave in each file is known without
// keeping it, and a file is checked against it at the speed of memcmp.
#ifndef QUORVANE_BIG_LOG_H
#define QUORVANE_BIG_LOG_H

#include <cstdint>
#include <string>
#include <vector>

// The lines of one block: every sixth contains "ERROR".
struct LogBlock {
    std::string all;
    std::string withError;
    std::string withoutError;
};
const LogBlock& TheLogBlock();

// Part of what a file is expected to hold: text, written times times.
struct Piece {
    const std::string* text;
    uint64_t times;
};

// Writes the pieces one after another into a new file; false on a failure.
bool WriteFilePieces(const std::wstring& path, const std::vector<Piece>& pieces);
// True when the file holds exactly the pieces; else *why says what differs.
bool FileHoldsPieces(const std::wstring& path, const std::vector<Piece>& pieces, std::string* why);

#endif
