// A directory of its own for each file-system test, removed with everything in it at the end;
// native paths, which the library takes on both targets (a Linux absolute path on Linux).
#ifndef VANTOR_TEST_SCRATCH_DIR_H
#define VANTOR_TEST_SCRATCH_DIR_H

#include <winport/winport.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        dir_ = std::filesystem::temp_directory_path() /
               ("vantor-files-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::string dir() const { return dir_.string(); }

    void put(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    std::string get(const std::string& name) const
    {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Names in the directory that begin with the prefix.
    int count_named(const std::string& prefix) const
    {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir_))
            if (e.path().filename().string().rfind(prefix, 0) == 0)
                ++n;
        return n;
    }

    std::filesystem::path dir_;
};

#endif
