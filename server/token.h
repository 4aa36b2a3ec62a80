// The server's proof of authority: a random token that only the server's own user can read,
// written where clients find it (server_token_path). A shutdown request must carry it.
#ifndef VANTOR_SERVER_TOKEN_H
#define VANTOR_SERVER_TOKEN_H

#include <string>

// 64 hexadecimal digits from the system's random source; false when it gave none.
bool make_token(std::string& token);
// Replaces the file at path with one that holds data and that only the calling user can read
// and write: mode 0600 on Linux, an ACL naming only that user on Windows. The file is made
// private before data goes in, and it replaces the old one in one step.
bool write_private_file(const std::string& path, const std::string& data);
// Equal in time independent of where the texts differ.
bool tokens_equal(const std::string& a, const std::string& b);

#endif
