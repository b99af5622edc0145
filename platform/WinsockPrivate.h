// What the two halves of the sockets library share (sockets, name services); not for callers.
#pragma once

#include "platform/Winsock.h"

namespace kapo {

void WsSetLastError(int code);
bool WsStarted();

HANDLE WsAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen);
HANDLE WsAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen);
int WsCancelAsyncRequest(HANDLE task);
// Withdraws every pending lookup (the library is being cleaned up).
void CancelAllLookups();

hostent* WsGethostbyname(const char* name);
servent* WsGetservbyname(const char* name, const char* proto);
protoent* WsGetprotobyname(const char* name);

}  // namespace kapo
