// Writes a log-like text corpus for the benchmark. The same arguments always
// give the same bytes: the generator has its own PRNG and draws every choice
// from it with plain integer arithmetic.
//
//   quorvane_bench_gen_corpus [--lf] [--utf16le] [--seed N] SIZE OUTPUT
//   quorvane_bench_gen_corpus --needles
//
// SIZE is a byte count, optionally with K, M or G (binary units); the file
// comes out exactly that long. Lines end with CR LF, or LF with --lf.
// With --utf16le the same log (the same SIZE bytes of UTF-8 text) is written
// as UTF-16 LE after the byte order mark FF FE, as Windows PowerShell writes
// its logs: about twice as long.
//
// Every non-empty line is "HH:MM:SS.mmm [tNN] LEVEL message", 20 to 200
// bytes long, except the lines that carry the long Chinese needle (which is
// 384 bytes by itself). About 10 % of lines have the level ERROR, about 2 %
// say "error" or "Error" but never "ERROR", about 5 % carry Chinese text,
// about 20 % carry a request number "req#N", about 0.1 % carry the long
// Chinese needle and as many carry near misses of it. About one line in two
// thousand is empty, never two in a row. No line contains "FATAL".
//
// --needles prints the needles the benchmark searches for, one per line as
// "name<TAB>needle", so that the generator stays their only definition.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// xoshiro256** seeded through splitmix64: fixed output for a fixed seed on
// every platform and compiler.
struct Rng {
    uint64_t s[4];

    explicit Rng(uint64_t seed)
    {
        for (uint64_t& word : s) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }

    static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    uint64_t Next()
    {
        const uint64_t result = Rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = Rotl(s[3], 45);
        return result;
    }

    // Uniform in [0, bound), by multiply-shift (bias far below anything a
    // benchmark corpus could show).
    uint32_t Below(uint32_t bound)
    {
        return static_cast<uint32_t>(((Next() >> 32) * bound) >> 32);
    }
};

const int kMinLine = 20;
const int kMaxLine = 200;

// Plain words for messages. None contains "error" in any case, "FATAL", '#'
// or a byte outside ASCII.
const char* const kWords[] = {
    "cache",    "hit",       "miss",     "request",  "user",     "session",  "opened",
    "closed",   "retry",     "timeout",  "queue",    "flush",    "worker",   "started",
    "stopped",  "connection", "accepted", "bytes",   "sent",     "received", "GET",
    "POST",     "/api/v1/items", "/api/v1/orders", "latency", "ms",      "ok",
    "status=200", "status=404", "status=503", "db",   "query",    "rows",     "commit",
    "rollback", "lock",      "acquired", "released", "pool",     "size",     "idle",
    "busy",     "scheduler", "tick",     "job",      "done",     "pending",  "upload",
    "download", "chunk",     "checksum", "verified", "config",   "reloaded", "from",
    "to",       "in",        "on",       "the",      "for",      "with",     "after",
    "client",   "server",    "handshake", "tls",     "gzip",     "payload",  "limit",
};
const int kWordCount = sizeof(kWords) / sizeof(kWords[0]);

// Words that put lower- or mixed-case "error" in a line.
const char* const kErrorWords[] = {
    "error", "Error", "error_count=1", "on_error", "Error:", "errors=2",
};
const int kErrorWordCount = sizeof(kErrorWords) / sizeof(kErrorWords[0]);

// Chinese words (Traditional, three UTF-8 bytes per character).
const char* const kChineseWords[] = {
    "連線", "逾時", "使用者", "登入", "登出", "檔案", "已儲存", "伺服器", "回應",
    "資料庫", "查詢", "完成", "重新", "嘗試", "設定", "載入", "快取", "清除",
    "佇列", "工作", "開始", "結束", "上傳", "下載", "驗證", "通過", "請求",
};
const int kChineseWordCount = sizeof(kChineseWords) / sizeof(kChineseWords[0]);

// The long needle: 128 Chinese characters, 384 bytes of UTF-8.
const char kLongNeedle[] =
    "系統在處理使用者請求時發生無法預期的狀況請檢查設定檔與網路連線後再試一次"
    "若問題持續存在請聯絡系統管理員並提供此訊息的完整內容以及發生的時間點"
    "伺服器記錄已自動保存於本機資料夾中可供日後查閱與分析之用感謝您的耐心與配合"
    "祝您使用愉快順心如意敬請見諒並再次致上謝忱";
