// What the test suites share: a private machine state per test process, and ways to find
// the helper programs and count the threads of the process.
#ifndef VANTOR_TEST_SUPPORT_H
#define VANTOR_TEST_SUPPORT_H

#include <string>
#include <vector>

namespace vantor_test {

// Gives the process a winport prefix of its own for its lifetime (Linux), so that tests
// never share registry, files or named objects. On Windows the machine's state is Wine's.
class private_prefix {
public:
    private_prefix();
    ~private_prefix();
    private_prefix(const private_prefix&) = delete;
    private_prefix& operator=(const private_prefix&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The running test program, and the directory that holds it and the helper programs.
std::string program_path();
std::string program_dir();

// The path of a helper program of tests/helpers.
std::string helper_path(const std::string& name);

// The number of threads of this process.
int thread_count();

// A whole command line, which CreateProcessA splits itself to find the program.
struct command_line {
    std::string text;
};

// A helper program started by a test through CreateProcessA, with its standard input and
// output on pipes. Started without a shell; its environment is the test's (so it shares the
// test's winport prefix).
class child {
public:
    // Starts helper_path(name) with the arguments; started() tells whether that worked.
    child(const std::string& name, const std::vector<std::string>& args = {});
    // Starts the line as it stands; when that fails, the last error says why.
    explicit child(const command_line& line);
    ~child();  // kills the helper if it still runs
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    bool started() const { return started_; }
    void* process() const { return process_; }
    // Ends the helper's standard input.
    void close_stdin();
    // The next line of the helper's standard output, without its line end; false at its end.
    bool read_line(std::string& line);
    // The same as a value: "(ended)" at the end.
    std::string next_line();
    // The last line the helper writes before its output ends.
    std::string last_line();
    // Waits for the end of the helper and gives its exit code (-1 if it could not be had).
    int wait();
    // Ends the helper at once (TerminateProcess with exit code 137).
    void kill();

private:
    void start(const char* program, std::string line);

    bool started_ = false;
    std::string pending_;
    void* process_ = nullptr;
    void* out_ = nullptr;
    void* in_ = nullptr;
    int exit_code_ = -1;
    bool ended_ = false;
};

}  // namespace vantor_test

#endif
