// What the two halves of the sockets library share (sockets, name services); not for callers.
#pragma once

#include "platform/Winsock.h"

namespace kapo {

void WsSetLastError(int code);
bool WsStarted();

HANDLE ws_WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen);
HANDLE ws_WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen);
int ws_WSACancelAsyncRequest(HANDLE task);
// Withdraws every pending lookup (the library is being cleaned up).
void CancelAllLookups();

hostent* ws_gethostbyname(const char* name);
servent* ws_getservbyname(const char* name, const char* proto);
protoent* ws_getprotobyname(const char* name);

}  // namespace kapo
