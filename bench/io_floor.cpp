// What the strip run's reads and writes cost without the line pass: the
// least any version of its design can take, to set beside cp.
//
//   quorvane_bench_io_floor copy|gather SOURCE NEEDLE WITHOUT WITH
//
// (the harness's arguments, so bench/alternate.py can run it; the needle is
// not looked at). The source is read through a window of 1 MiB, as the run
// reads it; every 2 KiB of it, nine tenths go to WITHOUT and the rest to
// WITH (about a log's share of lines without and with "ERROR"). copy: each
// piece is copied into a 256 KiB buffer per export, written when full, as
// the run's sinks do. gather: the pieces are written straight from the
// window, one writev per export and window: no copy in the program at all.
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {

const size_t kWindow = 1 << 20;
const size_t kBuffer = 1 << 18;
const size_t kPiece = 2048;

struct Buffered {
    int fd;
    std::vector<char> bytes;
    size_t used;
};

void Flush(Buffered* b)
{
    if (b->used > 0 && write(b->fd, b->bytes.data(), b->used) != static_cast<ssize_t>(b->used)) {
        perror("write");
    }
    b->used = 0;
}

void Put(Buffered* b, const char* data, size_t size)
{
    if (b->used + size > b->bytes.size()) {
        Flush(b);
    }
    memcpy(b->bytes.data() + b->used, data, size);
    b->used += size;
}

void WriteGathered(int fd, std::vector<iovec>* pieces)
{
    for (size_t done = 0; done < pieces->size(); done += IOV_MAX) {
        size_t count = pieces->size() - done < IOV_MAX ? pieces->size() - done : IOV_MAX;
        if (writev(fd, pieces->data() + done, static_cast<int>(count)) < 0) {
            perror("writev");
        }
    }
    pieces->clear();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 6 || (strcmp(argv[1], "copy") != 0 && strcmp(argv[1], "gather") != 0)) {
        fprintf(stderr, "usage: %s copy|gather SOURCE NEEDLE WITHOUT WITH\n", argv[0]);
        return 2;
    }
    const bool gather = strcmp(argv[1], "gather") == 0;
    int source = open(argv[2], O_RDONLY | O_CLOEXEC);
    int without = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int with = open(argv[5], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (source < 0 || without < 0 || with < 0) {
        perror("open");
        return 1;
    }
    std::vector<char> window(kWindow);
    Buffered bufferedWithout = {without, std::vector<char>(kBuffer), 0};
    Buffered bufferedWith = {with, std::vector<char>(kBuffer), 0};
    std::vector<iovec> piecesWithout;
    std::vector<iovec> piecesWith;
    ssize_t got;
    while ((got = read(source, window.data(), kWindow)) > 0) {
        for (size_t at = 0; at < static_cast<size_t>(got); at += kPiece) {
            size_t size = static_cast<size_t>(got) - at < kPiece ? static_cast<size_t>(got) - at : kPiece;
            size_t cut = size * 9 / 10;
            char* piece = window.data() + at;
            if (gather) {
                piecesWithout.push_back({piece, cut});
                piecesWith.push_back({piece + cut, size - cut});
            } else {
                Put(&bufferedWithout, piece, cut);
                Put(&bufferedWith, piece + cut, size - cut);
            }
        }
        if (gather) {
            WriteGathered(without, &piecesWithout);
            WriteGathered(with, &piecesWith);
        }
    }
    Flush(&bufferedWithout);
    Flush(&bufferedWith);
    close(source);
    return close(without) == 0 && close(with) == 0 ? 0 : 1;
}