static_assert(sizeof(kLongNeedle) == 128 * 3 + 1, "128 three-byte characters");
// A near miss that shares everything but the last character (whose three
// bytes it replaces).
const char kNearMissTailReplacement[] = "思";
// A near miss that is only the needle's first 85 characters (255 bytes).
const int kPrefixMissBytes = 85 * 3;

const char* const kLevels[] = {"ERROR", "WARN", "DEBUG", "INFO"};

struct Needle {
    const char* name;
    const char* text;
};
const Needle kNeedles[] = {
    {"error", "ERROR"},
    {"ignorecase", "error"},
    {"nomatch", "FATAL"},
    {"everyline", "[t"},
    {"onebyte", "#"},
    {"cjk128", kLongNeedle},
};

struct Stats {
    uint64_t lines = 0, empty = 0, levelError = 0, lowerError = 0, chinese = 0;
    uint64_t request = 0, longNeedle = 0, nearMiss = 0;
    uint64_t minLength = UINT64_MAX, maxLength = 0, maxOrdinaryLength = 0;
};

class Generator {
public:
    Generator(uint64_t seed, bool lf) : rng_(seed), lf_(lf) {}

    // Appends one line, terminator included, to out; returns its length.
    size_t Line(char* out)
    {
        if (!lastEmpty_ && rng_.Below(2000) == 0) {
            lastEmpty_ = true;
            ++stats_.lines;
            ++stats_.empty;
            return Terminate(out, 0);
        }
        lastEmpty_ = false;

        const uint32_t target = kMinLine + rng_.Below(kMaxLine - kMinLine + 1);
        char* p = Prefix(out);

        const uint32_t levelRoll = rng_.Below(1000);
        const char* level = levelRoll < 100 ? kLevels[0]
                          : levelRoll < 180 ? kLevels[1]
                          : levelRoll < 400 ? kLevels[2]
                                            : kLevels[3];
        p = Put(p, level);
        *p++ = ' ';
        if (level == kLevels[0]) ++stats_.levelError;

        // The special pieces this line carries, placed among the words.
        const uint32_t special = rng_.Below(10000);
        const bool longNeedle = special < 10;
        const bool nearMiss = special >= 10 && special < 20;
        const bool chinese = !longNeedle && !nearMiss && rng_.Below(1000) < 50;
        const bool lowerError = level != kLevels[0] && rng_.Below(1000) < 22;
        const bool request = rng_.Below(1000) < 200;
        uint32_t beforeSpecial = rng_.Below(3);

        if (request) {
            p = Put(p, "req#");
            p = PutNumber(p, 1 + rng_.Below(999999));
            *p++ = ' ';
            ++stats_.request;
        }
        for (; beforeSpecial > 0; --beforeSpecial) p = Word(p, out, target);
        if (longNeedle) {
            p = Put(p, kLongNeedle);
            *p++ = ' ';
            ++stats_.longNeedle;
        } else if (nearMiss) {
            if (special & 1) {
                p = PutBytes(p, kLongNeedle, sizeof(kLongNeedle) - 1 - 3);
                p = Put(p, kNearMissTailReplacement);
            } else {
                p = PutBytes(p, kLongNeedle, kPrefixMissBytes);
            }
            *p++ = ' ';
            ++stats_.nearMiss;
        }
        if (chinese) {
            const uint32_t words = 1 + rng_.Below(6);
            for (uint32_t i = 0; i < words; ++i) {
                p = Put(p, kChineseWords[rng_.Below(kChineseWordCount)]);
            }
            *p++ = ' ';
            ++stats_.chinese;
        }
        if (lowerError) {
            p = Put(p, kErrorWords[rng_.Below(kErrorWordCount)]);
            *p++ = ' ';
            ++stats_.lowerError;
        }
        // Fill with words up to the target length; at least one word.
        p = Word(p, out, kMaxLine + 1000);
        while (true) {
            char* next = Word(p, out, target);
            if (next == p) break;
            p = next;
        }
        // No trailing space.
        if (p[-1] == ' ') --p;
        return Finish(out, p, longNeedle || nearMiss);
    }

    // Appends one ordinary line of exactly length bytes of content (at
    // least 40), terminator included; returns its length.
    size_t LineOfLength(char* out, size_t length)
    {
        char* p = Prefix(out);
        p = Put(p, "INFO ");
        while (static_cast<size_t>(p - out) + 12 < length) p = Word(p, out, length);
        while (static_cast<size_t>(p - out) < length) *p++ = '.';
        lastEmpty_ = false;
        return Finish(out, p, false);
    }

