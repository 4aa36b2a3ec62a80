// vantorctl reg import, and the export to standard output, so that a tree can be piped from
// one registry into another:
//
//   vantorctl reg export 'HKLM\SOFTWARE\Orvane' - | vantorctl reg import -
#include "commands.h"

#include <vantor/vantor.h>
#include <ysl/YRegFile.h>
#include <ysl/fastfile.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "vantorctl reg: %s\n", message.c_str());
    throw CLI::RuntimeError(1);
}

// Bytes go out and come in as they are: the files' own line ends, a UTF-16 file's bytes.
void binary_mode(std::FILE* stream)
{
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;  // Linux streams have no text mode
#endif
}

std::string system_text(LONG code)
{
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out = text ? text : "";
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out + " (" + std::to_string(code) + ")";
}

std::string counted(unsigned n, const char* noun)
{
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

bool read_stream(std::FILE* in, std::string& bytes)
{
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0)
        bytes.append(block, n);
    return !std::ferror(in);
}

void import(const std::string& file)
{
    const bool from_stdin = file == "-";
    const std::string source = from_stdin ? "(standard input)" : shown(file);
    std::string bytes;
    if (from_stdin) {
        binary_mode(stdin);
        if (!read_stream(stdin, bytes))
            fail("cannot read the standard input");
    } else if (YFastFile_ReadAtOnce(file.c_str(), bytes) < 0) {
        fail("cannot read " + file);
    }

    std::vector<YRegFileKey> keys;
    YRegFileError error;
    if (!YRegFile_Parse(bytes, keys, error))
        fail(source + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) + ": " + error.message +
             "; nothing was imported");

    YRegFileApplied done;
    if (!YRegFile_Apply(keys, done)) {
        std::string what = done.value ? (done.value->name.empty() ? std::string("the default value")
                                                                  : "the value \"" + shown(done.value->name) + "\"") +
                                            " of " + shown(done.key->full_name())
                                      : shown(done.key->full_name());
        const int line = done.value ? done.value->line : done.key->line;
        fail(source + ":" + std::to_string(line) + ": cannot " +
             ((done.value ? done.value->remove : done.key->remove) ? "delete " : "write ") + what + ": " +
             system_text(done.status) + "; stopped after writing " + counted(done.keys, "key") + " and " +
             counted(done.values, "value"));
    }
}

// The export writes a file, so it goes through a private temporary file, copied out whole.
void export_to_stdout(HKEY root, const std::string& subkey, bool append)
{
    std::error_code ec;
    std::string dir = std::filesystem::temp_directory_path(ec).string();
    char temp[MAX_PATH + 16];
    if (ec || dir.size() >= MAX_PATH || !GetTempFileNameA(dir.c_str(), "vrx", 0, temp))
        fail("cannot make a temporary file in " + dir);
    std::string bytes;
    bool saved = SaveRegToFile(root, subkey.c_str(), temp, append) && YFastFile_ReadAtOnce(temp, bytes) >= 0;
    DeleteFileA(temp);
    if (!saved)
        fail("cannot export through the temporary file " + std::string(temp));
    binary_mode(stdout);
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
        fail("cannot write the standard output");
}

}  // namespace

bool export_reg_file(HKEY root, const std::string& subkey, const std::string& file, bool append)
{
    if (file != "-")
        return SaveRegToFile(root, subkey.c_str(), file.c_str(), append);
    export_to_stdout(root, subkey, append);
    return true;
}

void add_reg_import_command(CLI::App& reg)
{
    auto file = std::make_shared<std::string>();
    CLI::App* i = reg.add_subcommand("import", "apply a registration file (REGEDIT4 or version 5.00); all or nothing "
                                               "for its syntax");
    i->add_option("file", *file, "the file, or - for the standard input")->required();
    i->callback([file] { import(*file); });
}
