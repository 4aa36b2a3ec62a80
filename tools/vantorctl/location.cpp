// vantorctl location get|set server|data|temp [VALUE]: the suite's data locations.
#include "commands.h"

#include <vantor/vantor.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct location_functions {
    int (*get)(char*, int);
    bool (*set)(const char*);
};

const std::map<std::string, location_functions>& locations()
{
    static const std::map<std::string, location_functions> m = {
        {"server", {getVantorServerLocation, setVantorServerLocation}},
        {"data", {getVantorDataLocation, setVantorDataLocation}},
        {"temp", {getVantorTempDataLocation, setVantorTempDataLocation}},
    };
    return m;
}

// The value through the exported getter: the size first, then the value.
bool get_location(const location_functions& f, std::string& out)
{
    char probe[1];
    int n = f.get(probe, 1);
    if (n < 1)
        return false;
    std::vector<char> buffer(static_cast<size_t>(n));
    if (f.get(buffer.data(), n) != n)
        return false;
    out = buffer.data();
    return true;
}

}  // namespace

bool print_location(const std::string& which)
{
    std::string value;
    if (!get_location(locations().at(which), value))
        return false;
    std::printf("%s\n", value.c_str());
    return true;
}

void add_location_command(CLI::App& app)
{
    CLI::App* location = app.add_subcommand("location", "read or set the suite's data locations");
    location->require_subcommand(1);
    auto which = std::make_shared<std::string>();
    auto value = std::make_shared<std::string>();
    auto names = CLI::IsMember({"server", "data", "temp"});

    CLI::App* get = location->add_subcommand("get", "print a location");
    get->add_option("which", *which, "server, data or temp")->required()->check(names);
    get->callback([which] {
        if (!print_location(*which)) {
            std::fprintf(stderr, "vantorctl: the %s location is not configured or cannot be read\n", which->c_str());
            throw CLI::RuntimeError(1);
        }
    });

    CLI::App* set = location->add_subcommand("set", "set a location");
    set->add_option("which", *which, "server, data or temp")->required()->check(names);
    set->add_option("value", *value, "the new value")->required();
    set->callback([which, value] {
        if (!locations().at(*which).set(value->c_str())) {
            std::fprintf(stderr, "vantorctl: the %s location could not be set\n", which->c_str());
            throw CLI::RuntimeError(1);
        }
    });
}
