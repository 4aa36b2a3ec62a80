// Holds one start of Windows Sockets for its owner: init() starts version 2.2, the
// destructor ends that start again.
#ifndef VANTOR_WSAHANDLER_H
#define VANTOR_WSAHANDLER_H

class WSAHandler {
public:
    WSAHandler() = default;
    ~WSAHandler();
    WSAHandler(const WSAHandler&) = delete;
    WSAHandler& operator=(const WSAHandler&) = delete;

    // True when Windows Sockets 2.2 is started; a refused start goes to the error log, a
    // different version granted is given back silently.
    bool init();

private:
    bool initialized = false;
};

#endif
