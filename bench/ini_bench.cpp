// Loading and rendering a 20 MB INI file with YIniData, beside inih (a callback parser that
// keeps nothing), SimpleIni (an in-memory document) and Python's configparser for scale.
// Figures in MB/s, each the median of several runs from the page cache.
#include <ysl/YIniData.h>
#include <winport/winport.h>

// Bytes as they are, as YIniData handles them: no character-set conversion.
#define SI_NO_CONVERSION
#include <SimpleIni.h>
#include <ini.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

namespace {

// Many sections of entries of varied lengths, with comments and blank lines between them;
// every line shorter than inih's line limit, names unique within their section.
std::string make_ini(size_t target)
{
    std::string text;
    text.reserve(target + 4096);
    text += "; generated for the INI benchmark\n# second comment\n\n";
    unsigned seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (size_t s = 0; text.size() < target; ++s) {
        text += "[section_" + std::to_string(s) + "]\n";
        if (s % 3 == 0)
            text += "; about section " + std::to_string(s) + "\n";
        const unsigned entries = 10 + next() % 20;
        for (unsigned e = 0; e < entries; ++e) {
            if (e % 7 == 3)
                text += "# a comment line between the entries of the section\n";
            if (e % 11 == 5)
                text += "\n";
            text += "key_" + std::to_string(e) + (e % 2 ? " = " : "=");
            switch (next() % 4) {
            case 0:
                text += std::to_string(next() % 100000);
                break;
            case 1:
                text += "C:\\Program Files\\Orvane\\data\\" + std::to_string(next());
                break;
            case 2:
                text += std::to_string(next() % 1000) + "." + std::to_string(next() % 1000);
                break;
            default:
                text += "a somewhat longer value with words in it, " + std::to_string(next());
            }
            text += "\n";
        }
    }
    return text;
}

// Median of the runs, in seconds.
double median_seconds(int runs, const std::function<void()>& f)
{
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void figure(const char* name, double bytes, double seconds)
{
    std::printf("%s %.0f MB/s\n", name, bytes / 1e6 / seconds);
    std::fflush(stdout);
}

void fail(const char* what)
{
    std::fprintf(stderr, "ini_bench: %s\n", what);
    std::exit(1);
}

}  // namespace

int main()
{
    // Every loader is measured in the steady state of a long-running process: memory that a
    // run frees stays with the allocator for the next one, instead of going back to the system
    // and being faulted in anew (which on a virtual machine costs more than the parsing).
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest value glibc takes
    const std::string text = make_ini(20u << 20);
    const double size = static_cast<double>(text.size());
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("ini_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "bench.ini").string();
    std::ofstream(path, std::ios::binary) << text;
    const int runs = 5;

    figure("ini.load.ysl", size, median_seconds(runs, [&] {
               YIniData d;
               if (!d.Open(path.c_str()) || !d.IsSaved())
                   fail("YIniData could not load the file");
           }));

    figure("ini.load.inih", size, median_seconds(runs, [&] {
               auto handler = [](void*, const char*, const char*, const char*) { return 1; };
               if (ini_parse(path.c_str(), handler, nullptr) != 0)
                   fail("inih could not load the file");
           }));

    figure("ini.load.simpleini", size, median_seconds(runs, [&] {
               CSimpleIniA ini;
               if (ini.LoadFile(path.c_str()) < 0)
                   fail("SimpleIni could not load the file");
           }));

    YIniData d;
    if (!d.Open(path.c_str()))
        fail("YIniData could not load the file");
    size_t rendered = 0;
    figure("ini.render.ysl", size, median_seconds(runs, [&] {
               std::string out;
               d.GetContentString(out);
               rendered = out.size();
           }));
    if (rendered == 0)
        fail("nothing rendered");

    // configparser, with its own clock, for scale.
    const std::string script = VANTOR_BENCH_DIR "/ini_configparser.py";
    std::string line = "python3 \"" + script + "\" \"" + path + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        std::fprintf(stderr, "ini_bench: python3 not found: no configparser figure\n");
    }

    std::filesystem::remove_all(dir);
    return 0;
}
