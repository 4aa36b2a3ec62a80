// The suite's configuration inside the module: where the bootstrap and configuration files
// are, and the three locations as strings.
#ifndef VANTOR_CONFIGURATION_H
#define VANTOR_CONFIGURATION_H

#include <string>

// The common application-data folder (C:\ProgramData).
bool getCommonAppDataFolder(std::string& out);
// The configuration file named by the bootstrap file; on failure out keeps the bootstrap
// file's own path when that much was found.
bool getDravinIniFile(std::string& out);

bool getServerLocation(std::string& out);
bool getDataBaseLocation(std::string& out);
bool getTempDataBaseLocation(std::string& out);

#endif
