// What the test suites share: a private machine state per test process, and ways to find
// the helper programs and count the threads of the process.
#ifndef VANTOR_TEST_SUPPORT_H
#define VANTOR_TEST_SUPPORT_H

#include <string>

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

// The directory that holds the running test program and the helper programs.
std::string program_dir();

// The path of a helper program of tests/helpers.
std::string helper_path(const std::string& name);

// The number of threads of this process.
int thread_count();

}  // namespace vantor_test

#endif