    size_t Terminator() const { return lf_ ? 1 : 2; }
    const Stats& stats() const { return stats_; }

private:
    char* Prefix(char* out)
    {
        clockMs_ += rng_.Below(40);
        const uint64_t ms = clockMs_ % 1000;
        const uint64_t s = clockMs_ / 1000;
        char* p = out;
        p = PutTwo(p, static_cast<uint32_t>((s / 3600) % 24));
        *p++ = ':';
        p = PutTwo(p, static_cast<uint32_t>((s / 60) % 60));
        *p++ = ':';
        p = PutTwo(p, static_cast<uint32_t>(s % 60));
        *p++ = '.';
        *p++ = static_cast<char>('0' + ms / 100);
        p = PutTwo(p, static_cast<uint32_t>(ms % 100));
        p = Put(p, " [t");
        p = PutTwo(p, 1 + rng_.Below(32));
        p = Put(p, "] ");
        return p;
    }

    // Appends a word and a space if the line stays within limit bytes.
    char* Word(char* p, const char* lineStart, size_t limit)
    {
        const uint32_t roll = rng_.Below(8);
        char scratch[32];
        const char* word = scratch;
        if (roll == 0) {
            // key=hex, as ids and hashes show in logs.
            static const char kHex[] = "0123456789abcdef";
            char* s = Put(scratch, rng_.Below(2) ? "id=" : "key=");
            const uint32_t digits = 4 + rng_.Below(9);
            for (uint32_t i = 0; i < digits; ++i) *s++ = kHex[rng_.Below(16)];
            *s = 0;
        } else if (roll == 1) {
            char* s = PutNumber(scratch, rng_.Below(100000));
            *s = 0;
        } else {
            word = kWords[rng_.Below(kWordCount)];
        }
        const size_t length = std::strlen(word);
        if (static_cast<size_t>(p - lineStart) + length > limit) return p;
        std::memcpy(p, word, length);
        p += length;
        *p++ = ' ';
        return p;
    }

    size_t Finish(char* out, char* end, bool carriesNeedle)
    {
        const size_t length = static_cast<size_t>(end - out);
        ++stats_.lines;
        if (length < stats_.minLength) stats_.minLength = length;
        if (length > stats_.maxLength) stats_.maxLength = length;
        if (!carriesNeedle && length > stats_.maxOrdinaryLength) stats_.maxOrdinaryLength = length;
        return Terminate(out, length);
    }

    size_t Terminate(char* out, size_t length)
    {
        if (!lf_) out[length++] = '\r';
        out[length++] = '\n';
        return length;
    }

    static char* Put(char* p, const char* text)
    {
        const size_t length = std::strlen(text);
        std::memcpy(p, text, length);
        return p + length;
    }
    static char* PutBytes(char* p, const char* bytes, size_t count)
    {
        std::memcpy(p, bytes, count);
        return p + count;
    }
    static char* PutTwo(char* p, uint32_t value)
    {
        *p++ = static_cast<char>('0' + value / 10 % 10);
        *p++ = static_cast<char>('0' + value % 10);
        return p;
    }
    static char* PutNumber(char* p, uint32_t value)
    {
        char digits[10];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) *p++ = digits[--count];
        return p;
    }

    Rng rng_;
    bool lf_;
    bool lastEmpty_ = false;
    uint64_t clockMs_ = 8 * 3600 * 1000ull;
    Stats stats_;
};

// The UTF-16 LE form of whole UTF-8 characters (the generator's text is
// well-formed and every chunk ends at a line's end).
void ToUtf16Le(const char* text, size_t count, std::string* out)
{
    out->clear();
    size_t i = 0;
    while (i < count) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp = c;
        size_t extra = 0;
        if (c >= 0xF0) { cp = c & 0x07; extra = 3; }
        else if (c >= 0xE0) { cp = c & 0x0F; extra = 2; }
        else if (c >= 0xC0) { cp = c & 0x1F; extra = 1; }
        ++i;
        for (size_t k = 0; k < extra && i < count; ++k, ++i) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        uint16_t units[2] = {static_cast<uint16_t>(cp), 0};
        int n = 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units[0] = static_cast<uint16_t>(0xD800 + (cp >> 10));
            units[1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
            n = 2;
        }
        for (int k = 0; k < n; ++k) {
            out->push_back(static_cast<char>(units[k] & 0xFF));
            out->push_back(static_cast<char>(units[k] >> 8));
        }
    }
}

