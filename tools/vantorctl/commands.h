// The commands of vantorctl; each family adds its subcommands to the application.
#ifndef VANTORCTL_COMMANDS_H
#define VANTORCTL_COMMANDS_H

#include <CLI/CLI.hpp>
#include <winport/winport.h>

#include <string>

void add_demo_command(CLI::App& app);
void add_reg_command(CLI::App& app);
void add_user_command(CLI::App& app);
// Adds "import" to the reg command.
void add_reg_import_command(CLI::App& reg);

// SaveRegToFile, or with the file "-" the same bytes on the standard output.
bool export_reg_file(HKEY root, const std::string& subkey, const std::string& file, bool append);
void add_location_command(CLI::App& app);
// A name or string as vantorctl shows it: control characters escaped, so that nothing read from
// the registry or a file can act on the terminal or pass for lines of the output.
std::string shown(const std::string& text);
void add_server_command(CLI::App& app);

// The server part of the demo: started on demand, pinged, watched and stopped.
int demo_server();

// Prints one location ("server", "data" or "temp") on a line; false when it cannot be read.
bool print_location(const std::string& which);

#endif
