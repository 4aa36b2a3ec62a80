// The commands of vantorctl; each family adds its subcommands to the application.
#ifndef VANTORCTL_COMMANDS_H
#define VANTORCTL_COMMANDS_H

#include <CLI/CLI.hpp>

void add_demo_command(CLI::App& app);
void add_reg_command(CLI::App& app);
void add_user_command(CLI::App& app);

#endif