// Writes a chunk of the text, in the corpus's encoding.
bool WriteChunk(FILE* file, const char* text, size_t count, bool utf16, std::string* scratch)
{
    if (!utf16) {
        return std::fwrite(text, 1, count, file) == count;
    }
    ToUtf16Le(text, count, scratch);
    return std::fwrite(scratch->data(), 1, scratch->size(), file) == scratch->size();
}

bool ParseSize(const char* text, uint64_t* size)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text) return false;
    uint64_t unit = 1;
    std::string suffix(end);
    if (suffix == "K" || suffix == "KiB" || suffix == "k") unit = 1ull << 10;
    else if (suffix == "M" || suffix == "MiB" || suffix == "m") unit = 1ull << 20;
    else if (suffix == "G" || suffix == "GiB" || suffix == "g") unit = 1ull << 30;
    else if (!suffix.empty()) return false;
    *size = value * unit;
    return *size / unit == value;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: quorvane_bench_gen_corpus [--lf] [--utf16le] [--seed N] SIZE OUTPUT\n"
                 "       quorvane_bench_gen_corpus --needles\n"
                 "SIZE: bytes, or a number with K, M or G; at least 4K\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    bool lf = false;
    bool utf16 = false;
    uint64_t seed = 20261208;
    const char* sizeText = nullptr;
    const char* output = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--needles") {
            for (const Needle& needle : kNeedles) std::printf("%s\t%s\n", needle.name, needle.text);
            return 0;
        } else if (arg == "--lf") {
            lf = true;
        } else if (arg == "--utf16le") {
            utf16 = true;
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (!sizeText) {
            sizeText = argv[i];
        } else if (!output) {
            output = argv[i];
        } else {
            return Usage();
        }
    }
    uint64_t size = 0;
    if (!sizeText || !output || !ParseSize(sizeText, &size) || size < 4096) return Usage();

    // Written under a temporary name and renamed when complete, so a file
    // with the final name always has the full, right content.
    const std::string partial = std::string(output) + ".part";
    FILE* file = std::fopen(partial.c_str(), "wb");
    if (!file) {
        std::perror(partial.c_str());
        return 1;
    }

    Generator generator(seed, lf);
    const size_t kChunk = 4u << 20;
    const size_t kLongestLine = 1024;
    char* chunk = static_cast<char*>(std::malloc(kChunk + kLongestLine));
    size_t used = 0;
    uint64_t remaining = size;
    bool ok = chunk != nullptr;
    std::string wide;
    if (ok && utf16) {
        ok = std::fwrite("\xFF\xFE", 1, 2, file) == 2;
    }

    // Ordinary lines until less than a few long lines' worth is left; the
    // tail is then cut into lines of equal length that fill it exactly.
    const uint64_t kTail = 1000;
    while (ok && remaining > kTail) {
        const size_t length = generator.Line(chunk + used);
        used += length;
        remaining -= length;
        if (used >= kChunk) {
            ok = WriteChunk(file, chunk, used, utf16, &wide);
            used = 0;
        }
    }
    if (ok) {
        const uint64_t lines = (remaining + 149) / 150;
        for (uint64_t i = 0; i < lines; ++i) {
            const uint64_t total = remaining / (lines - i);
            used += generator.LineOfLength(chunk + used, total - generator.Terminator());
            remaining -= total;
        }
        ok = WriteChunk(file, chunk, used, utf16, &wide);
    }
    std::free(chunk);
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(partial.c_str(), output) != 0) {
        std::perror(output);
        std::remove(partial.c_str());
        return 1;
    }

    const Stats& s = generator.stats();
    const double lines = static_cast<double>(s.lines);
    std::fprintf(stderr,
                 "%s: %llu bytes, %llu lines (line bytes %llu..%llu, %llu with the long needle)\n"
                 "  ERROR %.2f%%, error/Error only %.2f%%, Chinese %.2f%%, req# %.2f%%, "
                 "long needle %.3f%%, near misses %.3f%%, empty %.3f%%\n",
                 output, static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(s.lines),
                 static_cast<unsigned long long>(s.minLength),
                 static_cast<unsigned long long>(s.maxOrdinaryLength),
                 static_cast<unsigned long long>(s.maxLength), 100.0 * s.levelError / lines,
                 100.0 * s.lowerError / lines, 100.0 * s.chinese / lines,
                 100.0 * s.request / lines, 100.0 * s.longNeedle / lines,
                 100.0 * s.nearMiss / lines, 100.0 * s.empty / lines);
    return 0;
}
