// Keeps Windows Sockets started for as long as the object lives.
#ifndef VANTOR_WSAHANDLER_H
#define VANTOR_WSAHANDLER_H

#include <winport/winport.h>

class WSAHandler {
public:
    // A failed start is not an error of the module: a pipe that needs sockets reports it.
    WSAHandler()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WSAHandler() { WSACleanup(); }
    WSAHandler(const WSAHandler&) = delete;
    WSAHandler& operator=(const WSAHandler&) = delete;
};

#endif
