#include "commands.h"

#include <cstdio>

int main(int argc, char** argv)
{
    CLI::App app{"vantorctl: the vantor library from the command line"};
    app.set_version_flag("--version", "vantorctl " VANTOR_VERSION);
    app.require_subcommand(1);
    add_demo_command(app);
    add_reg_command(app);
    add_user_command(app);
    add_location_command(app);
    add_server_command(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
