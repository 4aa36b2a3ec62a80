// Line reading and writing through the buffered file classes, against the standard library
// and a bare read/memchr loop, on a 200 MB file of lines of mixed length in /tmp (removed at
// the end). Figures are medians of five runs, in MB/s of file bytes, read from the page cache.
#include <ysl/fastfile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t file_bytes = 200u << 20;
constexpr int runs = 5;

// Lines of 0 to 159 characters, the same every run.
std::vector<char> make_lines(std::size_t bytes, std::vector<std::size_t>& starts)
{
    std::vector<char> pool;
    pool.reserve(bytes + 200);
    std::uint32_t seed = 12345;
    while (pool.size() < bytes) {
        seed = seed * 1664525u + 1013904223u;
        std::size_t len = (seed >> 8) % 160;
        starts.push_back(pool.size());
        for (std::size_t i = 0; i < len; ++i)
            pool.push_back(static_cast<char>('!' + (seed >> (i % 24)) % 90));
        pool.push_back('\0');
    }
    return pool;
}

double median_mbps(std::size_t bytes, const std::function<void()>& run)
{
    std::vector<double> rates;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        run();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        rates.push_back(static_cast<double>(bytes) / 1e6 / took.count());
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

std::size_t sink;

}  // namespace

int main()
{
    char path[] = "/tmp/fastfile-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        std::perror("mkstemp");
        return 1;
    }
    close(fd);

    std::vector<std::size_t> starts;
    std::vector<char> pool = make_lines(20u << 20, starts);
    std::size_t rounds = file_bytes / pool.size() + 1;

    // Writing, which also makes the file that the readers read.
    std::size_t written = 0;
    for (std::size_t s : starts)
        written += std::strlen(&pool[s]) + 2;
    written *= rounds;
    double write_ysl = median_mbps(written, [&] {
        YFastFileWriter w(path, 2);
        for (std::size_t r = 0; r < rounds; ++r)
            for (std::size_t s : starts)
                w.WriteLine(&pool[s]);
        w.Close();
    });
    double write_fwrite = median_mbps(written, [&] {
        FILE* f = std::fopen(path, "wb");
        for (std::size_t r = 0; r < rounds; ++r)
            for (std::size_t s : starts) {
                const char* line = &pool[s];
                std::fwrite(line, 1, std::strlen(line), f);
                std::fwrite("\r\n", 1, 2, f);
            }
        std::fclose(f);
    });

    double read_ysl = median_mbps(written, [&] {
        YFastFileReader r(path);
        std::string line;
        std::size_t n = 0;
        while (r.ReadLine(line)) {
            if (line.empty() && r.IsEOF())
                break;
            n += line.size();
        }
        sink += n;
    });
    double read_getline = median_mbps(written, [&] {
        std::ifstream in(path, std::ios::binary);
        std::string line;
        std::size_t n = 0;
        while (std::getline(in, line))
            n += line.size();
        sink += n;
    });
    double read_bare = median_mbps(written, [&] {
        int in = open(path, O_RDONLY);
        char block[8192];
        std::string line;
        std::string partial;
        std::size_t n = 0;
        for (ssize_t got; (got = read(in, block, sizeof block)) > 0;) {
            const char* p = block;
            const char* end = block + got;
            while (const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) {
                if (partial.empty()) {
                    line.assign(p, static_cast<std::size_t>(lf - p));
                } else {
                    line.assign(partial).append(p, static_cast<std::size_t>(lf - p));
                    partial.clear();
                }
                n += line.size();
                p = lf + 1;
            }
            partial.append(p, static_cast<std::size_t>(end - p));
        }
        close(in);
        sink += n;
    });
    unlink(path);

    std::printf("readline.ysl %.0f MB/s\n", read_ysl);
    std::printf("readline.getline %.0f MB/s\n", read_getline);
    std::printf("readline.bare %.0f MB/s\n", read_bare);
    std::printf("write.ysl %.0f MB/s\n", write_ysl);
    std::printf("write.fwrite %.0f MB/s\n", write_fwrite);
    return sink == 0;
}
